#pragma once

#include <string>

// Flags of LogOut. The level bits are tested in the order 1, 2, 4, 8; the first set one decides.
enum : int {
    LOG_WARN = 1,
    LOG_TRACE = 2,
    LOG_ERROR = 4,
    LOG_INFO = 8,
    LOG_NETDATA = 32,  // the value exactly: a row of the network-data list
    LOG_STREAM = 64,   // a row of the stream list
    LOG_STATUS = 128,  // the message becomes the status text
};

// Control ids of the main window that LogOut addresses.
enum : int {
    IDC_LIST_NETDATA = 1002,
    IDC_LIST_STREAM = 1005,
    IDC_STATIC_STATUS = 1006,
};

// Item states of the report lists.
enum : unsigned {
    LVIS_FOCUSED = 0x1,
    LVIS_SELECTED = 0x2,
};

// What LogOut needs of the main window: list-view and window-text operations on controls by id.
// Every call is made with LogOut's lock held, so calls arrive in report order. A desktop
// implementation must not block on its GUI thread from here (the GUI thread may be joining a
// capture thread that is inside LogOut).
class IReportWindow {
  public:
    virtual ~IReportWindow() = default;
    virtual bool HasControl(int id) = 0;
    virtual int GetItemCount(int id) = 0;
    virtual void DeleteItem(int id, int row) = 0;
    virtual void InsertItem(int id, int row, const std::string& text) = 0;
    virtual void SetItemText(int id, int row, int column, const std::string& text) = 0;
    virtual void SetItemState(int id, int row, unsigned state, unsigned mask) = 0;
    virtual void SetWindowText(int id, const std::string& text) = 0;
    // The report itself: flags is LOG_NETDATA or LOG_STREAM, number the row's running number.
    virtual void OnReport(int flags, int number, const std::string& label,
                          const std::string& address) = 0;
};

void LogOut(int flags, std::string message);

// Starts the rolling log file below <application folder>/log and writes the banner.
void InitLogging();
void ShutdownLogging();
// Silences the logging library's own diagnostics on stderr (the console front end's stderr is
// for its one-line messages). Call before InitLogging.
void SetLoggingQuiet(bool quiet);

// The application folder, where the program keeps what it writes: STREVIX_HOME when set, else
// the executable's folder when it is the user's own, else the per-user folder of an installation
// (platform::FoldersFor).
std::string GetAppDirectory();

// The main window LogOut reports to; null for none.
void SetReportWindow(IReportWindow* window);

// Process-wide reporting state. Access goes through these functions, which take LogOut's lock.
int GetSelectedStreamRow();
void SetSelectedStreamRow(int row);
void ResetReportCounters();  // NetDataCount = StreamCount = 0
int GetNetDataCount();
int GetStreamCount();
std::string GetStatusText();
std::string GetLastErrorText();
// Forgets the last error, so that a new start shows only its own.
void ClearLastErrorText();
std::string GetLogFilePath();

// Runs f with LogOut's lock held, for window code that must not interleave with a report.
template <class F>
void WithReportLock(F&& f);

namespace strevix_detail {
void LockReports();
void UnlockReports();
}  // namespace strevix_detail

template <class F>
void WithReportLock(F&& f) {
    strevix_detail::LockReports();
    try {
        f();
    } catch (...) {
        strevix_detail::UnlockReports();
        throw;
    }
    strevix_detail::UnlockReports();
}

#include "common/LogOut.h"

#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <ctime>
#include <mutex>

#include "platform/AppDirectory.h"

namespace {

// One lock guards the counters, the texts and the window calls, so rows keep report order.
std::recursive_mutex g_lock;

IReportWindow* g_window = nullptr;
int g_netDataCount = 0;
int g_streamCount = 0;
int g_selectedStreamRow = -1;
std::string g_statusText;
std::string g_lastErrorText;
std::string g_logFilePath;

const int kMaxRowsBeforeInsert = 200;  // a list holding more rows loses its last one first

std::string TimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[64];
    size_t n = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S : ", &local);
    return std::string(buffer, n);
}

void WriteRecord(log4cplus::LogLevel level, const std::string& text) {
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    if (root.isEnabledFor(level)) root.forcedLog(level, text, __FILE__, __LINE__, __func__);
}

// "LABEL-scheme://host/path": LABEL is the text before the first '-'.
void SplitLabel(const std::string& message, std::string* label, std::string* address) {
    size_t dash = message.find('-');
    if (dash == std::string::npos) {
        *label = message;
        address->clear();
        return;
    }
    *label = message.substr(0, dash);
    *address = message.substr(dash + 1);
}

void AddNetDataRow(const std::string& message) {
    IReportWindow* w = g_window;
    if (w == nullptr || !w->HasControl(IDC_LIST_NETDATA)) return;
    if (w->GetItemCount(IDC_LIST_NETDATA) > kMaxRowsBeforeInsert) {
        w->DeleteItem(IDC_LIST_NETDATA, w->GetItemCount(IDC_LIST_NETDATA) - 1);
    }
    std::string label, address;
    SplitLabel(message, &label, &address);
    // The host runs from after "//" to the next '/', or to the end for plain HTTP.
    std::string host;
    size_t slashes = address.find("//");
    size_t start = slashes == std::string::npos ? 0 : slashes + 2;
    if (label == "HTTP") {
        host = address.substr(start);
    } else {
        size_t end = address.find('/', start);
        host = address.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    ++g_netDataCount;
    w->InsertItem(IDC_LIST_NETDATA, 0, std::to_string(g_netDataCount));
    w->SetItemText(IDC_LIST_NETDATA, 0, 1, label);
    w->SetItemText(IDC_LIST_NETDATA, 0, 2, host);
    w->OnReport(LOG_NETDATA, g_netDataCount, label, address);
}

void AddStreamRow(const std::string& message) {
    ++g_streamCount;
    std::string number = std::to_string(g_streamCount);
    IReportWindow* w = g_window;
    if (w == nullptr) return;
    std::string label, address;
    SplitLabel(message, &label, &address);
    if (w->HasControl(IDC_LIST_STREAM)) {
        if (w->GetItemCount(IDC_LIST_STREAM) > kMaxRowsBeforeInsert) {
            w->DeleteItem(IDC_LIST_STREAM, w->GetItemCount(IDC_LIST_STREAM) - 1);
        }
        size_t slash = address.rfind('/');
        std::string head = slash == std::string::npos ? address : address.substr(0, slash);
        std::string tail = slash == std::string::npos ? address : address.substr(slash + 1);
        w->InsertItem(IDC_LIST_STREAM, 0, number);
        w->SetItemText(IDC_LIST_STREAM, 0, 1, head);
        w->SetItemText(IDC_LIST_STREAM, 0, 2, tail);
        // Keep a remembered selection on the same stream; with none, select the new top row.
        w->SetItemState(IDC_LIST_STREAM, g_selectedStreamRow + 1, LVIS_SELECTED | LVIS_FOCUSED,
                        LVIS_SELECTED | LVIS_FOCUSED);
    }
    w->OnReport(LOG_STREAM, g_streamCount, label, address);
}

}  // namespace

void LogOut(int flags, std::string message) {
    try {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        // The status line shows the counters as they were when this call began.
        const int netDataAtStart = g_netDataCount;
        const int streamsAtStart = g_streamCount;

        if (flags & (LOG_WARN | LOG_TRACE | LOG_ERROR | LOG_INFO)) {
            std::string record = TimeStamp() + message;
            if (flags & LOG_WARN) {
                WriteRecord(log4cplus::WARN_LOG_LEVEL, record);
                g_lastErrorText = message;
            } else if (flags & LOG_TRACE) {
                WriteRecord(log4cplus::TRACE_LOG_LEVEL, record);
            } else if (flags & LOG_ERROR) {
                WriteRecord(log4cplus::ERROR_LOG_LEVEL, record);
                g_lastErrorText = message;
            } else {
                WriteRecord(log4cplus::INFO_LOG_LEVEL, record);
            }
        }
        if (flags == LOG_NETDATA) AddNetDataRow(message);
        if (flags & LOG_STREAM) AddStreamRow(message);
        if (flags & LOG_STATUS) g_statusText = message;

        IReportWindow* w = g_window;
        if (w != nullptr && w->HasControl(IDC_STATIC_STATUS)) {
            w->SetWindowText(IDC_STATIC_STATUS, "状态：" + g_statusText + "  网络包数：" +
                                                    std::to_string(netDataAtStart) +
                                                    "  视频流数:" + std::to_string(streamsAtStart) +
                                                    "  异常：" + g_lastErrorText);
        }
    } catch (...) {
        // Reporting never fails its caller; the message is lost.
    }
}

void InitLogging() {
    std::string folder = GetAppDirectory() + "/log";
    {
        std::lock_guard<std::recursive_mutex> guard(g_lock);
        g_logFilePath = folder + "/log.txt";
    }
    try {
        log4cplus::initialize();
        log4cplus::SharedAppenderPtr appender(
            new log4cplus::RollingFileAppender(g_logFilePath, 20480, 30, true, true));
        log4cplus::Logger::getRoot().addAppender(appender);
    } catch (...) {
        // Without a file the window effects of LogOut still work.
    }
    LogOut(
        LOG_INFO,
        "------------------------------Pelkin software log---------------------------------------");
    LogOut(LOG_INFO, "Strevix started.");
}

void SetLoggingQuiet(bool quiet) {
    log4cplus::helpers::LogLog::getLogLog()->setQuietMode(quiet);
}

void ShutdownLogging() {
    try {
        log4cplus::Logger::getRoot().removeAllAppenders();
        log4cplus::Logger::getDefaultHierarchy().shutdown();
    } catch (...) {
    }
}

std::string GetAppDirectory() {
    return platform::ApplicationFolder();
}

void SetReportWindow(IReportWindow* window) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_window = window;
}

int GetSelectedStreamRow() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_selectedStreamRow;
}

void SetSelectedStreamRow(int row) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_selectedStreamRow = row;
}

void ResetReportCounters() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_netDataCount = 0;
    g_streamCount = 0;
}

int GetNetDataCount() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_netDataCount;
}

int GetStreamCount() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_streamCount;
}

std::string GetStatusText() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_statusText;
}

std::string GetLastErrorText() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_lastErrorText;
}

void ClearLastErrorText() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_lastErrorText.clear();
}

std::string GetLogFilePath() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_logFilePath;
}

namespace strevix_detail {
void LockReports() {
    g_lock.lock();
}
void UnlockReports() {
    g_lock.unlock();
}
}  // namespace strevix_detail

#pragma once

#include <pcap/pcap.h>

#include <QDialog>
#include <QIcon>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/TrayIcon.h"
#include "session/CaptureSession.h"

class CHtmlViewEx;
class CMyListCtrl;
class CReportWindow;
class CVideoStreamUriAnalyse;
class CStatusLabel;
class CRecordingsView;
class QTabWidget;
class QLabel;
class QLocalServer;
class QTimer;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

// The main window (template 102): the interface list, Start and Stop, the network-data and
// stream lists with their commands, the status line and the start page.
class CStrevixDlg : public QDialog {
    Q_OBJECT
  public:
    // Starts logging and, unless told otherwise (tests), applies the single-instance rule,
    // which ends a second instance here.
    explicit CStrevixDlg(QWidget* parent = nullptr, bool checkSingleInstance = true);
    ~CStrevixDlg() override;

    // The local socket through which a second launch asks this one to show its window; tests
    // give each process its own.
    static std::string s_instanceName;
    // A second launch: asks the running program to show its window. True when it was asked.
    static bool AskRunningToShow();

    // WM_INITDIALOG.
    bool OnInitDialog();
    // WM_COMMAND: buttons, tray items, the menu button's items.
    void OnCommand(int id);
    // The control with a template id, or null.
    QWidget* Control(int id) const;

    void LoadSettings();
    // AutoRun: "1" keeps the user's XDG autostart entry, "0" removes ours.
    void ApplyAutoRun();
    void BuildInterfaceList();
    int GetAdapterDescriptions();
    std::string FindAdapterDescription(const std::string& deviceName) const;
    void StartCapture(const std::string& deviceFilter);
    void StartCaptureFromFile(const std::string& path);
    void Stop();

    void ShowCapturing(bool capturing);
    // What a source that could not be opened says to the user: the reason, and for missing
    // capture rights how to grant them.
    static std::string OpenFailureText(const std::string& source, const std::string& message,
                                       const std::string& detail);
    // Once every analyser of a capture file has read its last frame: says so and goes idle.
    // True when it did.
    bool CheckFileCaptureEnd();
    // While devices are captured: the packets the kernel dropped, once there are any, in the
    // status line in the warning colour.
    void ShowDrops();
    void OnStart();
    void OnStop();
    void OnCaptureFile();
    void OnPlay();
    void OnStreamListDblClk(int row);
    void OnRecordOnly();
    void OnRecordMp4();
    std::string GetPlayerParameters(int row);
    void OnDelete();
    void OnClear();
    void OnFolder();
    void OnExit();
    void OnShowHide();
    void OnAbout();
    void OnModifyPassword();
    // Asks for the TLS key log the captures decrypt with, and keeps it in the settings.
    void OnTlsKeyLog();
    void SetTlsKeyLog(const std::string& path);
    const std::string& TlsKeyLog() const { return m_tlsKeyLog; }

    // The first selected row of the stream list (reports applied first), or -1.
    int SelectedStreamListRow();
    // Column 1 + "/" + column 2 of a stream row.
    std::string StreamAddress(int row);
    // The addresses of a list's selected rows, one a line; Ctrl+C puts them on the clipboard.
    QString SelectedAddresses(QTreeWidget* list);
    void CopySelectedAddresses(QTreeWidget* list);
    // A click on a column header: ascending, descending, then the order of the reports.
    void OnHeaderClicked(QTreeWidget* list, int column);
    // The recordings view, and the tabs it shares with the start page.
    CRecordingsView* Recordings() const { return m_recordings; }
    QTabWidget* PageTabs() const { return m_pageTabs; }
    // The stream rows' context menu.
    QMenu* RowMenu() const { return m_rowMenu; }
    // Applies the reports that are still queued for the lists and the status line.
    void SyncReports();
    CReportWindow* ReportWindow() const { return m_reportWindow.get(); }
    bool ShutDown() const { return m_shutDown; }
    // The tray picture last set (IDR_MAINFRAME until the tray icon shows another).
    int TrayPicture() const { return m_trayPicture; }

    // Members of the template's class.
    CMyListCtrl* m_streamList = nullptr;
    CHtmlViewEx* m_htmlView = nullptr;
    int m_uploadTimer = 0;
    QIcon m_hIcon;
    CTrayIcon m_trayIcon;
    int m_autoRun = 0;
    std::string m_appTitle;
    int m_runAs = 2;
    int m_autoCapture = 0;
    // The interfaces, and the analysers of the capture that runs.
    CaptureSession m_session;
    unsigned long long m_droppedShown = 0;  // kernel drops the status line has said
    std::string m_tlsKeyLog;                // empty: none
    size_t m_tlsUnreadShown = 0;            // unread TLS sessions the status line has said
    std::vector<std::pair<std::string, std::string>> m_adapters;
    int m_exiting = 0;

  Q_SIGNALS:
    // The exit sequence has run; the application ends its event loop.
    void Exited();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;  // Escape
    // The lists' keys: Ctrl+C copies, Enter plays, Delete deletes.
    bool eventFilter(QObject* watched, QEvent* event) override;

    // Seams: what the dialog asks of the desktop, and the release steps of the exit.
    virtual std::string AskCaptureFile();
    virtual std::string AskKeyLogFile();
    virtual int Launch(const std::string& program, const std::vector<std::string>& args);
    virtual int OpenFolderWindow(const std::string& folder);
    virtual void ReleaseDatabase();
    virtual void ReleaseFlvFiles();

  private:
    void CreateControls();
    void CheckSingleInstance();
    // A close request while not exiting: hide to the tray, or minimise without one.
    void HideToTray();
    void ShutdownSequence();
    void OnStreamSelectionChanged();
    void LaunchForRow(int row);
    void SetTrayPicture(int resource);
    void ShowStartFailure();
    void BeginStart();

    void ListenForLaunches();

    std::map<int, QWidget*> m_controls;
    QLocalServer* m_instanceServer = nullptr;
    QTreeWidget* m_deviceList = nullptr;
    QTreeWidget* m_netDataList = nullptr;
    CStatusLabel* m_status = nullptr;
    // Why the last start opened nothing (empty when it opened something or tried nothing).
    std::string m_startFailure;
    // The capture file being read, for its end; empty for live capture.
    std::string m_captureFileName;
    QTimer* m_endTimer = nullptr;
    QTimer* m_dropTimer = nullptr;
    // A capture file ended by itself: the numbering starts again with the next start.
    bool m_resetCountersOnStart = false;
    QMenu* m_rowMenu = nullptr;
    CRecordingsView* m_recordings = nullptr;
    QTabWidget* m_pageTabs = nullptr;
    std::unique_ptr<CReportWindow> m_reportWindow;
    bool m_shutDown = false;
    int m_trayPicture = 134;
    std::string m_pendingCapturePath;  // fed to the capture-file command (STREVIX_OPEN_CAPTURE)
};

#pragma once
// Helpers of the desktop program's tests: a private application folder, a dialog whose desktop
// effects are recorded, and waiting for file captures.

#include <sqlite3.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "app/MessageBox.h"
#include "app/StrevixDlg.h"
#include "common/Exception.h"
#include "common/LogOut.h"

namespace apptest {

// A copy of the build's application folder essentials (database, launchers) in /tmp, made the
// application folder of this process.
inline std::string MakeAppFolder() {
    namespace fs = std::filesystem;
    const std::string home = testframes::TempFolder("app");
    fs::copy_file(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll", home + "/QuilletDT.dll");
    fs::create_directories(home + "/Videos");
    setenv("STREVIX_HOME", home.c_str(), 1);
    // The autostart entry goes here, never into the user's own ~/.config.
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    // Never the launch socket of a program the user runs.
    CStrevixDlg::s_instanceName = "strevix-test-" + std::to_string(getpid());
    SetLoggingQuiet(true);
    return home;
}

// Runs one statement on the copy, behind the program's back.
inline void ExecSql(const std::string& home, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open((home + "/QuilletDT.dll").c_str(), &db);
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) qWarning("sql: %s", error ? error : "?");
    sqlite3_free(error);
    sqlite3_close(db);
}

inline std::vector<std::string> LogLines(const std::string& home) {
    std::vector<std::string> lines;
    std::string text = testframes::ReadFile(home + "/log/log.txt");
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        // "LEVEL - yyyy-mm-dd hh:mm:ss : message" -> "LEVEL message"
        size_t colon = line.find(" : ");
        size_t dash = line.find(" - ");
        if (colon != std::string::npos && dash != std::string::npos)
            line = line.substr(0, dash) + " " + line.substr(colon + 3);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

struct MessageRecorder {
    std::vector<std::pair<std::string, std::string>> boxes;
    MessageRecorder() {
        SetMessageBoxHook([this](const std::string& text, const std::string& caption) {
            boxes.emplace_back(text, caption);
        });
    }
    ~MessageRecorder() { SetMessageBoxHook(nullptr); }
};

class TestDialog : public CStrevixDlg {
  public:
    TestDialog() : CStrevixDlg(nullptr, false) {}

    struct Launched {
        std::string program;
        std::vector<std::string> args;
    };
    std::vector<Launched> launches;
    std::vector<std::string> folders;
    std::string captureFile;
    std::string keyLogFile;
    bool failDatabaseRelease = false;

    std::string AskCaptureFile() override { return captureFile; }
    std::string AskKeyLogFile() override { return keyLogFile; }
    int Launch(const std::string& program, const std::vector<std::string>& args) override {
        launches.push_back({program, args});
        return 4242;
    }
    // The launch of the real program, not recorded.
    int RealLaunch(const std::string& program, const std::vector<std::string>& args) {
        return CStrevixDlg::Launch(program, args);
    }
    int OpenFolderWindow(const std::string& folder) override {
        folders.push_back(folder);
        return 4243;
    }
    void ReleaseDatabase() override {
        if (failDatabaseRelease) STREVIX_THROW("release failed", "TestDialog::ReleaseDatabase");
        CStrevixDlg::ReleaseDatabase();
    }

    // A list as the user sees it: with every queued report applied.
    QTreeWidget* List(int id) {
        SyncReports();
        return static_cast<QTreeWidget*>(Control(id));
    }
    QTreeWidgetItem* Item(int id, int row) { return List(id)->topLevelItem(row); }
    QString Cell(int id, int row, int column) {
        QTreeWidgetItem* item = Item(id, row);
        return item ? item->text(column) : QString("<none>");
    }
    // The user clicks a row.
    void Click(int row) { List(IDC_LIST_STREAM)->setCurrentItem(Item(IDC_LIST_STREAM, row)); }
    bool Enabled(int id) const { return Control(id)->isEnabled(); }
    QString Status() {
        SyncReports();
        return static_cast<QLabel*>(Control(IDC_STATIC_STATUS))->text();
    }

    // Waits until every running file capture has read its last frame, then shows its rows.
    bool WaitCaptures(int timeoutMs = 20000) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            if (m_session.Running() == 0 || m_session.FileEnded()) break;
            if (timer.elapsed() > timeoutMs) return false;
            QTest::qWait(5);
        }
        // The window notices the end of a file by a timer; here at once.
        CheckFileCaptureEnd();
        QCoreApplication::processEvents();
        SyncReports();
        return true;
    }
};

// A capture of count HLS requests, each on its own connection, each a new stream.
inline std::string ManyStreamsCapture(const std::string& folder, int count) {
    std::vector<testframes::Bytes> frames;
    for (int i = 0; i < count; ++i) {
        testframes::Endpoint client{{10, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                                    static_cast<uint16_t>(20000 + i % 30000)};
        testframes::Endpoint server{{10, 0, 0, 9}, 8080};
        std::string request =
            "GET /live/s" + std::to_string(i) + ".m3u8 HTTP/1.1\r\nHost: 10.0.0.9:8080\r\n\r\n";
        frames.push_back(testframes::Frame(client, server, request));
    }
    const std::string path = folder + "/many.pcap";
    testframes::WritePcap(path, frames);
    return path;
}

}  // namespace apptest

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RecordingWindow.h"
#include "TestFrames.h"
#include "common/LogOut.h"

using testframes::ReadFile;

namespace {

// Every test runs in its own process (ctest), so logging is started once per test.
class LogOutFile : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = testframes::TempFolder("log");
        setenv("STREVIX_HOME", home_.c_str(), 1);
        InitLogging();
    }
    void TearDown() override {
        SetReportWindow(nullptr);
        ShutdownLogging();
    }
    std::string Log() { return ReadFile(home_ + "/log/log.txt"); }
    std::string home_;
};

const char* kBanner =
    "------------------------------Pelkin software log---------------------------------------";

}  // namespace

TEST_F(LogOutFile, BannerAndStartRecordFormat) {
    std::string log = Log();
    std::regex line("INFO - \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d : " + std::string(kBanner) +
                    "\nINFO - \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d : Strevix started\\.\n");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
    EXPECT_EQ(GetLogFilePath(), home_ + "/log/log.txt");
}

TEST_F(LogOutFile, LevelBitsChooseOneRecord) {
    LogOut(LOG_TRACE, "trace text");
    LogOut(LOG_WARN | LOG_ERROR, "five");
    LogOut(LOG_NETDATA | LOG_INFO, "RTMP-rtmp://h/a/b");
    LogOut(LOG_NETDATA, "HTTP-http://quiet/x");
    LogOut(LOG_STREAM, "RTSP-rtsp://quiet/x");
    LogOut(LOG_STATUS, "quiet status");
    std::string log = Log();
    EXPECT_EQ(log.find("trace text"), std::string::npos);
    EXPECT_NE(log.find("WARN - "), std::string::npos);
    EXPECT_EQ(log.find("ERROR - "), std::string::npos);
    EXPECT_NE(log.find("INFO - "), std::string::npos);
    EXPECT_NE(log.find(" : RTMP-rtmp://h/a/b\n"), std::string::npos);
    EXPECT_EQ(log.find("quiet"), std::string::npos);
    EXPECT_EQ(GetLastErrorText(), "five");
}

TEST_F(LogOutFile, SecondRunAppends) {
    ShutdownLogging();
    InitLogging();
    std::string log = Log();
    size_t first = log.find("Strevix started.");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("Strevix started.", first + 1), std::string::npos);
}

TEST(LogOutWindow, NetDataRowsSplitHostAndNumber) {
    RecordingWindow w;
    SetReportWindow(&w);
    ResetReportCounters();
    LogOut(LOG_NETDATA, "RTMP-rtmp://192.0.2.7/live/cam1");
    LogOut(LOG_NETDATA, "HTTP-http://192.0.2.7/a/b.flv");
    LogOut(LOG_NETDATA | LOG_INFO, "RTSP-rtsp://no.row/x");
    auto& rows = w.lists[IDC_LIST_NETDATA];
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].columns, (std::vector<std::string>{"2", "HTTP", "192.0.2.7/a/b.flv"}));
    EXPECT_EQ(rows[1].columns, (std::vector<std::string>{"1", "RTMP", "192.0.2.7"}));
    ASSERT_EQ(w.reports.size(), 2u);
    EXPECT_EQ(w.reports[1].label, "HTTP");
    EXPECT_EQ(w.reports[1].address, "http://192.0.2.7/a/b.flv");
    SetReportWindow(nullptr);
}

TEST(LogOutWindow, StreamRowsSplitAtLastSlashAndKeepSelection) {
    RecordingWindow w;
    SetReportWindow(&w);
    ResetReportCounters();
    SetSelectedStreamRow(-1);
    LogOut(LOG_STREAM, "RTMP-rtmp://192.0.2.7/live/cam1");
    auto& rows = w.lists[IDC_LIST_STREAM];
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].columns, (std::vector<std::string>{"1", "rtmp://192.0.2.7/live", "cam1"}));
    EXPECT_EQ(rows[0].state, LVIS_SELECTED | LVIS_FOCUSED);
    // The selection handler remembers row 0; a newer row above keeps it on the same stream.
    SetSelectedStreamRow(0);
    LogOut(LOG_STREAM, "HLS-noslash");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].columns, (std::vector<std::string>{"2", "noslash", "noslash"}));
    EXPECT_EQ(rows[1].state & LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(rows[0].state & LVIS_SELECTED, 0u);
    SetReportWindow(nullptr);
}

TEST(LogOutWindow, ListsStopAt201RowsAndNumberingRestarts) {
    RecordingWindow w;
    SetReportWindow(&w);
    ResetReportCounters();
    for (int i = 0; i < 205; ++i) LogOut(LOG_NETDATA, "RTSP-rtsp://h/" + std::to_string(i));
    auto& rows = w.lists[IDC_LIST_NETDATA];
    EXPECT_EQ(rows.size(), 201u);
    EXPECT_EQ(rows.front().columns[0], "205");
    EXPECT_EQ(rows.back().columns[0], "5");
    ResetReportCounters();
    LogOut(LOG_NETDATA, "RTSP-rtsp://h/again");
    EXPECT_EQ(rows.front().columns[0], "1");
    EXPECT_EQ(rows.size(), 201u);
    SetReportWindow(nullptr);
}

TEST(LogOutWindow, StatusLineShowsCountersFromCallStart) {
    RecordingWindow w;
    SetReportWindow(&w);
    ResetReportCounters();
    LogOut(LOG_STATUS, "程序准备就绪");
    EXPECT_EQ(w.texts[IDC_STATIC_STATUS], "状态：程序准备就绪  网络包数：0  视频流数:0  异常：");
    LogOut(LOG_STREAM, "RTMP-rtmp://h/live/a");
    EXPECT_EQ(w.texts[IDC_STATIC_STATUS], "状态：程序准备就绪  网络包数：0  视频流数:0  异常：");
    LogOut(LOG_TRACE, "t");
    EXPECT_EQ(w.texts[IDC_STATIC_STATUS], "状态：程序准备就绪  网络包数：0  视频流数:1  异常：");
    LogOut(LOG_ERROR, "bad");
    EXPECT_EQ(w.texts[IDC_STATIC_STATUS], "状态：程序准备就绪  网络包数：0  视频流数:1  异常：bad");
    SetReportWindow(nullptr);
}

TEST(LogOutWindow, ConcurrentReportsKeepEveryRowAndOrder) {
    RecordingWindow w;
    SetReportWindow(&w);
    ResetReportCounters();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 40; ++i)
                LogOut(LOG_STREAM, "RTSP-rtsp://h" + std::to_string(t) + "/" + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    auto& rows = w.lists[IDC_LIST_STREAM];
    ASSERT_EQ(rows.size(), 160u);
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].columns[0], std::to_string(160 - i));
    EXPECT_EQ(GetStreamCount(), 160);
    SetReportWindow(nullptr);
}

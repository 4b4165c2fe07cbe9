// The platform stand-ins, the launchers of the player and transcoder, and the single-instance
// rule, tested through real processes.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestFrames.h"
#include "app/Launch.h"
#include "platform/Adapters.h"
#include "platform/ProcessList.h"
#include "platform/Spawn.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

const std::string kBuild = STREVIX_BUILD_DIR;
// Addresses as captured traffic may carry them.
const std::string kHostile =
    "rtmp://10.0.0.5/live/a b\"c'$(touch /tmp/strevix-pwned)`id`;|&<> -o /tmp/x";

// Runs argv to its end; the exit status, or -1.
int RunAndWait(const std::vector<std::string>& args, int timeoutSeconds = 60) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    for (int i = 0; i < timeoutSeconds * 20; ++i) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

template <class F>
bool WaitFor(F done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// The arguments a recorder script received, one per NUL-terminated item.
std::vector<std::string> ReadArgs(const std::string& path) {
    std::vector<std::string> args;
    std::string text = testframes::ReadFile(path);
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') {
            args.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return args;
}

class Folder : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = testframes::TempFolder("launch");
        ASSERT_FALSE(dir_.empty());
        recorder_ = dir_ + "/recorder";
        std::ofstream(recorder_) << "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"$RECORD_TO.tmp\"\n"
                                    "mv \"$RECORD_TO.tmp\" \"$RECORD_TO\"\n";
        fs::permissions(recorder_, fs::perms::owner_all);
        record_ = dir_ + "/args";
        setenv("RECORD_TO", record_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::vector<std::string> Recorded() {
        EXPECT_TRUE(WaitFor([&] { return fs::exists(record_); }, 10000));
        return ReadArgs(record_);
    }
    std::string dir_, recorder_, record_;
};

}  // namespace

TEST_F(Folder, SpawnPassesEveryArgumentAsItIsWithoutAShell) {
    const std::vector<std::string> args{
        "a b", "\"q\"", "$(touch " + dir_ + "/pwned)", "-x", "; rm -rf " + dir_, "`id`", "", "--"};
    ASSERT_GT(platform::SpawnDetached(recorder_, args), 0);
    EXPECT_EQ(Recorded(), args);
    EXPECT_FALSE(fs::exists(dir_ + "/pwned"));
    EXPECT_EQ(platform::SpawnDetached(dir_ + "/missing", {}), -1);
}

TEST_F(Folder, PlayerLauncherHandsFfplayTheAddressAfterItsOptions) {
    setenv("STREVIX_FFPLAY", recorder_.c_str(), 1);
    const std::string player = kBuild + "/player/ffplayer";
    std::vector<std::string> argv{player};
    for (const std::string& a : PlayerArguments(kHostile)) argv.push_back(a);
    ASSERT_EQ(RunAndWait(argv), 0);
    const std::vector<std::string> expected{
        "-hide_banner",          "-loglevel", "warning", "-window_title",
        "Strevix - " + kHostile, "--",        kHostile};
    EXPECT_EQ(Recorded(), expected);
    fs::remove(record_);
    // The recording-list form as one argument reads the same.
    ASSERT_EQ(RunAndWait({player, "--i " + kHostile + " --o"}), 0);
    EXPECT_EQ(Recorded(), expected);
    fs::remove(record_);
    // No option, local file or special protocol gets through; nothing runs.
    for (const std::string& bad :
         {std::string("-f"), std::string("-i /etc/passwd"), std::string("file:///etc/passwd"),
          std::string("concat:a|b"), std::string("rtmp://h/a\nb"), std::string("")}) {
        EXPECT_EQ(RunAndWait({player, "--i", bad, "--o"}), 2) << bad;
    }
    EXPECT_EQ(RunAndWait({player, "--i", "rtmp://h/x"}), 2);
    EXPECT_EQ(RunAndWait({player, "-x", "rtmp://h/x", "--o"}), 2);
    EXPECT_FALSE(fs::exists(record_));
    EXPECT_FALSE(fs::exists("/tmp/strevix-pwned"));
    unsetenv("STREVIX_FFPLAY");
}

TEST_F(Folder, TranscoderLauncherForwardsItsArguments) {
    setenv("STREVIX_FFMPEG", recorder_.c_str(), 1);
    std::vector<std::string> argv{kBuild + "/player/ffmpeg/ffmpeg"};
    const std::vector<std::string> args = TranscoderArguments(kHostile, dir_ + "/out.mp4");
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_EQ(RunAndWait(argv), 0);
    std::vector<std::string> expected{"-hide_banner", "-nostdin"};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(Recorded(), expected);
    unsetenv("STREVIX_FFMPEG");
}

// The MP4 command's arguments make Debian's ffmpeg copy a served HLS stream into an MP4 file.
TEST_F(Folder, TranscoderWritesARealMp4) {
    if (RunAndWait({"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc=size=160x120:rate=10:duration=2", "-c:v", "libx264", "-preset",
                    "ultrafast", "-f", "hls", "-hls_time", "1", "-hls_list_size", "0",
                    dir_ + "/index.m3u8"}) != 0)
        GTEST_SKIP() << "ffmpeg cannot make the test stream";
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    close(probe);
    int server = platform::SpawnDetached("python3", {"-m", "http.server", std::to_string(port),
                                                     "--bind", "127.0.0.1", "--directory", dir_});
    if (server <= 0) GTEST_SKIP() << "no python3 to serve the stream";
    bool up = WaitFor(
        [&] {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
            close(s);
            return ok;
        },
        10000);
    ASSERT_TRUE(up);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/index.m3u8";
    ASSERT_TRUE(IsLaunchableAddress(url));
    std::vector<std::string> argv{kBuild + "/player/ffmpeg/ffmpeg"};
    for (const std::string& a : TranscoderArguments(url, dir_ + "/191115090507.mp4"))
        argv.push_back(a);
    EXPECT_EQ(RunAndWait(argv), 0);
    kill(server, SIGTERM);
    std::string probeOut = dir_ + "/probe.txt";
    EXPECT_EQ(RunAndWait({"sh", "-c",
                          "ffprobe -v error -show_entries stream=codec_name -of csv=p=0 \"$0\" > "
                          "\"$1\"",
                          dir_ + "/191115090507.mp4", probeOut}),
              0);
    EXPECT_EQ(testframes::ReadFile(probeOut), "h264\n");
}

TEST(LaunchNames, Mp4NameAndLaunchableAddresses) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(FormatMp4Name(1573808707), "/191115090507.mp4");
    EXPECT_EQ(FormatMp4Name(1573808707), FormatMp4Name(1573808707));  // same second, same name
    for (const char* ok : {"rtmp://10.0.0.5/live/cam1", "RTSP://h:554/a b", "http://h/x.m3u8",
                           "rtmpt://h/a", "https://h/a?b=c&d"})
        EXPECT_TRUE(IsLaunchableAddress(ok)) << ok;
    for (const char* bad : {"-i x", "file:///etc/passwd", "concat:a|b", "://x", "rtmp:/x", "pipe:1",
                            "rtmp://h/a\rb", "", "subfile,,0,10,:rtmp://h/x"})
        EXPECT_FALSE(IsLaunchableAddress(bad)) << bad;
}

TEST(Processes, CountIsACaseFoldedSubstringOfExecutableNames) {
    const std::string dir = testframes::TempFolder("proc");
    const std::string name = "StrevixProbe" + std::to_string(getpid());
    fs::copy_file("/bin/sleep", dir + "/x" + name + "y");
    fs::permissions(dir + "/x" + name + "y", fs::perms::owner_all);
    EXPECT_EQ(GetProcessCountFromName(name), 0);
    int child = platform::SpawnDetached(dir + "/x" + name + "y", {"30"});
    ASSERT_GT(child, 0);
    EXPECT_EQ(GetProcessCountFromName(platform::FoldCase(name)), 1);
    EXPECT_EQ(GetProcessCountFromName("STREVIXPROBE" + std::to_string(getpid())), 1);
    kill(child, SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return GetProcessCountFromName(name) == 0; }, 10000));
    // The test program finds itself.
    EXPECT_GE(GetProcessCountFromName("app_launch_tests"), 1);
    fs::remove_all(dir);
}

TEST(Adapters, DescriptionsFromSysfs) {
    const std::string root = testframes::TempFolder("sys");
    auto make = [&](const std::string& ifname, const std::string& type) {
        fs::create_directories(root + "/" + ifname);
        std::ofstream(root + "/" + ifname + "/type") << type << "\n";
    };
    make("eth0", "1");
    fs::create_directories(root + "/drivers/e1000e");
    fs::create_directories(root + "/eth0/device");
    fs::create_directory_symlink(root + "/drivers/e1000e", root + "/eth0/device/driver");
    make("wlan0", "1");
    fs::create_directories(root + "/wlan0/wireless");
    fs::create_directories(root + "/wlan0/device");
    make("br0", "1");
    std::ofstream(root + "/br0/uevent") << "DEVTYPE=bridge\nINTERFACE=br0\n";
    make("veth1", "1");
    make("tun0", "65534");
    make("lo", "772");
    EXPECT_EQ(platform::DescribeInterface("eth0", false, root), "Ethernet adapter (e1000e)");
    EXPECT_EQ(platform::DescribeInterface("wlan0", false, root), "Wireless adapter");
    EXPECT_EQ(platform::DescribeInterface("br0", false, root), "Virtual Bridge adapter");
    EXPECT_EQ(platform::DescribeInterface("veth1", false, root), "Virtual Ethernet adapter");
    EXPECT_EQ(platform::DescribeInterface("tun0", false, root), "Virtual Tunnel adapter");
    EXPECT_EQ(platform::DescribeInterface("lo", false, root), "Loopback adapter");
    EXPECT_EQ(platform::DescribeInterface("missing", false, root), "Virtual Network adapter");
    fs::remove_all(root);

    std::vector<platform::AdapterInfo> adapters;
    ASSERT_EQ(platform::ListAdapters(&adapters), 0);
    bool lo = false;
    for (const auto& a : adapters) lo = lo || (a.first == "lo" && a.second == "Loopback adapter");
    EXPECT_TRUE(lo);
}

// A second instance writes its start lines and the line about the first one, then ends with 0
// before it makes a window.
TEST(SingleInstance, SecondInstanceExitsBeforeAnyWindow) {
    const std::string home = testframes::TempFolder("instance");
    fs::copy_file(kBuild + "/QuilletDT.dll", home + "/QuilletDT.dll");
    // A name of its own, so that nothing else running counts as an instance.
    const std::string binary = home + "/strevixsolo" + std::to_string(getpid());
    fs::copy_file(kBuild + "/strevix", binary);
    fs::permissions(binary, fs::perms::owner_all);
    setenv("STREVIX_HOME", home.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("STREVIX_OPEN_CAPTURE", (std::string(STREVIX_SOURCE_DIR) + "/data/sample.pcap").c_str(),
           1);
    setenv("STREVIX_DUMP_STREAMS", (home + "/streams").c_str(), 1);
    // The console front end, running, is not an instance.
    fs::copy_file("/bin/sleep", binary + "-cli");
    int cli = platform::SpawnDetached(binary + "-cli", {"60"});
    ASSERT_GT(cli, 0);
    int first = platform::SpawnDetached(binary, {});
    ASSERT_GT(first, 0);
    // Its window is up once it lists all the capture's streams.
    ASSERT_TRUE(WaitFor(
        [&] {
            std::string rows = testframes::ReadFile(home + "/streams");
            return std::count(rows.begin(), rows.end(), '\n') == 7;
        },
        60000));
    unsetenv("STREVIX_OPEN_CAPTURE");
    EXPECT_EQ(RunAndWait({binary}), 0);

    std::vector<std::string> lines;
    std::ifstream log(home + "/log/log.txt");
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    // SIGTERM makes the first one run its exit sequence.
    kill(first, SIGTERM);
    kill(cli, SIGTERM);
    EXPECT_TRUE(WaitFor(
        [&] { return GetProcessCountFromName(binary.substr(home.size() + 1)) == 0; }, 30000));
    EXPECT_NE(testframes::ReadFile(home + "/log/log.txt").find("Program Exited."),
              std::string::npos);
    int starts = 0;
    size_t last = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].size() >= 16 &&
            lines[i].compare(lines[i].size() - 16, 16, "Strevix started.") == 0) {
            ++starts;
            last = i;
        }
    }
    ASSERT_EQ(starts, 2);
    ASSERT_EQ(last + 2, lines.size());
    EXPECT_NE(lines[last + 1].find("INFO - "), std::string::npos);
    const std::string exist = "Strevix process is exist, this process is exited.";
    EXPECT_EQ(lines[last + 1].substr(lines[last + 1].size() - exist.size()), exist);
    EXPECT_NE(lines[last - 1].find("Pelkin software log"), std::string::npos);
    unsetenv("STREVIX_DUMP_STREAMS");
    fs::remove_all(home);
}

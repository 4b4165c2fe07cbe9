// strevix-cli as a user runs it: its output lines, exit codes and error messages.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "RtmpBytes.h"
#include "TestFrames.h"

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// `home`, when given, is the application folder (STREVIX_HOME) of the run.
Result RunCli(const std::string& args, const std::string& home = std::string()) {
    std::string errFile = testframes::TempFolder("cli") + "/stderr";
    std::string command = (home.empty() ? std::string() : "STREVIX_HOME=" + home + " ") +
                          std::string(STREVIX_CLI) + " " + args + " 2>" + errFile;
    Result r;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) r.out.append(buffer, n);
    int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = testframes::ReadFile(errFile);
    return r;
}

int Lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

std::string MixedCapture() {
    using namespace rtmpbytes;
    Endpoint c{{127, 0, 0, 1}, 40000}, rtmp{{127, 0, 0, 2}, 1935}, web{{127, 0, 0, 3}, 8080};
    Endpoint c2{{127, 0, 0, 1}, 40001}, rtsp{{127, 0, 0, 4}, 554};
    std::vector<Bytes> frames = {
        Frame(c, rtmp, Chunked(3, 0x14, 0, ConnectBody("rtmp://127.0.0.2:1935/live"))),
        Frame(c, rtmp, Chunked(3, 0x14, 0, CreateStreamBody())),
        Frame(c, rtmp, Chunked(8, 0x14, 1, PlayBody("cam1"))),
        Frame(c2, web, "GET /hls/index.m3u8 HTTP/1.1\r\nHost: 127.0.0.3:8080\r\n\r\n"),
        Frame(Endpoint{{127, 0, 0, 1}, 40002}, rtsp,
              "DESCRIBE rtsp://127.0.0.4/cam\r\n RTSP/1.0\r\nCSeq: 2\r\n\r\n"),
    };
    std::string path = testframes::TempFolder("cli") + "/mixed.pcap";
    testframes::WritePcap(path, frames);
    return path;
}

}  // namespace

TEST(Cli, PrintsEachNewStreamOnce) {
    Result r = RunCli("-r " + MixedCapture());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "RTMP-rtmp://127.0.0.2/live/cam1\n"
              "HLS-http://127.0.0.3:8080/hls/index.m3u8\n"
              "RTSP-rtsp://127.0.0.4/cam\\x0D\\x0A\n");  // control bytes from the wire escaped
    EXPECT_EQ(r.err, "");
}

TEST(Cli, SightingsAndJson) {
    std::string capture = MixedCapture();
    Result s = RunCli("-r " + capture + " --sightings");
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(Lines(s.out), 3);
    Result j = RunCli("-r " + capture + " --json");
    EXPECT_EQ(j.status, 0);
    EXPECT_NE(j.out.find("{\"list\":\"stream\",\"number\":1,\"protocol\":\"RTMP\","
                         "\"address\":\"rtmp://127.0.0.2/live/cam1\"}\n"),
              std::string::npos);
    EXPECT_NE(j.out.find("\"address\":\"rtsp://127.0.0.4/cam\\r\\n\"}"), std::string::npos);
}

TEST(Cli, UsageErrorsExitTwo) {
    for (const char* args : {"-x", "-r", "-r a -r b", "-r a -i lo", "--record", "--tls-keylog"}) {
        Result r = RunCli(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err.rfind("usage: strevix-cli", 0), 0u) << args;
        EXPECT_EQ(Lines(r.err), 1) << args;
    }
    Result h = RunCli("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("--record"), std::string::npos);
    EXPECT_EQ(RunCli("--version").out, "strevix-cli 1.5.3\n");
}

TEST(Cli, BrokenOrForeignCapturesSayWhatIsWrongInOneLine) {
    std::string dir = testframes::TempFolder("cli");
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::string path = dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    };
    std::string wrongMagic = write("magic.pcap", std::string(64, 'Z'));
    std::string cut = write("cut.pcap", std::string("\xd4\xc3\xb2\xa1\x02\x00", 6));
    std::string wifi = dir + "/wifi.pcap";
    testframes::WritePcap(wifi, {Bytes(40, 0)}, 105);
    struct Case {
        std::string path, words;
    } cases[] = {
        {"/nonexistent/x.pcap", "pcap file error, open other file please."},
        {wrongMagic, "pcap file error, open other file please."},
        {cut, "pcap file error, open other file please."},
        {wifi, "this program only run at ethernet."},
    };
    for (const Case& c : cases) {
        Result r = RunCli("-r " + c.path);
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
        EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    Result i = RunCli("-i no-such-interface0");
    EXPECT_EQ(i.status, 1);
    EXPECT_EQ(Lines(i.err), 1);
    Result k = RunCli("-r " + MixedCapture() + " --tls-keylog /nonexistent/keys");
    EXPECT_EQ(k.status, 1);
    EXPECT_EQ(k.err, "strevix-cli: can't read the TLS key log /nonexistent/keys\n");
    EXPECT_EQ(k.out, "");
}

// A capture cut inside its last record: what came before is reported, then the damage in one
// line, in the log as an error, and the exit status says the file was not read to its end.
TEST(Cli, CutCaptureReportsItsDamageAfterItsLines) {
    std::string path = MixedCapture();
    std::string bytes = testframes::ReadFile(path);
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size() - 20, f);  // cut inside the last frame
    std::fclose(f);
    const std::string home = testframes::TempFolder("cli-home");
    ASSERT_TRUE(testframes::WriteFile(
        home + "/QuilletDT.dll",
        testframes::ReadFile(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll")));
    Result r = RunCli("-r " + path, home);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out), 2) << r.out;  // the RTMP and HLS streams; the RTSP one was cut
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(path + ": damaged capture: record 5 at offset "), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("cut short"), std::string::npos) << r.err;
    const std::string log = testframes::ReadFile(home + "/log/log.txt");
    const size_t at = log.find("damaged capture: record 5");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.rfind("ERROR", at), log.rfind('\n', at) + 1) << log;
}

// The database only holds filter rules: without one the console still analyses, and says so once.
TEST(Cli, RunsWithoutADatabaseAfterOneWarning) {
    const std::string home = testframes::TempFolder("cli-home");
    const Result with = RunCli("-r " + MixedCapture());
    Result r = RunCli("-r " + MixedCapture(), home);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, with.out);
    EXPECT_EQ(Lines(r.out), 3) << r.out;
    EXPECT_EQ(r.err, "strevix-cli: no database at " + home +
                         "/QuilletDT.dll: running without filter rules\n");
}

TEST(Cli, LiveCaptureStopsCleanlyOnSignal) {
    for (int sig : {SIGINT, SIGTERM}) {
        std::string errFile = testframes::TempFolder("cli") + "/stderr";
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FILE* err = std::freopen(errFile.c_str(), "w", stderr);
            (void)err;
            execl(STREVIX_CLI, STREVIX_CLI, "-i", "lo", static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(500 * 1000);
        std::string err = testframes::ReadFile(errFile);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            // Ended by itself: capture is not permitted here.
            GTEST_SKIP() << "live capture not permitted: " << err;
        }
        kill(pid, sig);
        for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(10 * 1000);
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);  // our own child, hung
            waitpid(pid, &status, 0);
            FAIL() << "did not stop within 3 s";
        }
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

// An HTTPS capture read with key logs that do not fit it. Keys that fail authentication end
// each direction with one warning in the log and print nothing; a session whose traffic secrets
// are missing is named in the one summary line; malformed lines around the right keys change
// nothing.
TEST(Cli, TlsKeyLogsThatDoNotFit) {
    const std::string capture = std::string(STREVIX_TEST_DATA) + "/tls/tls13-aes128gcm";
    const std::string keys = testframes::ReadFile(capture + ".keys");
    ASSERT_NE(keys.find("CLIENT_TRAFFIC_SECRET_0"), std::string::npos);
    // Each line of the key log kept, or changed by `edit`.
    auto rewrite = [&](auto edit) {
        std::string out, line;
        for (char c : keys) {
            if (c != '\n') {
                line += c;
                continue;
            }
            out += edit(line);
            line.clear();
        }
        return out;
    };
    auto flipLast = [](std::string line) {
        line.back() = line.back() == '0' ? '1' : '0';
        return line + "\n";
    };
    const std::string summary =
        "strevix-cli: 1 TLS session could not be read (no keys): strevix.test; give their key "
        "log with --tls-keylog\n";
    const struct {
        const char* name;
        std::string keyLog;
        bool lines;
        int warnings;
        std::string err;
    } cases[] = {
        {"right", keys, true, 0, ""},
        {"wrong traffic secrets", rewrite([&](const std::string& l) {
             return l.find("TRAFFIC_SECRET_0") != std::string::npos ? flipLast(l) : l + "\n";
         }),
         false, 2, ""},
        {"no traffic secrets", rewrite([](const std::string& l) {
             return l.find("TRAFFIC_SECRET_0") != std::string::npos ? std::string() : l + "\n";
         }),
         false, 0, summary},
        {"malformed lines around",
         "CLIENT_RANDOM zz\n# comment\n\nSERVER_TRAFFIC_SECRET_0 00 00\n" + keys +
             std::string(3000, 'x') + "\n",
         true, 0, ""},
    };
    for (const auto& c : cases) {
        const std::string home = testframes::TempFolder("cli-tls");
        ASSERT_TRUE(testframes::WriteFile(
            home + "/QuilletDT.dll",
            testframes::ReadFile(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll")));
        ASSERT_TRUE(testframes::WriteFile(home + "/keys", c.keyLog));
        Result r = RunCli("-r " + capture + ".pcap --tls-keylog " + home + "/keys", home);
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, c.lines ? testframes::ReadFile(capture + ".streams") : "") << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        const std::string log = testframes::ReadFile(home + "/log/log.txt");
        int warnings = 0;
        for (size_t at = 0; (at = log.find("failed authentication", at)) != std::string::npos; ++at)
            ++warnings;
        EXPECT_EQ(warnings, c.warnings) << c.name << "\n" << log;
    }
}

// An encoder publishing over RTMPS through a terminator: the recording made from the decrypted
// leg is byte for byte the one made from the plaintext leg behind it, over TLS 1.3 and 1.2.
TEST(Cli, RtmpsPublishRecordsAsItsPlaintextLeg) {
    for (const char* name : {"rtmps-publish", "rtmps-publish-tls12"}) {
        const std::string capture = std::string(STREVIX_TEST_DATA) + "/tls/" + name;
        const std::string home = testframes::TempFolder("cli-rtmps");
        Result r =
            RunCli("-r " + capture + ".pcap --tls-keylog " + capture + ".keys --record-all", home);
        EXPECT_EQ(r.status, 0) << name << r.err;
        std::vector<std::string> files;
        if (DIR* dir = opendir((home + "/Videos").c_str())) {
            while (dirent* e = readdir(dir))
                if (e->d_name[0] != '.') files.push_back(home + "/Videos/" + e->d_name);
            closedir(dir);
        }
        ASSERT_EQ(files.size(), 2u) << name;  // the TLS leg's and the plaintext leg's
        const std::string a = testframes::ReadFile(files[0]);
        EXPECT_GT(a.size(), 1000u) << name;
        EXPECT_TRUE(a == testframes::ReadFile(files[1])) << name;
    }
}

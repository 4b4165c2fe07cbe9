#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "TestFrames.h"
#include "analyse/NetDataPackageAnalyse.h"
#include "common/Exception.h"
#include "common/LogOut.h"

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;
using testframes::FrameOptions;

namespace {

const Endpoint kA{{127, 0, 0, 1}, 40000};
const Endpoint kB{{127, 0, 0, 1}, 8080};

// Counts what reaches each hook; can be told to throw from OnTCP.
class CountingAnalyse : public CNetDataPackageAnalyse {
  public:
    ~CountingAnalyse() override { Stop(); }
    int StartFile(const std::string& path) {
        int r = StartFromFile(path);
        if (r == 0) StartCaptureThread();
        return r;
    }
    int StartDevice(pcap_if_t* d) {
        int r = StartFromDevice(d);
        if (r == 0 && IsOpen()) StartCaptureThread();
        return r;
    }
    void AnalyseUri(CNetUnpack*, StreamType) override {}
    int IsTcpSuppressed() override { return 0; }
    void OnStreamData(CNetUnpack*, StreamType) override {}
    void OnEthernet(CTCPNetUnpack*) override { ++ethernet; }
    void OnIP(CTCPNetUnpack*) override { ++ip; }
    void OnTCP(CTCPNetUnpack* u) override {
        ++tcp;
        if (throwOnTcp) STREVIX_THROW("hook failed", "CountingAnalyse::OnTCP");
        payloadBytes += u->PayloadLen();
    }
    std::atomic<int> ethernet{0}, ip{0}, tcp{0}, payloadBytes{0};
    bool throwOnTcp = false;
};

bool WaitFor(const CNetDataPackageAnalyse& a) {
    for (int i = 0; i < 500 && !a.LoopEnded(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return a.LoopEnded();
}

std::string WriteCapture(const std::string& name, const std::vector<Bytes>& frames,
                         uint32_t link = 1) {
    std::string dir = testframes::TempFolder("cap");
    std::string path = dir + "/" + name;
    EXPECT_TRUE(testframes::WritePcap(path, frames, link));
    return path;
}

}  // namespace

TEST(CaptureSession, StopIsSafeBeforeStartAndTwice) {
    CountingAnalyse a;
    a.Stop();
    a.Stop();
    EXPECT_FALSE(a.IsOpen());
    EXPECT_FALSE(a.IsCapturing());
}

TEST(CaptureSession, FileCaptureDispatchesLayersAndEndsByItself) {
    FrameOptions vlan;
    vlan.etherType = 0x8100;
    FrameOptions udp;
    udp.protocol = 17;
    std::vector<Bytes> frames = {Frame(kA, kB, "GET / HTTP/1.1\r\n\r\n"),
                                 Frame(kA, kB, "abc", vlan), Frame(kA, kB, "abc", udp),
                                 Bytes(10, 0xFF), Frame(kB, kA, "12345")};
    std::string path = WriteCapture("mixed.pcap", frames);
    CountingAnalyse a;
    ASSERT_EQ(a.StartFile(path), 0);
    EXPECT_TRUE(a.IsCapturing());
    ASSERT_TRUE(WaitFor(a));
    EXPECT_EQ(a.FramesSeen(), 5u);
    EXPECT_EQ(a.ethernet.load(), 5);
    EXPECT_EQ(a.ip.load(), 3);
    EXPECT_EQ(a.tcp.load(), 2);
    EXPECT_EQ(a.payloadBytes.load(), 18 + 5);
    a.Stop();  // joins the ended thread and closes the handle
    EXPECT_FALSE(a.IsOpen());
    a.Stop();
}

TEST(CaptureSession, ExceptionsStayOnTheCaptureThread) {
    std::vector<Bytes> frames(20, Frame(kA, kB, "x"));
    std::string path = WriteCapture("throw.pcap", frames);
    CountingAnalyse a;
    a.throwOnTcp = true;
    ASSERT_EQ(a.StartFile(path), 0);
    ASSERT_TRUE(WaitFor(a));
    EXPECT_EQ(a.tcp.load(), 20);  // capture went on after every failure
    a.Stop();
}

TEST(CaptureSession, FileOpenFailuresReportTheirResults) {
    CountingAnalyse a;
    EXPECT_EQ(a.StartFromFile(""), 1);
    EXPECT_EQ(a.StartFromFile(std::string(2000, 'a')), 1);
    EXPECT_EQ(a.StartFromFile("/nonexistent/capture.pcap"), 2);
    EXPECT_FALSE(a.LastOpenError().empty());
    EXPECT_EQ(GetLastErrorText().empty(), false);

    std::string garbage = testframes::TempFolder("cap") + "/garbage.pcap";
    FILE* f = std::fopen(garbage.c_str(), "wb");
    std::fputs("this is not a capture file at all", f);
    std::fclose(f);
    EXPECT_EQ(a.StartFromFile(garbage), 2);

    // Another link type (Linux cooked capture) is refused rather than misread.
    std::string cooked = WriteCapture("cooked.pcap", {Bytes(40, 0)}, 113);
    EXPECT_EQ(a.StartFromFile(cooked), 2);
    EXPECT_EQ(a.LastOpenMessage(), "this program only run at ethernet.");
    EXPECT_FALSE(a.IsOpen());
}

TEST(CaptureSession, SnapLengthTruncatedFramesUseCapturedBytes) {
    // A frame cut by a small snapshot: the payload is what was captured.
    Bytes full = Frame(kA, kB, std::string(100, 'z'));
    std::string path = testframes::TempFolder("cap") + "/snap.pcap";
    FILE* out = std::fopen(path.c_str(), "wb");
    uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 64, 1};
    std::fwrite(hdr, 4, 6, out);
    uint32_t rec[4] = {1, 0, 64, static_cast<uint32_t>(full.size())};
    std::fwrite(rec, 4, 4, out);
    std::fwrite(full.data(), 1, 64, out);
    std::fclose(out);
    CountingAnalyse a;
    ASSERT_EQ(a.StartFile(path), 0);
    ASSERT_TRUE(WaitFor(a));
    EXPECT_EQ(a.payloadBytes.load(), 64 - 54);
}

TEST(CaptureSession, NullDeviceOpensNothing) {
    CountingAnalyse a;
    EXPECT_EQ(a.StartDevice(nullptr), 0);
    EXPECT_FALSE(a.IsOpen());
    EXPECT_FALSE(a.IsCapturing());
    pcap_if_t noAddress{};
    char name[] = "nothing0";
    noAddress.name = name;
    EXPECT_EQ(a.StartDevice(&noAddress), 0);
    EXPECT_FALSE(a.IsCapturing());
}

TEST(CaptureSession, LiveLoopbackStartsAndStopsPromptly) {
    pcap_if_t* devices = CNetDataPackageAnalyse::FindAllDevices();
    pcap_if_t* lo = nullptr;
    for (pcap_if_t* d = devices; d; d = d->next)
        if (std::strcmp(d->name, "lo") == 0) lo = d;
    if (lo == nullptr) {
        pcap_freealldevs(devices);
        GTEST_SKIP() << "no lo device";
    }
    CountingAnalyse a;
    int r = a.StartDevice(lo);
    if (r != 0 || !a.IsOpen()) {
        pcap_freealldevs(devices);
        GTEST_SKIP() << "live capture not permitted here: " << a.LastOpenError();
    }
    ASSERT_TRUE(a.IsCapturing());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto begin = std::chrono::steady_clock::now();
    a.Stop();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::seconds(3));  // a quiet interface still stops at once
    EXPECT_FALSE(a.IsOpen());
    pcap_freealldevs(devices);
}

TEST(CaptureSession, LargeFileDeliversEveryFrameInOrder) {
    std::vector<Bytes> frames;
    for (int i = 0; i < 3000; ++i) {
        frames.push_back(
            Frame(kA, kB, std::string(1000 + i % 400, static_cast<char>('a' + i % 26))));
    }
    frames.push_back(Frame(kA, kB, std::string(60000, 'J')));
    std::string path = WriteCapture("large.pcap", frames);
    CountingAnalyse a;
    ASSERT_EQ(a.StartFile(path), 0);
    ASSERT_TRUE(WaitFor(a));
    EXPECT_EQ(a.FramesSeen(), frames.size());
    int expected = 60000;
    for (int i = 0; i < 3000; ++i) expected += 1000 + i % 400;
    EXPECT_EQ(a.payloadBytes.load(), expected);
    a.Stop();
}

TEST(CaptureSession, StopDuringAFileAnalysisNeverHangs) {
    std::vector<Bytes> frames(20000, Frame(kA, kB, std::string(1400, 'x')));
    std::string path = WriteCapture("stop.pcap", frames);
    for (int round = 0; round < 20; ++round) {
        CountingAnalyse a;
        ASSERT_EQ(a.StartFile(path), 0);
        if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(round));
        a.Stop();
        EXPECT_FALSE(a.IsCapturing());
        EXPECT_LE(a.FramesSeen(), frames.size());
    }
}

#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "RecordingWindow.h"
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
        lastTcpTimeUs = FrameTimeUs();
    }
    void OnCaptureEnd() override {
        ++ends;
        endedBeforeLoopEnded = !LoopEnded();
        framesAtEnd = static_cast<int>(FramesSeen());
    }
    std::atomic<int> ethernet{0}, ip{0}, tcp{0}, payloadBytes{0}, ends{0}, framesAtEnd{-1};
    std::atomic<long long> lastTcpTimeUs{0};
    std::atomic<bool> endedBeforeLoopEnded{false};
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
    // The last TCP frame is the fifth: 4 ms after the first (the writer steps 1 ms a frame).
    EXPECT_EQ(a.lastTcpTimeUs.load(), 1573813230LL * 1000000 + 4000);
    // The end is told once, after the last frame, before the loop counts as ended.
    EXPECT_EQ(a.ends.load(), 1);
    EXPECT_EQ(a.framesAtEnd.load(), 5);
    EXPECT_TRUE(a.endedBeforeLoopEnded.load());
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

    // Another link type (802.11) is refused rather than misread.
    std::string wifi = WriteCapture("wifi.pcap", {Bytes(40, 0)}, 105);
    EXPECT_EQ(a.StartFromFile(wifi), 2);
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

namespace {

// Every frame as packet_handler got it.
class RecordingAnalyse : public CountingAnalyse {
  public:
    void packet_handler(u_char*, const struct pcap_pkthdr* h, const u_char* data) override {
        frames.push_back(Describe(h, data));
    }
    static std::string Describe(const struct pcap_pkthdr* h, const u_char* data) {
        return std::to_string(h->caplen) + "/" + std::to_string(h->len) + "@" +
               std::to_string(h->ts.tv_sec) + "." + std::to_string(h->ts.tv_usec) + ":" +
               std::string(reinterpret_cast<const char*>(data), h->caplen);
    }
    std::vector<std::string> frames;
};

// What the capture library itself delivers for the file, and where it stops on damage (in the
// kinds of its own messages).
struct LibraryRead {
    std::vector<std::string> frames;
    CaptureDamage damage;
};

LibraryRead LibraryFrames(const std::string& path) {
    LibraryRead out;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), error);
    if (p == nullptr) return out;
    struct pcap_pkthdr* h;
    const u_char* data;
    long long next = std::ftell(pcap_file(p));
    int r;
    while ((r = pcap_next_ex(p, &h, &data)) == 1) {
        out.frames.push_back(RecordingAnalyse::Describe(h, data));
        next = std::ftell(pcap_file(p));
    }
    if (r == -1) {
        const std::string why = pcap_geterr(p);
        out.damage.kind = why.find("truncated") != std::string::npos     ? CaptureDamage::kCutShort
                          : why.find("bigger than") != std::string::npos ? CaptureDamage::kTooLong
                                                                         : CaptureDamage::kOther;
        out.damage.frame = out.frames.size() + 1;
        out.damage.offset = next;
        out.damage.reason = why;
    }
    pcap_close(p);
    return out;
}

struct RawRecord {
    uint32_t sec, usec, caplen, len;
    std::string data;  // may be shorter than caplen: a file cut off
};

void Put32(std::string* out, uint32_t v, bool big) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (big ? 24 - 8 * i : 8 * i)));
}

std::string RawCapture(const std::vector<RawRecord>& records, uint32_t snap, bool big = false,
                       uint32_t magic = 0xa1b2c3d4u, uint16_t minor = 4) {
    std::string f;
    Put32(&f, magic, big);
    const uint32_t version = big ? (2u << 16 | minor) : (uint32_t(minor) << 16 | 2u);
    Put32(&f, version, big);
    Put32(&f, 0, big);
    Put32(&f, 0, big);
    Put32(&f, snap, big);
    Put32(&f, 1, big);
    for (const RawRecord& r : records) {
        Put32(&f, r.sec, big);
        Put32(&f, r.usec, big);
        Put32(&f, r.caplen, big);
        Put32(&f, r.len, big);
        f += r.data;
    }
    return f;
}

// A pcapng file: section header, one Ethernet interface (snapshot length `snap`), then blocks.
std::string PcapngBlock(uint32_t type, const std::string& body) {
    std::string b;
    const std::string padded = body + std::string((4 - body.size() % 4) % 4, '\0');
    const uint32_t length = static_cast<uint32_t>(12 + padded.size());
    Put32(&b, type, false);
    Put32(&b, length, false);
    b += padded;
    Put32(&b, length, false);
    return b;
}

std::string PcapngPacket(const std::string& data, uint32_t caplen, uint32_t len) {
    std::string body;
    for (uint32_t v : {0u, 1u, 2u, caplen, len}) Put32(&body, v, false);
    return PcapngBlock(6, body + data);
}

std::string PcapngCapture(uint32_t snap) {
    std::string shb, idb;
    Put32(&shb, 0x1a2b3c4du, false);
    Put32(&shb, 1, false);          // version 1.0
    shb += std::string(8, '\xff');  // section length unknown
    Put32(&idb, 1, false);          // Ethernet, no reserved bits
    Put32(&idb, snap, false);
    return PcapngBlock(0x0a0d0d0au, shb) + PcapngBlock(1, idb);
}

}  // namespace

// Files in the classic format are read without the capture library's loop: the frames must be
// exactly the library's, damaged files included.
TEST(CaptureSession, ClassicFilesGiveTheLibrarysFrames) {
    const std::string dir = testframes::TempFolder("classic");
    std::vector<RawRecord> straddling;
    // Records of many sizes cross the reading blocks' boundaries at every kind of offset.
    for (uint32_t i = 0; i < 2600; ++i) {
        const uint32_t n = (i * 7919u) % 3000u;
        straddling.push_back({i, i % 1000000u, n, n + (i % 3), std::string(n, char('a' + i % 26))});
    }
    straddling.push_back({9, 9, 200000, 200000, std::string(200000, 'B')});
    straddling.push_back({10, 10, 5, 5, "after"});
    struct Case {
        std::string name, bytes;
    };
    const std::string big(150, 'o');
    const std::vector<Case> cases = {
        {"plain",
         RawCapture({{1, 2, 3, 3, "abc"}, {5, 999999, 0, 0, ""}, {6, 7, 2, 60, "xy"}}, 100)},
        {"empty", RawCapture({}, 100)},
        {"over-snap", RawCapture({{1, 2, 150, 150, big}, {3, 4, 2, 2, "xy"}}, 100)},
        {"over-max", RawCapture({{1, 2, 3, 3, "abc"},
                                 {1, 2, 270000, 270000, std::string(270000, 'z')},
                                 {3, 4, 2, 2, "xy"}},
                                1000000)},
        {"at-max",
         RawCapture({{1, 2, 262144, 262144, std::string(262144, 'z')}, {3, 4, 2, 2, "xy"}},
                    1000000)},
        {"cut-data", RawCapture({{1, 2, 3, 3, "abc"}, {1, 2, 50, 50, std::string(20, 'q')}}, 100)},
        {"cut-header", RawCapture({{1, 2, 3, 3, "abc"}}, 100) + "\x01\x02\x03"},
        {"big-endian", RawCapture({{1, 2, 3, 3, "abc"}, {4, 5, 2, 9, "de"}}, 100, true)},
        {"nanoseconds", RawCapture({{1, 123456789, 3, 3, "abc"}}, 100, false, 0xa1b23c4du)},
        {"snap-0", RawCapture({{1, 2, 70000, 70000, std::string(70000, 'w')}}, 0)},
        {"version-2.3", RawCapture({{1, 2, 3, 5, "abc"}}, 100, false, 0xa1b2c3d4u, 3)},
        {"straddling", RawCapture(straddling, 262144)},
        // Damage deep in a file, where records cross the reading blocks: the number and the
        // offset of the damaged record must still be the library's.
        {"straddling-cut", RawCapture(straddling, 262144).substr(0, 3000017)},
        {"straddling-cut-header", RawCapture(straddling, 262144).substr(0, 2999997)},
        {"cut-over-snap",
         RawCapture({{1, 2, 3, 3, "abc"}, {1, 2, 150, 150, std::string(120, 'q')}}, 100)},
        {"declares-4g", RawCapture({{1, 2, 3, 3, "abc"}, {1, 2, 0xffffffffu, 5, ""}}, 100)},
        {"declares-4g-big-endian",
         RawCapture({{1, 2, 3, 3, "abc"}, {1, 2, 0xffffffffu, 5, ""}}, 100, true)},
    };
    for (const Case& c : cases) {
        const std::string path = dir + "/" + c.name + ".pcap";
        ASSERT_TRUE(testframes::WriteFile(path, c.bytes));
        RecordingAnalyse a;
        ASSERT_EQ(a.StartFile(path), 0) << c.name;
        ASSERT_TRUE(WaitFor(a)) << c.name;
        a.Stop();
        const LibraryRead want = LibraryFrames(path);
        ASSERT_EQ(a.frames.size(), want.frames.size()) << c.name;
        for (size_t i = 0; i < want.frames.size(); ++i)
            ASSERT_EQ(a.frames[i], want.frames[i]) << c.name << " " << i;
        EXPECT_EQ(a.Damage().kind, want.damage.kind) << c.name << ": " << want.damage.reason;
        EXPECT_EQ(a.Damage().frame, want.damage.frame) << c.name;
        EXPECT_EQ(a.Damage().offset, want.damage.offset) << c.name;
        EXPECT_EQ(a.DamageReport().empty(), !want.damage.Damaged()) << c.name;
    }
}

// Other files go through the library's loop: its damage is reported with the number and offset
// of the record it stopped at.
TEST(CaptureSession, PcapngDamageIsReportedWhereTheLibraryStops) {
    const std::string dir = testframes::TempFolder("pcapng");
    const std::string good = PcapngCapture(100) + PcapngPacket("abc", 3, 3);
    const std::string next = PcapngPacket(std::string(40, 'x'), 40, 40);
    std::string lyingBlock = next;
    lyingBlock[4] = '\x00', lyingBlock[7] = '\x7f';  // a block of almost 2 GiB
    std::string overSnap = next;
    overSnap[20] = '\x96';  // 150 captured bytes in a file of snapshot length 100
    struct Case {
        std::string name, bytes;
        CaptureDamage::Kind kind;
    };
    const std::vector<Case> cases = {
        {"whole", good + next, CaptureDamage::kNone},
        {"cut-block", good + next.substr(0, 30), CaptureDamage::kCutShort},
        {"cut-header", good + next.substr(0, 3), CaptureDamage::kCutShort},
        {"lying-block-length", good + lyingBlock, CaptureDamage::kOther},
        {"over-snap", good + overSnap + next, CaptureDamage::kTooLong},
    };
    RecordingWindow window;
    SetReportWindow(&window);
    struct Detach {
        ~Detach() { SetReportWindow(nullptr); }
    } detach;
    for (const Case& c : cases) {
        const std::string path = dir + "/" + c.name + ".pcapng";
        ASSERT_TRUE(testframes::WriteFile(path, c.bytes));
        RecordingAnalyse a;
        ASSERT_EQ(a.StartFile(path), 0) << c.name;
        ASSERT_TRUE(WaitFor(a)) << c.name;
        a.Stop();
        const LibraryRead want = LibraryFrames(path);
        EXPECT_EQ(a.frames, want.frames) << c.name;
        EXPECT_EQ(a.Damage().kind, c.kind) << c.name << ": " << a.DamageReport();
        EXPECT_EQ(want.damage.kind, c.kind) << c.name << ": " << want.damage.reason;
        if (c.kind == CaptureDamage::kNone) continue;
        EXPECT_EQ(a.Damage().frame, 2u) << c.name;
        EXPECT_EQ(a.Damage().offset, static_cast<long long>(good.size())) << c.name;
        EXPECT_NE(a.DamageReport().find("record 2 at offset " + std::to_string(good.size())),
                  std::string::npos)
            << a.DamageReport();
        // The desktop program's status line says it.
        EXPECT_NE(window.texts[IDC_STATIC_STATUS].find(path + ": " + a.DamageReport()),
                  std::string::npos)
            << window.texts[IDC_STATIC_STATUS];
    }
}

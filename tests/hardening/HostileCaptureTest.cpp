// Hostile captures analysed to their end: every one must finish, report only what its bytes
// hold, and keep the analyser's tables at their bounds.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RecordingWindow.h"
#include "RtmpBytes.h"
#include "SeedSession.h"
#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "common/LogOut.h"

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;
using testframes::FrameOptions;

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

const Endpoint kClient{{192, 168, 7, 2}, 50123};
const Endpoint kRtmpServer{{10, 9, 0, 5}, 1935};
const Endpoint kWebServer{{10, 9, 0, 6}, 80};
const Endpoint kRtspServer{{10, 9, 0, 7}, 554};

// A captured record: the bytes kept and the length the frame had on the wire.
struct Record {
    Bytes bytes;
    uint32_t wireLength;
};

Record Whole(const Bytes& b) {
    return {b, static_cast<uint32_t>(b.size())};
}

// A classic pcap file whose records may be cut (captured length below the wire length).
bool WriteRecords(const std::string& path, const std::vector<Record>& records) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    auto put32 = [out](uint32_t v) { std::fwrite(&v, 4, 1, out); };
    put32(0xa1b2c3d4);
    put32(2 | (4u << 16));
    put32(0);
    put32(0);
    put32(65536);
    put32(1);
    uint32_t usec = 0;
    for (const Record& r : records) {
        put32(1573813230);
        put32(usec += 10);
        put32(static_cast<uint32_t>(r.bytes.size()));
        put32(r.wireLength);
        if (!r.bytes.empty()) std::fwrite(r.bytes.data(), 1, r.bytes.size(), out);
    }
    std::fclose(out);
    return true;
}

int g_tags = 0;
void CountTags(const unsigned char* tag, int length, const char*, int, const char*, int,
               const char*) {
    ASSERT_GE(length, 11);
    ++g_tags;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = testframes::TempFolder("hostile");
        ASSERT_FALSE(folder.empty());
        SetReportWindow(&window);
        ResetReportCounters();
        g_tags = 0;
        analyser.reset(new CVideoStreamUriAnalyse());
        analyser->SetStreamDataCallback(&CountTags);
    }
    void TearDown() override {
        analyser.reset();
        SetReportWindow(nullptr);
        std::string command = "rm -rf '" + folder + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // Through the capture thread, as `strevix-cli -r` runs it: to the end, then stop.
    void AnalyseFile(const std::vector<Record>& records) {
        const std::string path = folder + "/hostile.pcap";
        ASSERT_TRUE(WriteRecords(path, records));
        ASSERT_EQ(analyser->StartFromFile(path), 0);
        const timespec pause{0, 1000 * 1000};
        for (int waited = 0; !analyser->LoopEnded(); ++waited) {
            ASSERT_LT(waited, 60 * 1000) << "the capture loop never ended";
            nanosleep(&pause, nullptr);
        }
        analyser->Stop();
        EXPECT_EQ(analyser->FramesSeen(), records.size());
    }

    // Straight into packet_handler from an exact-size copy, for the big generated floods.
    void Feed(const Bytes& f) {
        std::unique_ptr<unsigned char[]> exact(new unsigned char[f.size()]);
        std::memcpy(exact.get(), f.data(), f.size());
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        analyser->packet_handler(nullptr, &header, exact.get());
    }

    std::vector<std::string> Lines(int flags) const {
        std::vector<std::string> out;
        for (const auto& r : window.reports)
            if (r.flags == flags) out.push_back(r.label + "-" + r.address);
        return out;
    }

    void ExpectTablesInBounds() const {
        EXPECT_LE(analyser->Connections().Size(), size_t(CVideoStreamAnalyse::kMaxConnections));
        EXPECT_LE(analyser->Streams().size(), size_t(CVideoStreamUriAnalyse::kMaxStreams));
        EXPECT_LE(analyser->DecoderCount(), CVideoStreamUriAnalyse::kMaxDecoders);
    }

    std::vector<Record> RtmpPlay(const std::string& tcUrl, const std::string& name,
                                 size_t chunkSize = 4096, const Endpoint& client = kClient) {
        seedsession::ClientCommands c = seedsession::Commands(tcUrl, name, chunkSize);
        return {Whole(Frame(client, kRtmpServer, c.connect)),
                Whole(Frame(client, kRtmpServer, c.createStream)),
                Whole(Frame(client, kRtmpServer, c.play))};
    }

    std::string folder;
    RecordingWindow window;
    std::unique_ptr<CVideoStreamUriAnalyse> analyser;
};

using Texts = std::vector<std::string>;

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

TEST_F(Hostile, FramesCutAtEveryLengthEndCleanly) {
    seedsession::ClientCommands c = seedsession::Commands("rtmp://10.9.0.5/live", "cut");
    const std::vector<Bytes> wholes = {
        Frame(kClient, kRtmpServer, c.connect + c.createStream + c.play),
        Frame(kClient, kRtspServer, "PLAY rtsp://10.9.0.7/cut RTSP/1.0\r\nCSeq: 4\r\n\r\n"),
        Frame(kClient, kWebServer, "GET /cut.m3u8 HTTP/1.1\r\nHost: 10.9.0.6\r\n\r\n")};
    std::vector<Record> records;
    for (const Bytes& whole : wholes) {
        for (size_t n = 0; n < whole.size(); ++n) {
            records.push_back(
                {Bytes(whole.begin(), whole.begin() + n), static_cast<uint32_t>(whole.size())});
        }
    }
    AnalyseFile(records);
    // Only captured bytes are read: every address found is a prefix-complete one.
    for (const std::string& line : Lines(LOG_NETDATA)) {
        EXPECT_TRUE(line.rfind("RTMP-rtmp://10.9.0.5/live/", 0) == 0 ||
                    line == "RTSP-rtsp://10.9.0.7/cut" || line.rfind("HLS-http://10.9.0.6", 0) == 0)
            << line;
    }
    // RTMP names may come out cut short (the cut frames extend one another); the others only whole.
    const Texts streams = Lines(LOG_STREAM);
    EXPECT_NE(std::find(streams.begin(), streams.end(), "RTSP-rtsp://10.9.0.7/cut"), streams.end());
    EXPECT_NE(std::find(streams.begin(), streams.end(), "HLS-http://10.9.0.6/cut.m3u8"),
              streams.end());
    ExpectTablesInBounds();
}

TEST_F(Hostile, LyingIhlAndDataOffsetsAreNotThatLayer) {
    const std::string request = "GET /lie.flv HTTP/1.1\r\nHost: 10.9.0.6\r\n\r\n";
    std::vector<Record> records;
    for (int ihl = 0; ihl < 16; ++ihl) {
        Bytes f = Frame(kClient, kWebServer, request);
        f[14] = static_cast<unsigned char>(0x40 | ihl);
        records.push_back(Whole(f));
        // The same IHL on a frame cut just after the fixed header.
        records.push_back(Whole(Bytes(f.begin(), f.begin() + 34)));
    }
    for (int doff = 0; doff < 16; ++doff) {
        Bytes f = Frame(kClient, kRtspServer, "SETUP rtsp://10.9.0.7/lie RTSP/1.0\r\n");
        f[34 + 12] = static_cast<unsigned char>(doff << 4);
        records.push_back(Whole(f));
        records.push_back(Whole(Bytes(f.begin(), f.begin() + 54)));
    }
    AnalyseFile(records);
    // Only the true IHL (5) and true data offset (5) frames, and data offsets that still fit
    // around a readable request, can report; none reports a mangled address.
    for (const std::string& line : Lines(LOG_NETDATA)) {
        EXPECT_TRUE(line == "HLS-http://10.9.0.6/lie.flv" || line == "RTSP-rtsp://10.9.0.7/lie")
            << line;
    }
    EXPECT_FALSE(Lines(LOG_STREAM).empty());
}

TEST_F(Hostile, TotalLengthsBeyondOrBelowTheFrame) {
    std::vector<Record> records;
    for (int delta : {65535, 4000, 1, -1, -40, -60}) {
        FrameOptions o;
        o.totalLengthDelta = delta;
        o.padding = delta < 0 ? 32 : 0;
        records.push_back(
            Whole(Frame(kClient, kWebServer, "GET /t.ts HTTP/1.1\r\nHost: 10.9.0.6\r\n\r\n", o)));
    }
    // A total length of 0, as segmentation offload writes it.
    Bytes zero = Frame(kClient, kWebServer, "GET /z.ts HTTP/1.1\r\nHost: 10.9.0.6\r\n\r\n");
    zero[16] = zero[17] = 0;
    records.push_back(Whole(zero));
    AnalyseFile(records);
    // Beyond the frame: cut to it, the request reads whole. Short: the payload ends early.
    for (const std::string& line : Lines(LOG_NETDATA)) {
        EXPECT_TRUE(line == "HLS-http://10.9.0.6/t.ts" || line == "HLS-http://10.9.0.6/z.ts")
            << line;
    }
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"HLS-http://10.9.0.6/t.ts", "HLS-http://10.9.0.6/z.ts"}));
}

TEST_F(Hostile, RtmpMessageDeclaring65534BytesThatNeverCome) {
    std::vector<Record> records = RtmpPlay("rtmp://10.9.0.5/live", "big");
    std::string header = rtmpbytes::Chunked(6, 9, 1, std::string(1000, 'v'));
    header[4] = '\x00', header[5] = '\xff', header[6] = '\xfe';  // 65534 bytes declared
    records.push_back(Whole(Frame(kRtmpServer, kClient, seedsession::SetChunkSize(4096) + header)));
    // Then only small pieces, far fewer bytes than declared, until the capture ends.
    for (int i = 0; i < 40; ++i)
        records.push_back(Whole(Frame(kRtmpServer, kClient, seedsession::Filler(1000, i))));
    AnalyseFile(records);
    EXPECT_EQ(g_tags, 0);
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://10.9.0.5/live/big"}));
    EXPECT_EQ(analyser->DecoderCount(), 1u);
}

TEST_F(Hostile, AmfStringLengthsPastTheBuffer) {
    using rtmpbytes::Amf0Number;
    using rtmpbytes::Amf0Property;
    auto LongString = [](const std::string& s) {
        return std::string("\x02\xff\xff", 3) + s;  // 65535 declared
    };
    const std::string connect =
        rtmpbytes::Amf0String("connect") + Amf0Number(1) + std::string("\x03", 1) +
        Amf0Property("tcUrl", LongString("rtmp://10.9.0.5/amf")) +
        Amf0Property("audioCodecs", Amf0Number(3575)) + std::string("\x00\x00\x09", 3);
    const std::string create = rtmpbytes::CreateStreamBody();
    const std::string play =
        rtmpbytes::Amf0String("play") + Amf0Number(0) + std::string("\x05", 1) + LongString("name");
    std::vector<Record> records;
    records.push_back(Whole(Frame(kClient, kRtmpServer, rtmpbytes::Chunked(3, 20, 0, connect))));
    records.push_back(Whole(Frame(kClient, kRtmpServer, rtmpbytes::Chunked(3, 20, 0, create))));
    records.push_back(Whole(Frame(kClient, kRtmpServer, rtmpbytes::Chunked(8, 20, 1, play))));
    // Markers at the very end of a connection's bytes: "tcUrl" with nothing, or half a length.
    Endpoint other = kClient;
    for (const std::string& tail :
         {std::string("tcUrl"), std::string("tcUrl\x02", 6), std::string("tcUrl\x02\xff", 7)}) {
        other.port++;
        records.push_back(Whole(Frame(
            other, kRtmpServer, "connect audioCodecs " + create + "play\x05\x02\x00" + tail)));
        other.port++;
        records.push_back(
            Whole(Frame(other, kRtmpServer, "connect rtmp videoCodecs createStream play" + tail)));
    }
    AnalyseFile(records);
    const Texts streams = Lines(LOG_STREAM);
    ASSERT_FALSE(streams.empty());
    // The address comes from bytes that are there; it never runs past the collected ones.
    EXPECT_EQ(streams[0].rfind("RTMP-rtmp://10.9.0.5/amf", 0), 0u) << streams[0];
    for (const std::string& line : Lines(LOG_NETDATA))
        EXPECT_LT(line.size(), size_t(CVideoStreamAnalyse::kCollectLimit + 64)) << line;
}

TEST_F(Hostile, TcUrlWithStrayChunkBytes) {
    // 128-byte chunks: continuation headers land inside the tcUrl value, twice.
    const std::string url = "rtmp://10.9.0.5/live/" + std::string(200, 'k');
    std::vector<Record> records = RtmpPlay(url, "stray", 128);
    // A value whose every other byte is a chunk header, and a stray byte before the scheme.
    Endpoint second = kClient;
    second.port = 50200;
    std::string noisy;
    for (char ch : std::string("rtmp://10.9.0.5/noisy")) noisy += ch, noisy += '\xc4';
    const std::string body =
        rtmpbytes::Amf0String("connect") + rtmpbytes::Amf0Number(1) + std::string("\x03", 1) +
        rtmpbytes::Amf0Property("tcUrl", rtmpbytes::Amf0String("\xc3" + noisy)) +
        rtmpbytes::Amf0Property("videoCodecs", rtmpbytes::Amf0Number(252)) +
        std::string("\x00\x00\x09", 3);
    records.push_back(Whole(Frame(second, kRtmpServer, rtmpbytes::Chunked(3, 20, 0, body))));
    records.push_back(Whole(Frame(second, kRtmpServer,
                                  rtmpbytes::Chunked(3, 20, 0, rtmpbytes::CreateStreamBody()) +
                                      rtmpbytes::Chunked(8, 20, 1, rtmpbytes::PlayBody("x")))));
    AnalyseFile(records);
    const Texts streams = Lines(LOG_STREAM);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0], "RTMP-" + url + "/stray");
    // Chunk-header bytes never reach an address.
    for (const std::string& line : Lines(LOG_NETDATA)) {
        for (unsigned char ch : line) EXPECT_LT(ch, 0xC0) << line;
    }
    EXPECT_EQ(streams[1].rfind("RTMP-rtmp://10.9.0.5/", 0), 0u) << streams[1];
}

TEST_F(Hostile, RequestLinesOf64KiB) {
    std::vector<Record> records;
    // One frame as large as IPv4 allows, holding a request line of almost 64 KiB.
    const std::string path(65400, 'p');
    records.push_back(
        Whole(Frame(kClient, kWebServer, "GET /" + path + ".m3u8 HTTP/1.1\r\nHost: h\r\n\r\n")));
    // A 64 KiB RTSP request line over 45 segments of one connection.
    const std::string rtsp =
        "DESCRIBE rtsp://10.9.0.7/" + std::string(65536, 'r') + " RTSP/1.0\r\n";
    Endpoint c = kClient;
    c.port = 50300;
    for (size_t at = 0; at < rtsp.size(); at += 1460)
        records.push_back(Whole(Frame(c, kRtspServer, rtsp.substr(at, 1460))));
    // And a frame longer than the snapshot length, captured whole.
    Bytes jumbo = Frame(kClient, kWebServer, "GET /" + std::string(70000, 'j') + " HTTP/1.1\r\n");
    records.push_back(Whole(jumbo));
    AnalyseFile(records);
    for (const std::string& line : Lines(LOG_NETDATA))
        EXPECT_LE(line.size(), size_t(CVideoStreamAnalyse::kMaxFirstFrameBytes + 64));
    ExpectTablesInBounds();
}

TEST_F(Hostile, AMillionConnectionDirectionsStayBounded) {
    // Sanitizers make each frame many times slower; a quarter of a million still overflows
    // every table many times over.
    const int directions = kSanitized ? 250000 : 1000000;
    SetReportWindow(nullptr);  // a recording window would keep every report
    const long rssBefore = PeakRssKiB();
    Bytes frame;
    for (int i = 0; i < directions; ++i) {
        Endpoint c{{172, static_cast<uint8_t>(16 + (i >> 24)), static_cast<uint8_t>(i >> 16),
                    static_cast<uint8_t>(i >> 8)},
                   static_cast<uint16_t>(1024 + (i & 0xFF))};
        switch (i % 4) {
            case 0:  // a new HLS address each time: fills the stream table
                frame = Frame(c, kWebServer,
                              "GET /s" + std::to_string(i) + ".ts HTTP/1.1\r\nHost: h\r\n\r\n");
                break;
            case 1:  // an RTMP connect: a tracked connection, then server bytes: a decoder
                frame = Frame(c, kRtmpServer,
                              rtmpbytes::Chunked(3, 20, 0, rtmpbytes::ConnectBody("rtmp://h/a")));
                break;
            case 2:
                frame = Frame(kRtmpServer,
                              Endpoint{{172, static_cast<uint8_t>(16 + ((i - 1) >> 24)),
                                        static_cast<uint8_t>((i - 1) >> 16),
                                        static_cast<uint8_t>((i - 1) >> 8)},
                                       static_cast<uint16_t>(1024 + ((i - 1) & 0xFF))},
                              std::string("\x06\x00\x00\x00\x00\x10\x00\x09\x01\x00\x00\x00", 12) +
                                  std::string(600, 'm'));
                break;
            default:  // an RTSP request on a fresh direction
                frame = Frame(c, kRtspServer,
                              "OPTIONS rtsp://10.9.0.7/o" + std::to_string(i) + " RTSP/1.0\r\n");
                break;
        }
        Feed(frame);
        if (i % 100000 == 0) ExpectTablesInBounds();
    }
    ExpectTablesInBounds();
    EXPECT_EQ(analyser->Connections().Size(), size_t(CVideoStreamAnalyse::kMaxConnections));
    EXPECT_EQ(analyser->Streams().size(), size_t(CVideoStreamUriAnalyse::kMaxStreams));
    const long grownMiB = (PeakRssKiB() - rssBefore) / 1024;
    RecordProperty("peak_rss_growth_mib", static_cast<int>(grownMiB));
    std::printf("peak RSS grew by %ld MiB over %d directions\n", grownMiB, directions);
    // Full tables: 8192 connections of at most 4 KiB collected, 50000 stream records, 256
    // decoders. The sanitizer's quarantine and shadow memory come on top.
    if (!kSanitized) {
        EXPECT_LT(grownMiB, 256);
    }
}

// Segments that never make a stream whole: far ahead of the next byte, overlapping with other
// bytes, around the wrap of the sequence numbers, a whole window ahead. What waits behind the
// holes stays under the shared cap and is all given back once the capture ends.
TEST_F(Hostile, AMillionOutOfOrderSegmentsStayUnderTheReassemblyCap) {
    const int segments = kSanitized ? 200000 : 1000000;
    const int connections = 64;
    SetReportWindow(nullptr);
    std::vector<Endpoint> clients;
    for (int c = 0; c < connections; ++c) {
        clients.push_back(Endpoint{{192, 168, 9, static_cast<uint8_t>(c)}, 40000});
        // Each connect acknowledges a server position just below the wrap.
        testframes::NextSequence(kRtmpServer, clients.back()) = 0xFFFFF000u - 4096u * c;
        for (const Record& r :
             RtmpPlay("rtmp://10.9.0.5/flood", "c" + std::to_string(c), 4096, clients.back()))
            Feed(r.bytes);
    }
    // Where each connection's server bytes go on from, moved by the jumps.
    std::vector<uint32_t> bases;
    for (int c = 0; c < connections; ++c) bases.push_back(0xFFFFF000u - 4096u * c);
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    const std::string payload(700, 'f');
    Bytes frame;
    for (int i = 0; i < segments; ++i) {
        const size_t c = next() % connections;
        const Endpoint& client = clients[c];
        uint32_t& base = bases[c];
        const size_t length = 100 + next() % 600;
        FrameOptions o;
        const uint32_t kind = next() % 1000;
        if (kind < 500) {  // ahead of a hole, inside the window
            o.seq = base + 1 + next() % (4u << 20);
        } else if (kind < 800) {  // overlapping held bytes with other contents
            o.seq = base + 1 + (next() % 64) * 350;
        } else if (kind < 998) {  // just behind: already delivered, or a duplicate
            o.seq = base - next() % 2048;
        } else {  // a whole window ahead: the direction moves on
            o.seq = base + 0x40000000u;
            base = static_cast<uint32_t>(o.seq) + static_cast<uint32_t>(length);
        }
        Feed(Frame(kRtmpServer, client, payload.substr(0, length), o));
        if (i % 100000 == 0) {
            ASSERT_LE(analyser->ReassemblyMemory().Used(), analyser->ReassemblyMemory().Cap());
            ExpectTablesInBounds();
        }
    }
    const FlowMemory& memory = analyser->ReassemblyMemory();
    EXPECT_LE(memory.Peak(), memory.Cap());
    RecordProperty("reassembly_peak_bytes", static_cast<int>(memory.Peak()));
    std::printf("reassembly memory peak %zu of %zu bytes over %d segments\n", memory.Peak(),
                memory.Cap(), segments);
    analyser->OnCaptureEnd();
    EXPECT_EQ(memory.Used(), 0u);
}

// Thousands of TLS sessions, each with a key log to be read with, whose clients send record
// after record while no server ever answers: every session holds what it cannot read yet, and
// together they stay within the follower's bound, the sessions unused longest giving way.
TEST_F(Hostile, TlsSessionsWaitingForTheirServersStayWithinTheirBound) {
    analyser->SetTlsKeyLog(std::unique_ptr<KeyLog>(new KeyLog()));
    auto u16 = [](size_t v) {
        return std::string{static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    auto u24 = [&](size_t v) { return std::string(1, static_cast<char>(v >> 16)) + u16(v); };
    const std::string helloBody = u16(0x0303) + std::string(32, 'R') + std::string(1, '\0') +
                                  u16(2) + u16(0x1301) + std::string{1, 0} + u16(0);
    const std::string handshake = std::string(1, 1) + u24(helloBody.size()) + helloBody;
    const std::string hello = std::string(1, 22) + u16(0x0301) + u16(handshake.size()) + handshake;
    const std::string record =
        std::string(1, 23) + u16(0x0303) + u16(1400) + std::string(1400, 'x');
    const Endpoint server{{10, 9, 0, 1}, 443};
    size_t most = 0;
    const int kSessions = 1500;
    for (int i = 0; i < kSessions; ++i) {
        const Endpoint client{{10, 8, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                              50000};
        testframes::FrameOptions o;
        o.seq = 1000;
        Feed(Frame(client, server, hello, o));
        // 128 records wait for the ServerHello that would say how to read them.
        std::string burst;
        for (int r = 0; r < 10; ++r) burst += record;
        for (int k = 0; k < 13; ++k) Feed(Frame(client, server, burst));
        most = std::max(most, analyser->Tls().HeldBytes());
    }
    EXPECT_GT(analyser->Tls().Seen(), static_cast<uint64_t>(kSessions - 1));
    // One session's worth over the bound at most, while it is being counted.
    EXPECT_LE(most, TlsFollow::kHeldCap + (TlsConnection::kMaxBacklog + (1u << 20)));
    EXPECT_GT(most, TlsFollow::kHeldCap / 2);  // the bound, not the sessions' own, held them
    EXPECT_TRUE(Lines(LOG_STREAM).empty());
}

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestFrames.h"
#include "netunpack/NetUnpack.h"

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;
using testframes::FrameOptions;

namespace {
const Endpoint kClient{{192, 168, 1, 5}, 50000};
const Endpoint kServer{{10, 0, 0, 7}, 1935};

// The frame is copied into a block of exactly its size, so over-reads are caught.
struct ExactFrame {
    explicit ExactFrame(const Bytes& b)
        : size(static_cast<int>(b.size())), bytes(new unsigned char[b.size()]) {
        if (!b.empty()) std::memcpy(bytes.get(), b.data(), b.size());
    }
    int size;
    std::unique_ptr<unsigned char[]> bytes;
};

StreamType ClassifyPayload(const std::string& payload) {
    ExactFrame f(Frame(kClient, kServer, payload));
    CTCPNetUnpack u;
    u.SetData(f.bytes.get(), f.size, 0);
    return u.GetStreamType();
}
}  // namespace

TEST(ZMemory, AppendGrowsAndIgnoresNothing) {
    CZMemory m;
    EXPECT_EQ(m.AppendData("abc", 0), 0);
    EXPECT_EQ(m.AppendData(nullptr, 3), 0);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.AppendData("abc", 3), 1);
    EXPECT_EQ(m.AppendData("de", 2), 1);
    ASSERT_EQ(m.length, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data), 5), "abcde");
    m.Consume(2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data), 3), "cde");
    m.Release();
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.length, 0);
}

// Growth through the small blocks and past them keeps every byte; kept blocks come back clean
// of the old contents' length; Assign may take the buffer's own bytes.
TEST(ZMemory, GrowthAcrossBlockSizesKeepsTheBytes) {
    std::string want;
    CZMemory m;
    for (int i = 0; i < 300; ++i) {
        const std::string piece(static_cast<size_t>(1 + (i * 37) % 97),
                                static_cast<char>('a' + i % 26));
        ASSERT_EQ(m.AppendData(piece.data(), static_cast<int>(piece.size())), 1);
        want += piece;
        ASSERT_EQ(m.length, static_cast<int>(want.size()));
        ASSERT_GE(m.capacity, m.length);
    }
    EXPECT_GT(m.length, int(CZMemory::kSmallBlock));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data), static_cast<size_t>(m.length)), want);
    EXPECT_EQ(m.Assign(m.data + 10, 20), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.data), 20), want.substr(10, 20));
    m.Release();
    EXPECT_EQ(m.capacity, 0);
    for (int round = 0; round < 3; ++round) {
        CZMemory again;
        ASSERT_EQ(again.AppendData("xyz", 3), 1);
        EXPECT_EQ(again.length, 3);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(again.data), 3), "xyz");
    }
}

// Captures run one after another, each on a thread of its own, and their blocks are often given
// back on another thread (the window's, closing the analyser). Whatever thread gives a block
// back, and even once that thread has ended, the next capture takes it again: the pool holds
// what one capture held at most, however many captures ran.
TEST(BlockPool, BlocksComeBackAcrossThreadsAndCapturesAndStayApart) {
    if (!STREVIX_POOL_BLOCKS) GTEST_SKIP() << "sanitizer builds take blocks from the heap";
    const size_t kCount = 3 * BlockPool::kMaxKept + 17;  // past what one thread keeps
    std::set<uintptr_t> seen;
    for (int capture = 0; capture < 6; ++capture) {
        std::vector<void*> taken;
        std::thread analysis([&] {
            for (size_t i = 0; i < kCount; ++i) {
                const size_t size = i % 3 == 0 ? 392 : i % 3 == 1 ? 2048 : 4096;
                auto* p = static_cast<unsigned char*>(BlockPool::Take(size));
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
                std::memset(p, capture, size);  // every byte of it is ours
                taken.push_back(p);
            }
        });
        analysis.join();
        // Distinct blocks: no two overlap while taken.
        std::set<uintptr_t> now;
        for (size_t i = 0; i < taken.size(); ++i) {
            const size_t size = i % 3 == 0 ? 392 : i % 3 == 1 ? 2048 : 4096;
            auto* p = static_cast<unsigned char*>(taken[i]);
            EXPECT_EQ(p[0], capture);
            EXPECT_EQ(p[size - 1], capture);
            now.insert(reinterpret_cast<uintptr_t>(p));
        }
        EXPECT_EQ(now.size(), taken.size());
        if (capture > 0) {
            size_t fresh = 0;
            for (uintptr_t p : now) fresh += seen.count(p) == 0 ? 1 : 0;
            EXPECT_EQ(fresh, 0u) << "capture " << capture << " took new memory";
        }
        seen.insert(now.begin(), now.end());
        // Given back on another thread, which ends before the next capture.
        std::thread window([&] {
            for (size_t i = 0; i < taken.size(); ++i)
                BlockPool::Give(taken[i], i % 3 == 0 ? 392 : i % 3 == 1 ? 2048 : 4096);
        });
        window.join();
    }
    // Larger blocks are the heap's.
    void* large = BlockPool::Take(BlockPool::kLargest + 1);
    ASSERT_NE(large, nullptr);
    BlockPool::Give(large, BlockPool::kLargest + 1);
}

TEST(FindBytes, FirstByteExactRestFoldedAndEdges) {
    const std::string text = "xx rtMP RTMP end";
    auto* b = reinterpret_cast<const unsigned char*>(text.data());
    int n = static_cast<int>(text.size());
    EXPECT_EQ(FindBytes(b, n, "rtmp", false), b + 3);
    EXPECT_EQ(FindBytes(b, n, "rtmp", true), nullptr);
    EXPECT_EQ(FindBytes(b + 7, n - 7, "rtmp", false), nullptr);  // "RTMP": first byte differs
    EXPECT_EQ(FindBytes(b, n, "end", true), b + n - 3);          // ends at the last byte
    EXPECT_EQ(FindBytes(b, 2, "xxx", true), nullptr);            // longer than the buffer
    EXPECT_EQ(FindBytes(b, n, "", true), nullptr);
    EXPECT_EQ(FindBytes(nullptr, n, "x", true), nullptr);
    EXPECT_EQ(FindBytes(b, 0, "x", true), nullptr);
}

TEST(NetUnpack, CopyFlagOnlyCopiesRealBytes) {
    Bytes f = Frame(kClient, kServer, "hello");
    CTCPNetUnpack viewed;
    viewed.SetData(f.data(), 0, 1);
    EXPECT_EQ(viewed.FrameData(), f.data());
    CTCPNetUnpack copied;
    copied.SetData(f.data(), static_cast<int>(f.size()), 1);
    EXPECT_NE(copied.FrameData(), f.data());
    EXPECT_EQ(std::memcmp(copied.FrameData(), f.data(), f.size()), 0);
    ASSERT_NE(copied.TCPHeader(), nullptr);
    EXPECT_EQ(copied.PayloadLen(), 5);
}

TEST(NetUnpack, HeaderOffsetsWithOptions) {
    FrameOptions o;
    o.ihl = 6;
    o.dataOffset = 8;
    ExactFrame f(Frame(kClient, kServer, "payload-bytes", o));
    const unsigned char seqAckFlags[] = {0x89, 0xab, 0xcd, 0xef, 0x01, 0x02, 0x03, 0x04};
    std::memcpy(f.bytes.get() + 14 + 24 + 4, seqAckFlags, sizeof(seqAckFlags));
    f.bytes[14 + 24 + 13] = 0x18;  // PSH ACK
    CTCPNetUnpack u;
    u.SetData(f.bytes.get(), f.size, 0);
    EXPECT_EQ(u.SequenceNumber(), 0x89abcdefu);
    EXPECT_EQ(u.AcknowledgementNumber(), 0x01020304u);
    EXPECT_EQ(u.TcpFlags(), 0x18);
    ASSERT_NE(u.IPHeader(), nullptr);
    EXPECT_EQ(u.IPHeader(), f.bytes.get() + 14);
    ASSERT_NE(u.TCPHeader(), nullptr);
    EXPECT_EQ(u.TCPHeader(), u.IPHeader() + 24);
    EXPECT_EQ(u.Payload(), u.TCPHeader() + 32);
    EXPECT_EQ(u.PayloadLen(), 13);
    EXPECT_EQ(u.GetDataLen(), 32 + 13);
    EXPECT_EQ(u.SourcePort(), 50000);
    EXPECT_EQ(u.DestinationPort(), 1935);
    unsigned char a[16];
    u.DestinationAddress(a);
    EXPECT_EQ(a[0], 10);
    EXPECT_EQ(a[3], 7);
}

// A layout carried from another thread gives the very views of a parse; one that does not fit
// the bytes it comes with is not trusted.
TEST(NetUnpack, LaidOutDataMatchesAParseAndDistrustsALyingLayout) {
    FrameOptions o;
    o.ihl = 6;
    ExactFrame f(Frame(kClient, kServer, "GET /a HTTP/1.1\r\nHost: h\r\n\r\nbody", o));
    CTCPNetUnpack parsed;
    parsed.SetData(f.bytes.get(), f.size, 0);
    ASSERT_EQ(parsed.GetStreamType(), STREAM_HTTP);
    EXPECT_EQ(parsed.HttpHeaderPart(), 28);
    const FrameLayout layout = parsed.Layout();
    EXPECT_EQ(layout.httpHeaderPart, 28);

    CTCPNetUnpack laid;
    laid.SetLaidOutData(f.bytes.get(), f.size, layout);
    EXPECT_EQ(laid.TCPHeader(), parsed.TCPHeader());
    EXPECT_EQ(laid.Payload(), parsed.Payload());
    EXPECT_EQ(laid.PayloadLen(), parsed.PayloadLen());
    EXPECT_EQ(laid.IPTotalLen(), parsed.IPTotalLen());
    EXPECT_EQ(laid.GetStreamType(), STREAM_HTTP);
    EXPECT_EQ(laid.HttpHeaderPart(), 28);

    // The same layout with the frame cut after the TCP header: parsed afresh, no payload.
    const int cut = 14 + 24 + 20;
    ExactFrame shorter(Bytes(f.bytes.get(), f.bytes.get() + cut));
    laid.SetLaidOutData(shorter.bytes.get(), shorter.size, layout);
    ASSERT_NE(laid.TCPHeader(), nullptr);
    EXPECT_EQ(laid.PayloadLen(), 0);
    EXPECT_EQ(laid.Payload(), shorter.bytes.get() + cut);
    EXPECT_EQ(laid.GetStreamType(), STREAM_NONE);
    EXPECT_EQ(laid.Layout().ipTotalLen, 24 + 20);
}

TEST(NetUnpack, TrailerPaddingIsNotPayload) {
    FrameOptions o;
    o.padding = 6;
    ExactFrame f(Frame(kClient, kServer, "", o));
    CTCPNetUnpack u;
    u.SetData(f.bytes.get(), f.size, 0);
    ASSERT_NE(u.TCPHeader(), nullptr);
    EXPECT_EQ(u.PayloadLen(), 0);
}

TEST(NetUnpack, NonIPv4AndNonTcpFramesStopEarly) {
    FrameOptions vlan;
    vlan.etherType = 0x8100;
    ExactFrame v(Frame(kClient, kServer, "GET /a.m3u8 HTTP/1.1\r\n", vlan));
    CTCPNetUnpack u;
    u.SetData(v.bytes.get(), v.size, 0);
    EXPECT_NE(u.EthernetHeader(), nullptr);
    EXPECT_EQ(u.IPHeader(), nullptr);
    EXPECT_EQ(u.TCPHeader(), nullptr);
    EXPECT_EQ(u.GetDataLen(), 0);
    EXPECT_EQ(u.GetStreamType(), STREAM_NONE);

    FrameOptions udp;
    udp.protocol = 17;
    ExactFrame d(Frame(kClient, kServer, "GET /a.m3u8 HTTP/1.1\r\n", udp));
    CTCPNetUnpack w;
    w.SetData(d.bytes.get(), d.size, 0);
    EXPECT_NE(w.IPHeader(), nullptr);
    EXPECT_EQ(w.TCPHeader(), nullptr);
}

// Lying and truncated headers: every prefix of a frame, and headers announcing more than is
// there, must parse without reading past the captured bytes (the sanitizer run checks).
TEST(NetUnpack, TruncatedAndLyingFramesNeverReadPastTheEnd) {
    Bytes full = Frame(kClient, kServer, "GET /live/index.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n");
    for (size_t len = 0; len <= full.size(); ++len) {
        ExactFrame f(Bytes(full.begin(), full.begin() + static_cast<long>(len)));
        CTCPNetUnpack u;
        u.SetData(len ? f.bytes.get() : nullptr, f.size, 0);
        if (len < 14 + 20 + 20) {
            EXPECT_EQ(u.TCPHeader(), nullptr) << len;
        }
        if (u.TCPHeader() != nullptr) {
            EXPECT_LE(u.Payload() + u.PayloadLen(), f.bytes.get() + len);
        }
    }
    FrameOptions smallIhl;
    smallIhl.ihl = 4;
    ExactFrame a(Frame(kClient, kServer, "x", smallIhl));
    CTCPNetUnpack ua;
    ua.SetData(a.bytes.get(), a.size, 0);
    EXPECT_EQ(ua.IPHeader(), nullptr);

    FrameOptions smallOffset;
    smallOffset.dataOffset = 4;
    ExactFrame b(Frame(kClient, kServer, "x", smallOffset));
    CTCPNetUnpack ub;
    ub.SetData(b.bytes.get(), b.size, 0);
    EXPECT_NE(ub.IPHeader(), nullptr);
    EXPECT_EQ(ub.TCPHeader(), nullptr);

    // Data offset 15 on a frame with 20 TCP bytes: the header is not all there.
    Bytes bigOffset = Frame(kClient, kServer, "");
    bigOffset[14 + 20 + 12] = 0xF0;
    ExactFrame c(bigOffset);
    CTCPNetUnpack uc;
    uc.SetData(c.bytes.get(), c.size, 0);
    EXPECT_EQ(uc.TCPHeader(), nullptr);

    // A total length beyond the frame: the payload is cut to what was captured.
    FrameOptions longTotal;
    longTotal.totalLengthDelta = 5000;
    ExactFrame d(Frame(kClient, kServer, "GET /x.m3u8 HTTP/1.1", longTotal));
    CTCPNetUnpack ud;
    ud.SetData(d.bytes.get(), d.size, 0);
    ASSERT_NE(ud.TCPHeader(), nullptr);
    EXPECT_EQ(ud.PayloadLen(), 20);
    EXPECT_EQ(ud.GetStreamType(), STREAM_HLS);

    // A total length shorter than the headers: no payload.
    FrameOptions shortTotal;
    shortTotal.totalLengthDelta = -30;
    ExactFrame e(Frame(kClient, kServer, "GET /x.m3u8 HTTP/1.1", shortTotal));
    CTCPNetUnpack ue;
    ue.SetData(e.bytes.get(), e.size, 0);
    EXPECT_EQ(ue.PayloadLen(), 0);
    EXPECT_EQ(ue.GetStreamType(), STREAM_NONE);
}

TEST(Classify, RequestLinesAndResponses) {
    EXPECT_EQ(ClassifyPayload("GET /live/index.m3u8 HTTP/1.1\r\nHost: a\r\n\r\n"), STREAM_HLS);
    EXPECT_EQ(ClassifyPayload("GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n"), STREAM_HTTP);
    EXPECT_EQ(ClassifyPayload("GET /x.tsx HTTP/1.1\r\n\r\n"), STREAM_HLS);
    EXPECT_EQ(ClassifyPayload("POST /v.mp4?x=1 HTTP/1.0\r\n\r\n"), STREAM_HLS);
    EXPECT_EQ(ClassifyPayload("GET /a HTTP/1.1\r\nReferer: http://h/p.m3u8\r\n\r\n"), STREAM_HTTP);
    EXPECT_EQ(ClassifyPayload("HTTP/1.1 200 OK\r\n\r\n<a href=\"v.flv\">"), STREAM_HTTP);
    EXPECT_EQ(ClassifyPayload("DESCRIBE rtsp://10.0.0.2:554/stream RTSP/1.0\r\nCSeq: 2\r\n\r\n"),
              STREAM_RTSP);
    EXPECT_EQ(ClassifyPayload("GET /a.m3u8 RTSP/1.0 HTTP/1.1"), STREAM_HLS);  // HTTP/ first
    EXPECT_EQ(ClassifyPayload("GET /a.m3u8 http/1.1\r\n"), STREAM_NONE);
    EXPECT_EQ(ClassifyPayload(""), STREAM_NONE);
}

TEST(Classify, RtmpConnectNeedsAddressAndCodecWords) {
    std::string connect(
        "\x03\x00\x00\x00\x00\x00\x80\x14\x00\x00\x00\x00\x02\x00\x07"
        "connect",
        22);
    EXPECT_EQ(ClassifyPayload(connect + "..tcUrl..rtmp://h/live..audioCodecs"), STREAM_RTMP);
    EXPECT_EQ(ClassifyPayload(connect + "..rtmp://h/live..videoCodecs"), STREAM_RTMP);
    EXPECT_EQ(ClassifyPayload(connect + "..tcUrl..rtmp://h/live.."), STREAM_NONE);
    EXPECT_EQ(ClassifyPayload("connect audioCodecs"), STREAM_NONE);
}

TEST(PayloadUnpackers, PayloadPointerOnlyForTheirType) {
    ExactFrame rtsp(Frame(kClient, kServer, "DESCRIBE rtsp://h/s RTSP/1.0\r\n\r\n"));
    CRTSPNetUnpack r;
    r.SetData(rtsp.bytes.get(), rtsp.size, 0);
    EXPECT_EQ(r.GetStreamType(), STREAM_RTSP);
    EXPECT_EQ(r.GetData(), nullptr);
    EXPECT_EQ(r.GetDataLen(), 0);

    ExactFrame hls(Frame(kClient, kServer, "GET /a.m3u8 HTTP/1.1\r\n\r\n"));
    CHTTPNetUnpack h;
    h.SetData(hls.bytes.get(), hls.size, 0);
    EXPECT_EQ(h.GetData(), nullptr);

    ExactFrame page(Frame(kClient, kServer, "GET /a HTTP/1.1\r\n\r\n"));
    CHTTPNetUnpack p;
    p.SetData(page.bytes.get(), page.size, 0);
    EXPECT_EQ(p.GetData(), p.Payload());
    EXPECT_EQ(p.GetDataLen(), 19);

    EXPECT_EQ(p.AppendData(page.bytes.get(), page.size, 1), 1);
    EXPECT_EQ(p.AppendData("more", 4, 0), 1);
    EXPECT_EQ(p.GetAppendedLen(), page.size + 4);
    EXPECT_EQ(p.AppendData("x", 1, 1), 1);
    EXPECT_EQ(p.GetAppendedLen(), 1);
    p.Reset();
    EXPECT_EQ(p.GetAppendedData(), nullptr);
    EXPECT_EQ(p.GetData(), nullptr);
}

#include "netunpack/ByteScan.h"

// The vector scan must find a marker at every offset of every buffer length, and never read past
// the end (exact-size buffers, checked by the sanitizer run).
TEST(ByteScan, MarkersAtEveryOffsetAndLength) {
    for (int length : {0, 5, 15, 16, 17, 31, 32, 33, 63, 64, 65, 97, 127, 128, 129, 130, 1448}) {
        std::unique_ptr<unsigned char[]> b(new unsigned char[length ? length : 1]);
        std::memset(b.get(), 'c', length ? length : 1);
        PayloadMarkers none = ScanPayloadMarkers(b.get(), length);
        EXPECT_EQ(none.http, nullptr);
        EXPECT_FALSE(none.rtsp);
        for (int at = 0; at + 5 <= length; ++at) {
            std::memcpy(b.get() + at, "HTTP/", 5);
            EXPECT_EQ(ScanPayloadMarkers(b.get(), length).http, b.get() + at)
                << length << " " << at;
            EXPECT_EQ(ScanPayloadMarkersPortable(b.get(), length).http, b.get() + at);
            std::memcpy(b.get() + at, "RTSP/", 5);
            EXPECT_TRUE(ScanPayloadMarkers(b.get(), length).rtsp) << length << " " << at;
            EXPECT_TRUE(ScanPayloadMarkersPortable(b.get(), length).rtsp);
            std::memset(b.get() + at, 'c', 5);
        }
        for (int at = 0; at + 7 <= length; ++at) {
            std::memcpy(b.get() + at, "connect", 7);
            EXPECT_TRUE(ScanPayloadMarkers(b.get(), length).connect) << length << " " << at;
            EXPECT_TRUE(ScanPayloadMarkersPortable(b.get(), length).connect);
            std::memset(b.get() + at, 'c', 7);
        }
    }
}

inline const unsigned char* U(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

// Both pattern searches agree with a plain one at every offset and length, for patterns whose
// first byte fills the buffer (every position a candidate) and for near misses at the end.
TEST(ByteScan, PatternAtEveryOffsetAndLength) {
    auto plain = [](const unsigned char* b, size_t n,
                    const std::string& p) -> const unsigned char* {
        for (size_t i = 0; i + p.size() <= n; ++i)
            if (std::memcmp(b + i, p.data(), p.size()) == 0) return b + i;
        return nullptr;
    };
    for (const std::string& pattern : {std::string("\r\n\r\n"), std::string("GET"),
                                       std::string("xy"), std::string("createStream")}) {
        for (size_t length : {size_t(1),   size_t(2),   size_t(4),   size_t(15),  size_t(16),
                              size_t(17),  size_t(31),  size_t(32),  size_t(33),  size_t(47),
                              size_t(48),  size_t(63),  size_t(64),  size_t(65),  size_t(95),
                              size_t(127), size_t(128), size_t(129), size_t(140), size_t(300)}) {
            std::unique_ptr<unsigned char[]> b(new unsigned char[length]);
            // Filler made of the pattern's first byte: every position is a first-byte hit.
            std::memset(b.get(), pattern[0], length);
            EXPECT_EQ(FindPattern(b.get(), length, U(pattern), pattern.size()),
                      plain(b.get(), length, pattern));
            for (size_t at = 0; at + pattern.size() <= length; ++at) {
                std::memcpy(b.get() + at, pattern.data(), pattern.size());
                const unsigned char* want = plain(b.get(), length, pattern);
                EXPECT_EQ(FindPattern(b.get(), length, U(pattern), pattern.size()), want)
                    << pattern.size() << " " << length << " " << at;
                EXPECT_EQ(FindPatternPortable(b.get(), length, U(pattern), pattern.size()), want);
                // All but the last byte: no match at `at`.
                b[at + pattern.size() - 1] ^= 0x20;
                EXPECT_EQ(FindPattern(b.get(), length, U(pattern), pattern.size()),
                          plain(b.get(), length, pattern));
                std::memset(b.get() + at, pattern[0], pattern.size());
            }
        }
    }
}

TEST(GrowingSearch, ResumesWhereItStoppedAndFindsMatchesAcrossTheOldEnd) {
    const std::string text = "xxxxHoxxxxHost: a\r\n";
    const auto* b = U(text);
    GrowingSearch s;
    for (int n = 0; n <= static_cast<int>(text.size()); ++n) {
        int want = -1;
        const unsigned char* hit = FindBytes(b + 2, n - 2, "Host", true);
        if (n > 2 && hit != nullptr) want = static_cast<int>(hit - b);
        EXPECT_EQ(s.Find(b, n, 2, "Host", true), want) << n;
    }
    EXPECT_EQ(s.found, 10);
}

TEST(Classify, MarkersAtPayloadEdges) {
    EXPECT_EQ(ClassifyPayload("HTTP/"), STREAM_HTTP);
    EXPECT_EQ(ClassifyPayload("xRTSP/"), STREAM_RTSP);
    EXPECT_EQ(ClassifyPayload("TTP/ RTSP"), STREAM_NONE);
    EXPECT_EQ(ClassifyPayload(std::string(3000, 'c') + "RTSP/ then HTTP/"), STREAM_HTTP);
    EXPECT_EQ(ClassifyPayload("rtmp audioCodecs connec"), STREAM_NONE);
    EXPECT_EQ(ClassifyPayload("rtmp audioCodecs /connect"), STREAM_RTMP);
}

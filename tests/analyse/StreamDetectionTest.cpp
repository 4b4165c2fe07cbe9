#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RecordingWindow.h"
#include "RtmpBytes.h"
#include "TestFrames.h"
#include "analyse/StreamUriExtract.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "common/LogOut.h"

using namespace rtmpbytes;
using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;

namespace {

const Endpoint kClient{{192, 168, 1, 5}, 50000};
const Endpoint kServer{{10, 0, 0, 7}, 1935};

// Feeds frames straight into packet_handler, as the capture thread would, and records reports.
class Detection : public ::testing::Test {
  protected:
    void SetUp() override {
        SetReportWindow(&window);
        ResetReportCounters();
        SetSelectedStreamRow(-1);
        analyser.reset(new CVideoStreamUriAnalyse());
    }
    void TearDown() override {
        analyser.reset();
        SetReportWindow(nullptr);
    }
    void Feed(const Endpoint& from, const Endpoint& to, const std::string& payload) {
        Bytes f = Frame(from, to, payload);
        // An exact-size copy, so reads past the frame are seen by the sanitizer.
        std::unique_ptr<unsigned char[]> exact(new unsigned char[f.size()]);
        std::memcpy(exact.get(), f.data(), f.size());
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        analyser->packet_handler(nullptr, &header, exact.get());
    }
    std::vector<std::string> Lines(int flags) {
        std::vector<std::string> out;
        for (auto& r : window.reports)
            if (r.flags == flags) out.push_back(r.label + "-" + r.address);
        return out;
    }
    void RtmpSession(const Endpoint& c, const Endpoint& s, const std::string& tcUrl,
                     const std::string& name, size_t chunk = 4096) {
        Feed(c, s, Chunked(3, 0x14, 0, ConnectBody(tcUrl), chunk));
        Feed(c, s, Chunked(3, 0x14, 0, CreateStreamBody(), chunk));
        Feed(c, s, Chunked(8, 0x14, 1, PlayBody(name), chunk));
    }

    RecordingWindow window;
    std::unique_ptr<CVideoStreamUriAnalyse> analyser;
};

using Texts = std::vector<std::string>;

}  // namespace

TEST_F(Detection, RtmpConnectThenPlayIsOneStreamWithoutDefaultPort) {
    Feed(kClient, kServer, Chunked(3, 0x14, 0, ConnectBody("rtmp://host:1935/live")));
    EXPECT_TRUE(window.reports.empty());  // connect alone notifies nothing
    EXPECT_EQ(analyser->Connections().Size(), 1u);
    Feed(kClient, kServer, Chunked(3, 0x14, 0, CreateStreamBody()));
    EXPECT_TRUE(window.reports.empty());  // no play yet: nothing to report
    Feed(kClient, kServer, Chunked(8, 0x14, 1, PlayBody("stream1")));
    Feed(kClient, kServer, std::string("\x02\x00\x00\x00\x00\x00\x06\x04\x00\x00\x00\x00", 12));
    EXPECT_EQ(Lines(LOG_NETDATA),
              (Texts{"RTMP-rtmp://host/live/stream1", "RTMP-rtmp://host/live/stream1"}));
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/stream1"}));
    ASSERT_EQ(analyser->Streams().size(), 1u);
    const StreamRecord& r = analyser->Streams().begin()->second;
    EXPECT_EQ(r.clientIp, "19216815");
    EXPECT_EQ(r.serverIp, "10007");
    EXPECT_EQ(r.clientPort, 50000);
    EXPECT_EQ(r.serverPort, 1935);
    // The texts make the connection key of the client-to-server direction.
    EXPECT_EQ(
        r.clientIp + std::to_string(r.clientPort) + "-" + r.serverIp + std::to_string(r.serverPort),
        "1921681550000-100071935");
}

TEST_F(Detection, TcUrlSplitByChunkHeaderComesOutWhole) {
    const std::string tcUrl =
        "rtmp://rtmp19.example.tv/liveapplication/with/a/rather/long/path/"
        "that/crosses/the/chunk/boundary/of/one/hundred/twenty/eight";
    std::string connect = Chunked(3, 0x14, 0, ConnectBody(tcUrl), 128);
    ASSERT_NE(connect.find('\xC3'), std::string::npos);
    Feed(kClient, kServer, connect);
    Feed(kClient, kServer, Chunked(3, 0x14, 0, CreateStreamBody(), 128));
    Feed(kClient, kServer, Chunked(8, 0x14, 1, PlayBody("name"), 128));
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-" + tcUrl + "/name"}));
}

TEST_F(Detection, RtmpNameAndSchemeQuirks) {
    // A chunk byte inside the name is dropped; RTMP in capitals becomes rtmp.
    RtmpSession(kClient, kServer, "RTMP://h.example/app",
                std::string("ab\xC6"
                            "cd",
                            5));
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://h.example/app/abcd"}));
    // Only a whole ":1935" port is dropped.
    Endpoint other{{192, 168, 1, 5}, 50001};
    RtmpSession(other, kServer, "rtmp://h:19350/x", "s");
    EXPECT_EQ(Lines(LOG_STREAM).back(), "RTMP-rtmp://h:19350/x/s");
}

TEST_F(Detection, SameAddressOnSecondConnectionIsSightingOnly) {
    RtmpSession(kClient, kServer, "rtmp://host/live", "cam");
    Endpoint second{{192, 168, 1, 6}, 40000};
    RtmpSession(second, kServer, "rtmp://host/live", "cam");
    EXPECT_EQ(Lines(LOG_STREAM).size(), 1u);
    EXPECT_EQ(Lines(LOG_NETDATA).size(), 2u);
    EXPECT_EQ(analyser->Streams().begin()->second.clientIp, "19216815");
}

TEST_F(Detection, HlsAtOncePlainHttpOnlyWithLaterSegment) {
    Endpoint web{{10, 0, 0, 9}, 8080};
    Feed(kClient, web, "GET /live/index.m3u8 HTTP/1.1\r\nHost: 10.0.0.9:8080\r\n\r\n");
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"HLS-http://10.0.0.9:8080/live/index.m3u8"}));
    Endpoint c2{{192, 168, 1, 5}, 50002};
    Feed(c2, web, "GET /page.html HTTP/1.1\r\nHost: 10.0.0.9:8080\r\n\r\n");
    EXPECT_EQ(Lines(LOG_NETDATA).size(), 1u);
    Feed(c2, web, "");  // a pure acknowledgement changes nothing
    EXPECT_EQ(Lines(LOG_NETDATA).size(), 1u);
    Feed(c2, web, "body");
    EXPECT_EQ(Lines(LOG_NETDATA).back(), "HTTP-http://10.0.0.9:8080/page.html");
    EXPECT_EQ(Lines(LOG_STREAM).size(), 1u);  // plain HTTP is never a stream
    // The server's response starts its own entry.
    size_t before = analyser->Connections().Size();
    Feed(web, c2, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
    EXPECT_EQ(analyser->Connections().Size(), before + 1);
}

// A response names an address when a "Host" follows its version within the collected bytes: its
// collection only counts bytes until one comes, and finds it wherever the segments cut it, but
// not beyond the collection's 2048 bytes.
TEST_F(Detection, ResponseNamingAHostWhereverTheSegmentsCutIt) {
    Endpoint web{{10, 0, 0, 9}, 80};
    const std::string status = "HTTP/1.1 200 OK\r\nServer: t\r\n";
    const std::string rest = "X-Forwarded-Host: cdn.example\r\n\r\nbody";
    for (size_t cut = 0; cut <= rest.size(); ++cut) {
        window.reports.clear();
        Endpoint client{{192, 168, 1, 5}, static_cast<uint16_t>(40000 + cut)};
        Feed(web, client, status);
        if (cut > 0) Feed(web, client, rest.substr(0, cut));
        if (cut < rest.size()) Feed(web, client, rest.substr(cut));
        // Sighted after every segment that leaves the address whole.
        const size_t after = cut < rest.find("\r\n") + 2 ? 1u : 2u - (cut == rest.size());
        EXPECT_EQ(Lines(LOG_NETDATA), Texts(after, "HTTP-http://cdn.example")) << "cut at " << cut;
    }
    // The first frame, its 54 bytes of headers too, and the bytes after it count towards the
    // limit, held or not.
    for (int filler : {1900, 1964, 1965, 2100}) {
        window.reports.clear();
        Endpoint client{{192, 168, 1, 6}, static_cast<uint16_t>(41000 + filler)};
        Feed(web, client, status + std::string(static_cast<size_t>(filler), 'x'));
        Feed(web, client, "Host: late\r\n");
        const bool seen = 54 + status.size() + static_cast<size_t>(filler) < 2048;
        EXPECT_EQ(Lines(LOG_NETDATA).size(), seen ? 1u : 0u) << filler;
    }
}

TEST_F(Detection, HttpPathRulesAndDecoys) {
    Endpoint web{{10, 0, 0, 9}, 80};
    // The only method word lies after the version token: empty path.
    Feed(kClient, web, "XX /a.m3u8 HTTP/1.1\r\nHost: h\r\nX: GET\r\n\r\n");
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"HLS-http://h"}));
    Endpoint c2{{192, 168, 1, 5}, 50003};
    Feed(c2, web, "POST /upload HTTP/1.1\r\nHost: h\r\n\r\nplaylist=/x/index.m3u8");
    Feed(c2, web, "more");
    EXPECT_EQ(Lines(LOG_STREAM).size(), 1u);
    EXPECT_EQ(Lines(LOG_NETDATA).back(), "HTTP-http://h/upload");
}

TEST_F(Detection, RtspRequestsAreStreams) {
    Endpoint rtsp{{10, 0, 0, 2}, 554};
    Feed(kClient, rtsp, "DESCRIBE rtsp://10.0.0.2:554/stream RTSP/1.0\r\nCSeq: 2\r\n\r\n");
    Endpoint c2{{192, 168, 1, 5}, 50004};
    Feed(c2, rtsp, "OPTIONS rTSP://10.0.0.2/Upper RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    EXPECT_EQ(Lines(LOG_STREAM),
              (Texts{"RTSP-rtsp://10.0.0.2:554/stream", "RTSP-rTSP://10.0.0.2/Upper"}));
}

TEST_F(Detection, CollectionStopsAt2048Bytes) {
    Endpoint web{{10, 0, 0, 9}, 80};
    Feed(kClient, web, "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
    for (int i = 0; i < 5; ++i) Feed(kClient, web, std::string(1000, 'x'));
    size_t sightings = Lines(LOG_NETDATA).size();
    EXPECT_EQ(sightings, 2u);  // the third append brings the buffer past 2048
    Feed(kClient, web, "y");
    EXPECT_EQ(Lines(LOG_NETDATA).size(), sightings);
    // A finished HTTP collection leaves the table: it would only ever answer "over".
    EXPECT_EQ(analyser->Connections().Size(), 0u);
    // A new start segment starts over.
    Feed(kClient, web, "GET /again HTTP/1.1\r\nHost: h\r\n\r\n");
    Feed(kClient, web, "z");
    EXPECT_EQ(Lines(LOG_NETDATA).back(), "HTTP-http://h/again");
}

TEST_F(Detection, FinishedRtmpCollectionKeepsItsEntryForTheMedia) {
    Feed(kClient, kServer, Chunked(3, 0x14, 0, ConnectBody("rtmp://host/live")));
    Feed(kClient, kServer, Chunked(3, 0x14, 0, CreateStreamBody()));
    Feed(kClient, kServer, Chunked(8, 0x14, 1, PlayBody("cam")));
    for (int i = 0; i < 3; ++i) Feed(kClient, kServer, std::string(1000, 'a'));
    ASSERT_EQ(analyser->Connections().Size(), 1u);
    analyser->Connections().ForEach([](const ConnectionKey&, const TcpConnection& c) {
        auto& entry = *c.unpacker;
        EXPECT_GE(entry.GetAppendedLen(), int(CVideoStreamAnalyse::kCollectLimit));
        EXPECT_EQ(entry.GetAppendedData(), nullptr);  // the bytes are gone, the count stays
        EXPECT_EQ(entry.GetStreamType(), STREAM_RTMP);
    });
    Feed(kServer, kClient, "media");
    EXPECT_EQ(analyser->DecoderCount(), 1u);
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/cam"}));
}

// Whether media is decoded or not (the console records nothing, and its list is fixed), the
// server's segments keep their connection's entry in use: it outlives a flood.
TEST_F(Detection, ConnectionFloodStaysBoundedAndKeepsLiveRtmp) {
    for (bool fixedAndEmpty : {false, true}) {
        SCOPED_TRACE(fixedAndEmpty ? "nothing recorded, list fixed" : "list may change");
        analyser.reset(new CVideoStreamUriAnalyse());
        analyser->SetRecordingListFixed(fixedAndEmpty);
        window.reports.clear();
        Feed(kClient, kServer, Chunked(3, 0x14, 0, ConnectBody("rtmp://host/live")));
        const size_t cap = CVideoStreamAnalyse::kMaxConnections;
        for (size_t i = 0; i < cap + 500; ++i) {
            Endpoint c{{172, 16, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)},
                       static_cast<uint16_t>(1024 + i % 60000)};
            Feed(c, Endpoint{{10, 1, 1, 1}, 80}, "GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
            // The RTMP connection stays in use: the server keeps sending.
            if (i % 1000 == 0) Feed(kServer, kClient, "media");
        }
        EXPECT_LE(analyser->Connections().Size(), cap);
        Feed(kClient, kServer, Chunked(3, 0x14, 0, CreateStreamBody()));
        Feed(kClient, kServer, Chunked(8, 0x14, 1, PlayBody("kept")));
        EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/kept"}));
        // Media nothing can record is not decoded.
        EXPECT_EQ(analyser->DecoderCount(), fixedAndEmpty ? 0u : 1u);
    }
}

// From a file the acknowledgements are counted but not dispatched; what they sit between is
// found as ever.
TEST_F(Detection, FileCaptureCountsAcknowledgementsAndFindsWhatIsBetweenThem) {
    Endpoint web{{10, 0, 0, 9}, 80};
    std::vector<Bytes> frames;
    frames.push_back(Frame(kClient, web, "GET /page HTTP/1.1\r\nHost: h\r\n\r\n"));
    for (int i = 0; i < 50; ++i)
        frames.push_back(Frame(i % 2 ? web : kClient, i % 2 ? kClient : web, ""));
    frames.push_back(Frame(kClient, web, "body"));
    const std::string path = testframes::TempFolder("acks") + "/acks.pcap";
    ASSERT_TRUE(testframes::WritePcap(path, frames, 1));
    ASSERT_EQ(analyser->StartFromFile(path), 0);
    for (int i = 0; i < 500 && !analyser->LoopEnded(); ++i) usleep(10000);
    ASSERT_TRUE(analyser->LoopEnded());
    analyser->Stop();
    EXPECT_EQ(analyser->FramesSeen(), frames.size());
    EXPECT_EQ(Lines(LOG_NETDATA), (Texts{"HTTP-http://h/page"}));
}

// One RTMP and one HLS session, as capture files of every link layer the program reads: the
// same stream lines come out of each, and the endpoints of IPv6 connections never read as IPv4.
TEST_F(Detection, SameSessionsUnderEveryLinkLayerGiveTheSameLines) {
    struct Wrapping {
        const char* name;
        int link;
        std::vector<int> tags;
        bool ipv6;
    };
    const Wrapping wrappings[] = {
        {"ethernet", 1, {}, false},
        {"cooked", 113, {}, false},
        {"cooked v2", 276, {}, false},
        {"vlan", 1, {0x8100}, false},
        {"qinq", 1, {0x88A8, 0x8100}, false},
        {"ipv6", 1, {}, true},
        {"ipv6 in qinq, cooked v2", 276, {0x88A8, 0x8100}, true},
    };
    const Endpoint web{{10, 0, 0, 9}, 8080};
    const std::string folder = testframes::TempFolder("links");
    for (const Wrapping& w : wrappings) {
        TearDown();
        window.reports.clear();
        SetUp();
        testframes::FrameOptions o;
        o.link = w.link;
        o.vlanTags = w.tags;
        o.ipv6 = w.ipv6;
        if (w.ipv6) o.extensions = {{0, 8}, {60, 16}};
        std::vector<Bytes> frames;
        frames.push_back(
            Frame(kClient, kServer, Chunked(3, 0x14, 0, ConnectBody("rtmp://[::1]:1935/vod")), o));
        frames.push_back(Frame(kClient, kServer, Chunked(3, 0x14, 0, CreateStreamBody()), o));
        frames.push_back(Frame(kClient, kServer, Chunked(8, 0x14, 1, PlayBody("cam7")), o));
        frames.push_back(
            Frame(kClient, web, "GET /live/index.m3u8 HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", o));
        const std::string path = folder + "/" + std::to_string(w.link) + w.name + ".pcap";
        ASSERT_TRUE(testframes::WritePcap(path, frames, static_cast<uint32_t>(w.link)));
        ASSERT_EQ(analyser->StartFromFile(path), 0) << w.name;
        for (int i = 0; i < 500 && !analyser->LoopEnded(); ++i) usleep(10000);
        ASSERT_TRUE(analyser->LoopEnded()) << w.name;
        analyser->Stop();
        EXPECT_EQ(Lines(LOG_STREAM),
                  (Texts{"RTMP-rtmp://[::1]/vod/cam7", "HLS-http://[::1]:8080/live/index.m3u8"}))
            << w.name;
        ASSERT_EQ(analyser->Streams().size(), 2u) << w.name;
        for (const auto& entry : analyser->Streams()) {
            const StreamRecord& r = entry.second;
            EXPECT_EQ(r.clientPort, 50000) << w.name;
            if (w.ipv6) {
                EXPECT_EQ(r.clientIp, "v6-20010db80000000000000000c0a80105") << w.name;
                EXPECT_EQ(r.serverIp.substr(0, 27), "v6-20010db80000000000000000") << w.name;
            } else {
                EXPECT_EQ(r.clientIp, "19216815") << w.name;
            }
        }
    }
}

// The end-of-run line on TLS sessions not read: counts merged from several devices, each name
// once, and the hint at a key log only when keys were what was missing.
TEST(TlsUnread, SummarySaysWhyAndNamesEachOnce) {
    TlsUnread a, b, none;
    a.Add("a.example");
    a.Add("a.example");
    b.Add("b.example", true);
    EXPECT_EQ(none.Summary(), "");
    EXPECT_EQ(a.Summary(),
              "2 TLS sessions could not be read (no keys): a.example; give their key log with "
              "--tls-keylog");
    EXPECT_EQ(b.Summary(),
              "1 TLS session could not be read (a cipher suite not decrypted here): "
              "b.example");
    a.Merge(b);
    EXPECT_EQ(a.Summary(),
              "3 TLS sessions could not be read (2 no keys, 1 a cipher suite not decrypted here): "
              "a.example, b.example; give their key log with --tls-keylog");
}

// Detection and recording over connections as real networks deliver them: requests in several
// segments, segments reordered, repeated and lost, one address on several connections. Every
// scenario is compared with what the same session gives when it arrives clean.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RecordingWindow.h"
#include "RtmpBytes.h"
#include "SeedSession.h"
#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "common/LogOut.h"

using namespace rtmpbytes;
using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;

namespace {

const Endpoint kServer{{10, 0, 0, 7}, 1935};

// Tags the media callback received, per client port.
std::map<int, std::vector<std::string>> g_tags;

void CollectTag(const unsigned char* data, int length, const char*, int clientPort, const char*,
                int, const char*) {
    g_tags[clientPort].push_back(std::string(reinterpret_cast<const char*>(data), length));
}

struct Session {
    std::vector<Bytes> frames;  // in the order they were sent
    std::vector<bool> fromServer;
};

// One RTMP play: the connect (cut where `connectCut` says, 0 for one segment), createStream and
// play from the client, then the server's media in segments of `mss` bytes.
Session RtmpPlay(const Endpoint& client, const std::string& name, size_t connectCut = 0,
                 int frames = 12, size_t mss = 300) {
    Session s;
    auto add = [&s](const Endpoint& from, const Endpoint& to, const std::string& payload) {
        s.frames.push_back(Frame(from, to, payload));
        s.fromServer.push_back(from.port == kServer.port);
    };
    const std::string connect = Chunked(3, 0x14, 0, ConnectBody("rtmp://host/live"), 128);
    if (connectCut == 0) {
        add(client, kServer, connect);
    } else {
        add(client, kServer, connect.substr(0, connectCut));
        add(client, kServer, connect.substr(connectCut));
    }
    add(client, kServer, Chunked(3, 0x14, 0, CreateStreamBody()));
    add(client, kServer, Chunked(8, 0x14, 1, PlayBody(name)));
    for (const std::string& piece :
         seedsession::Segments(seedsession::ServerMedia(frames, 128), mss))
        add(kServer, client, piece);
    return s;
}

class FlowDetection : public ::testing::Test {
  protected:
    void SetUp() override {
        SetReportWindow(&window);
        ResetReportCounters();
        g_tags.clear();
        analyser.reset(new CVideoStreamUriAnalyse());
        analyser->SetStreamDataCallback(&CollectTag);
    }
    void TearDown() override {
        analyser.reset();
        SetReportWindow(nullptr);
    }
    void Feed(const Bytes& f, int64_t timeUs = 0) {
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        header.ts.tv_sec = static_cast<time_t>(timeUs / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(timeUs % 1000000);
        analyser->packet_handler(nullptr, &header, f.data());
    }
    std::vector<std::string> Lines(int flags) {
        std::vector<std::string> out;
        for (auto& r : window.reports)
            if (r.flags == flags) out.push_back(r.label + "-" + r.address);
        return out;
    }

    RecordingWindow window;
    std::unique_ptr<CVideoStreamUriAnalyse> analyser;
};

using Texts = std::vector<std::string>;

// What a clean delivery of the session gives: its stream lines and its tags.
struct Truth {
    Texts streams;
    std::vector<std::string> tags;
};

}  // namespace

// The connect command in two segments, as librtmp sends it: "connect" and the tcUrl in the
// first, a chunk header and the codec words in the second.
TEST_F(FlowDetection, ConnectInTwoSegmentsIsOneStream) {
    const std::string connect = Chunked(3, 0x14, 0, ConnectBody("rtmp://host/live"), 128);
    const size_t cut = connect.find("audioCodecs") - 4;
    const Endpoint client{{192, 168, 1, 5}, 50100};
    for (const Bytes& f : RtmpPlay(client, "cam", cut).frames) Feed(f);
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/cam"}));
    EXPECT_EQ(g_tags[client.port].size(), 2u + 2 * 12);  // both sequence headers, every frame
}

// Segments that only look like a connect never become a stream: no codec words ever come, or
// the words come in a request that is not RTMP.
TEST_F(FlowDetection, HalfConnectsAndDecoysGiveNothing) {
    const Endpoint a{{192, 168, 1, 5}, 50200}, b{{192, 168, 1, 5}, 50201};
    std::string connect = Chunked(3, 0x14, 0, ConnectBody("rtmp://host/live"), 128);
    connect = connect.substr(0, connect.find("audioCodecs"));
    Feed(Frame(a, kServer, connect));
    for (int i = 0; i < 3; ++i) Feed(Frame(a, kServer, std::string(1000, 'x')));
    Feed(Frame(a, kServer, Chunked(8, 0x14, 1, PlayBody("never"))));
    Feed(Frame(b, Endpoint{{10, 0, 0, 9}, 80},
               "POST /connect HTTP/1.1\r\nHost: h\r\n\r\nconnect tcUrl=rtmp://x/y"));
    Feed(Frame(b, Endpoint{{10, 0, 0, 9}, 80}, "audioCodecs videoCodecs play createStream"));
    EXPECT_EQ(Lines(LOG_STREAM), Texts{});
    // The half connect gave up at the collection limit; only the POST is still collecting.
    size_t rtmp = 0;
    analyser->Connections().ForEach(
        [&rtmp](const ConnectionKey&, const TcpConnection& c) { rtmp += c.type == STREAM_RTMP; });
    EXPECT_EQ(rtmp, 0u);
}

// The same session through a network that reorders, repeats and delays: the same stream line
// and exactly the tags of the clean delivery, in order, none twice.
TEST_F(FlowDetection, ReorderedAndRepeatedSegmentsGiveTheCleanResult) {
    const Endpoint client{{192, 168, 1, 5}, 50300};
    const Session s = RtmpPlay(client, "cam", 0, 16, 200);

    // The clean delivery.
    for (const Bytes& f : s.frames) Feed(f);
    const Truth truth{Lines(LOG_STREAM), g_tags[client.port]};
    ASSERT_EQ(truth.streams, (Texts{"RTMP-rtmp://host/live/cam"}));
    ASSERT_EQ(truth.tags.size(), 2u + 2 * 16);

    struct Case {
        const char* name;
        std::function<std::vector<size_t>(size_t)> order;  // indexes of the server segments
    };
    const std::vector<Case> cases = {
        {"pairs swapped",
         [](size_t n) {
             std::vector<size_t> o;
             for (size_t i = 0; i + 1 < n; i += 2) o.push_back(i + 1), o.push_back(i);
             if (n % 2) o.push_back(n - 1);
             return o;
         }},
        {"every third repeated",
         [](size_t n) {
             std::vector<size_t> o;
             for (size_t i = 0; i < n; ++i) {
                 o.push_back(i);
                 if (i % 3 == 0) o.push_back(i);
             }
             return o;
         }},
        {"one held back ten places, then sent again",
         [](size_t n) {
             std::vector<size_t> o;
             for (size_t i = 0; i < n; ++i) {
                 if (i == 4) continue;
                 o.push_back(i);
                 if (i == 14) o.push_back(4), o.push_back(4);
             }
             return o;
         }},
        {"reversed in windows of five",
         [](size_t n) {
             std::vector<size_t> o;
             for (size_t at = 0; at < n; at += 5)
                 for (size_t i = std::min(n, at + 5); i > at; --i) o.push_back(i - 1);
             return o;
         }},
    };
    for (const Case& c : cases) {
        window.reports.clear();
        SetUp();
        std::vector<const Bytes*> server;
        for (size_t i = 0; i < s.frames.size(); ++i) {
            if (!s.fromServer[i])
                Feed(s.frames[i]);
            else
                server.push_back(&s.frames[i]);
        }
        for (size_t i : c.order(server.size())) Feed(*server[i]);
        EXPECT_EQ(Lines(LOG_STREAM), truth.streams) << c.name;
        EXPECT_TRUE(g_tags[client.port] == truth.tags)
            << c.name << ": " << g_tags[client.port].size() << " tags";
    }
}

// Client segments out of order: the play overtakes createStream. The address is found once the
// hole is filled, not before and not twice.
TEST_F(FlowDetection, RequestBytesAreReadInSequenceOrder) {
    const Endpoint client{{192, 168, 1, 5}, 50400};
    const Session s = RtmpPlay(client, "late");
    Feed(s.frames[0]);  // connect
    Feed(s.frames[2]);  // play, ahead of a hole
    EXPECT_EQ(Lines(LOG_NETDATA), Texts{});
    Feed(s.frames[1]);  // createStream fills it
    Feed(s.frames[1]);  // and is sent again
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/late"}));
    EXPECT_EQ(Lines(LOG_NETDATA).size(), 1u);
}

// One recorded address played on two connections: each connection's media reaches the recorder
// under its own endpoints, whole.
TEST_F(FlowDetection, EveryConnectionOfAnAddressRecords) {
    const Endpoint first{{192, 168, 1, 5}, 50500}, second{{192, 168, 1, 5}, 50501};
    const Session a = RtmpPlay(first, "cam"), b = RtmpPlay(second, "cam");
    for (const Bytes& f : a.frames) Feed(f);
    for (const Bytes& f : b.frames) Feed(f);
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/cam"}));
    ASSERT_EQ(g_tags[first.port].size(), 2u + 2 * 12);
    EXPECT_TRUE(g_tags[second.port] == g_tags[first.port]);
}

// Server segments the capture never had: the decoder is told of the gap and goes on after it.
TEST_F(FlowDetection, LostServerSegmentsLeaveAGapAndTheRestFollows) {
    const Endpoint client{{192, 168, 1, 5}, 50600};
    const Session s = RtmpPlay(client, "cam", 0, 40, 250);
    std::vector<size_t> server;
    for (size_t i = 0; i < s.frames.size(); ++i)
        if (s.fromServer[i]) server.push_back(i);
    const size_t lost = server[server.size() / 2];
    for (size_t i = 0; i < s.frames.size(); ++i)
        if (i != lost) Feed(s.frames[i], static_cast<int64_t>(i) * 1000);
    // Held behind the hole until the capture ends, then delivered after a gap.
    analyser->OnCaptureEnd();
    EXPECT_EQ(analyser->ReassemblyMemory().Used(), 0u);
    EXPECT_GT(g_tags[client.port].size(), 2u + 2 * 20);
}

// An encoder publishing: its connect has no codec words, its publish names the stream, and the
// media it sends to the server is what a recording of that address holds.
TEST_F(FlowDetection, PublishIsAStreamAndItsMediaGoesToTheServer) {
    const Endpoint encoder{{192, 168, 1, 5}, 50700};
    const std::string connect =
        Amf0String("connect") + Amf0Number(1) + std::string("\x03", 1) +
        Amf0Property("app", Amf0String("live")) + Amf0Property("type", Amf0String("nonprivate")) +
        Amf0Property("tcUrl", Amf0String("rtmp://host:1935/live")) + std::string("\x00\x00\x09", 3);
    const std::string publish = Amf0String("publish") + Amf0Number(5) + std::string("\x05", 1) +
                                Amf0String("KEY") + Amf0String("live");
    const std::string media = seedsession::ServerMedia(12, 128);
    std::vector<Bytes> frames = {
        Frame(encoder, kServer, Chunked(3, 0x14, 0, connect)),
        Frame(encoder, kServer, Chunked(3, 0x14, 0, Amf0String("releaseStream") + Amf0Number(2))),
        Frame(encoder, kServer, Chunked(3, 0x14, 0, Amf0String("FCPublish") + Amf0Number(3))),
        Frame(encoder, kServer, Chunked(3, 0x14, 0, CreateStreamBody())),
        Frame(encoder, kServer, Chunked(4, 0x14, 1, publish))};
    for (const std::string& piece : seedsession::Segments(media, 700))
        frames.push_back(Frame(encoder, kServer, piece));
    for (const Bytes& f : frames) Feed(f);
    EXPECT_EQ(Lines(LOG_STREAM), (Texts{"RTMP-rtmp://host/live/KEY"}));
    EXPECT_EQ(g_tags[encoder.port].size(), 2u + 2 * 12);

    // The same session played back by a player gives the same tags.
    const Endpoint player{{192, 168, 1, 6}, 50701};
    for (const Bytes& f : RtmpPlay(player, "KEY", 0, 12, 700).frames) Feed(f);
    EXPECT_TRUE(g_tags[player.port] == g_tags[encoder.port]);
}

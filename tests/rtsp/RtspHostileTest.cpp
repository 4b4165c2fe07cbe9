// Hostile and damaged input for the RTSP follower and the depacketisers, as tables: what a
// sequence of packets or control bytes must give, in access units, and that memory stays bounded.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RtpPackets.h"
#include "rtsp/RtpDepacketise.h"
#include "rtsp/RtspSession.h"
#include "rtsp/Sdp.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Rtp(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload, uint8_t pt = 96) {
    return rtppackets::Packet(seq, ts, marker, payload, pt, 1);
}

struct Units : AccessUnitSink {
    std::vector<Bytes> units;
    std::vector<bool> keys;
    void OnAccessUnit(const AccessUnit& u) override {
        units.emplace_back(u.data, u.data + u.size);
        keys.push_back(u.key);
    }
};

SdpMedia H264() {
    SdpMedia m;
    m.kind = "video";
    m.payloadType = 96;
    m.encoding = "H264";
    m.clockRate = 90000;
    return m;
}

SdpMedia Aac() {
    SdpMedia m;
    m.kind = "audio";
    m.payloadType = 96;
    m.encoding = "MPEG4-GENERIC";
    m.clockRate = 44100;
    m.fmtp =
        "streamtype=5; mode=AAC-hbr; config=1208; sizelength=13; indexlength=3; "
        "indexdeltalength=3";
    return m;
}

const Bytes kIdr = {0x65, 0x88, 0x84, 0x00};    // IDR slice
const Bytes kSlice = {0x41, 0x9a, 0x02, 0x00};  // non-IDR slice
// FU-A pieces of an IDR slice: indicator (NRI 3, type 28), header S/E + type 5.
const Bytes kFuStart = {0x7c, 0x85, 0x11, 0x22};
const Bytes kFuMiddle = {0x7c, 0x05, 0x33};
const Bytes kFuEnd = {0x7c, 0x45, 0x44};
// STAP-A: SPS-like (type 7) and IDR.
const Bytes kStap = {0x78, 0x00, 0x02, 0x67, 0x42, 0x00, 0x04, 0x65, 0x88, 0x84, 0x00};

struct PacketCase {
    const char* name;
    SdpMedia media;
    int window;
    std::vector<Bytes> packets;
    std::vector<size_t> unitSizes;  // what comes out, in order
};

TEST(RtpDepacketise, PacketTables) {
    const Bytes annexIdr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
    const std::vector<PacketCase> cases = {
        {"single NAL units, one a picture",
         H264(),
         0,
         {Rtp(1, 0, true, kIdr), Rtp(2, 3000, true, kSlice)},
         {8, 8}},
        {"FU-A whole",
         H264(),
         0,
         {Rtp(1, 0, false, kFuStart), Rtp(2, 0, false, kFuMiddle), Rtp(3, 0, true, kFuEnd)},
         {4 + 1 + 2 + 1 + 1}},
        {"FU-A without its start: dropped, and no picture before the next key",
         H264(),
         0,
         {Rtp(1, 0, false, kFuMiddle), Rtp(2, 0, true, kFuEnd), Rtp(3, 3000, true, kSlice),
          Rtp(4, 6000, true, kIdr)},
         {8}},
        {"a lost middle fragment drops its picture only",
         H264(),
         0,
         {Rtp(1, 0, true, kIdr), Rtp(2, 3000, false, kFuStart), Rtp(4, 3000, true, kFuEnd),
          Rtp(5, 6000, true, kSlice), Rtp(6, 9000, true, kIdr), Rtp(7, 12000, true, kSlice)},
         {8, 8, 8}},
        {"STAP-A", H264(), 0, {Rtp(1, 0, true, kStap)}, {4 + 2 + 4 + 4}},
        {"STAP-A with a size past its end",
         H264(),
         0,
         {Rtp(1, 0, true, {0x78, 0x00, 0x40, 0x67}), Rtp(2, 3000, true, kIdr)},
         {8}},
        {"sequence numbers jumping back and forth",
         H264(),
         0,
         {Rtp(100, 0, true, kIdr), Rtp(40000, 3000, true, kSlice), Rtp(40001, 6000, true, kIdr),
          Rtp(39990, 9000, true, kIdr), Rtp(40002, 9000, true, kSlice)},
         {8, 8, 8}},
        {"reordered within the window comes out in order",
         H264(),
         8,
         {Rtp(1, 0, true, kIdr), Rtp(3, 6000, true, kSlice), Rtp(2, 3000, true, kSlice),
          Rtp(4, 9000, true, kSlice)},
         {8, 8, 8, 8}},
        {"a hole that never fills is a loss once the window is full",
         H264(),
         4,
         {Rtp(1, 0, true, kIdr), Rtp(3, 6000, true, kSlice), Rtp(4, 9000, true, kIdr),
          Rtp(5, 12000, true, kSlice)},
         {8, 8, 8}},
        {"every header bit set: not RTP", H264(), 0, {Bytes(64, 0xff), Rtp(1, 0, true, kIdr)}, {8}},
        {"padding longer than the packet",
         H264(),
         0,
         {{0xa0, 0xe0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0x65, 0xff}, Rtp(2, 0, true, kIdr)},
         {8}},
        {"another payload type on the track",
         H264(),
         0,
         {Rtp(1, 0, true, kIdr, 97), Rtp(2, 0, true, kIdr)},
         {8}},
        {"AAC: two frames in one packet",
         Aac(),
         0,
         {Rtp(1, 0, true, {0x00, 0x20, 0x00, 0x18, 0x00, 0x20, 1, 2, 3, 4, 5, 6, 7})},
         {3, 4}},
        {"AAC: header length past the packet",
         Aac(),
         0,
         {Rtp(1, 0, true, {0xff, 0xf0, 0x00, 0x18}),
          Rtp(2, 1024, true, {0x00, 0x10, 0x00, 0x10, 9, 9})},
         {2}},
        {"AAC: a frame in fragments, one lost",
         Aac(),
         0,
         {Rtp(1, 0, false, {0x00, 0x10, 0x00, 0x20, 1, 2}),
          Rtp(2, 0, true, {0x00, 0x10, 0x00, 0x20, 3, 4}),
          Rtp(3, 1024, false, {0x00, 0x10, 0x00, 0x20, 1, 2}),
          Rtp(5, 1024, true, {0x00, 0x10, 0x00, 0x20, 5, 6}),
          Rtp(6, 2048, true, {0x00, 0x10, 0x00, 0x08, 7})},
         {4, 1}},
    };
    for (const PacketCase& c : cases) {
        RtpTrack track(c.media, c.window);
        Units out;
        for (const Bytes& p : c.packets) track.Receive(p.data(), p.size(), out);
        track.Flush(out);
        std::vector<size_t> sizes;
        for (const Bytes& u : out.units) sizes.push_back(u.size());
        EXPECT_EQ(sizes, c.unitSizes) << c.name;
    }
    // The whole FU-A picture, byte for byte: start code, rebuilt header, the fragments' bytes.
    RtpTrack track(H264(), 0);
    Units out;
    for (const Bytes& p : {Rtp(1, 0, false, kFuStart), Rtp(2, 0, true, kFuEnd)})
        track.Receive(p.data(), p.size(), out);
    ASSERT_EQ(out.units.size(), 1u);
    EXPECT_EQ(out.units[0], (Bytes{0, 0, 0, 1, 0x65, 0x11, 0x22, 0x44}));
    (void)annexIdr;
}

// The control connection's bytes, in pieces as TCP may cut them.
struct Listener : RtspSessionListener {
    std::vector<std::pair<size_t, size_t>> units;  // track, size
    void OnAccessUnit(RtspSession&, size_t track, const AccessUnit& u) override {
        units.emplace_back(track, u.size);
    }
};

std::string Response(int cseq, const std::string& headers, const std::string& body,
                     long contentLength = -1) {
    return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers +
           "Content-Length: " +
           std::to_string(contentLength >= 0 ? contentLength : static_cast<long>(body.size())) +
           "\r\n\r\n" + body;
}

std::string Request(const char* method, const std::string& url, int cseq,
                    const std::string& headers = "") {
    return std::string(method) + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" +
           headers + "\r\n";
}

void Feed(RtspSession& s, bool server, const std::string& text, size_t piece = 7) {
    for (size_t at = 0; at < text.size(); at += piece) {
        const std::string part = text.substr(at, piece);
        const auto* b = reinterpret_cast<const unsigned char*>(part.data());
        server ? s.ServerBytes(b, part.size()) : s.ClientBytes(b, part.size());
    }
}

std::string Interleaved(int channel, const Bytes& rtp) {
    std::string f = {'$', static_cast<char>(channel), static_cast<char>(rtp.size() >> 8),
                     static_cast<char>(rtp.size())};
    return f + std::string(rtp.begin(), rtp.end());
}

const char* kSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=x\r\nt=0 0\r\na=control:*\r\n"
    "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IACpZUBQHsgA==,aM4G4g==\r\n"
    "a=control:stream=0\r\n"
    "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/44100/1\r\n"
    "a=fmtp:97 mode=AAC-hbr;config=1208;sizelength=13;indexlength=3;indexdeltalength=3\r\n"
    "a=control:stream=1\r\n";

// Sets up a session over TCP: video on channels 0-1, audio on 2-3.
void SetUpSession(RtspSession& s) {
    const std::string base = "rtsp://10.0.0.2:554/cam";
    Feed(s, false, Request("DESCRIBE", base, 2));
    Feed(s, true, Response(2, "Content-Base: " + base + "/\r\n", kSdp));
    Feed(s, false,
         Request("SETUP", base + "/stream=0", 3, "Transport: RTP/AVP/TCP;interleaved=0-1\r\n"));
    Feed(s, true,
         Response(3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: 1\r\n", ""));
    Feed(s, false,
         Request("SETUP", base + "/stream=1", 4, "Transport: RTP/AVP/TCP;interleaved=2-3\r\n"));
    Feed(s, true,
         Response(4, "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nSession: 1\r\n", ""));
    Feed(s, false, Request("PLAY", base + "/", 5));
    Feed(s, true, Response(5, "Session: 1\r\n", ""));
}

TEST(RtspSession, FollowsSetupAndRoutesFramesByChannel) {
    Listener l;
    RtspSession s(&l);
    SetUpSession(s);
    ASSERT_EQ(s.Tracks().size(), 2u);
    EXPECT_TRUE(s.Playing());
    EXPECT_EQ(s.Tracks()[1].rtpChannel, 2);
    EXPECT_EQ(s.Addresses(), (std::vector<std::string>{
                                 "rtsp://10.0.0.2:554/cam", "rtsp://10.0.0.2:554/cam/stream=0",
                                 "rtsp://10.0.0.2:554/cam/stream=1", "rtsp://10.0.0.2:554/cam/"}));
    ASSERT_TRUE(s.Tracks()[0].rtp->Depacketiser()->HasConfig());
    Feed(s, true,
         Interleaved(0, Rtp(1, 0, true, kIdr)) + Interleaved(1, Bytes(20, 0x81)) +
             Interleaved(2, Rtp(1, 0, true, {0x00, 0x10, 0x00, 0x10, 7, 7}, 97)) +
             Interleaved(0, Rtp(2, 3000, true, kSlice)),
         5);
    EXPECT_EQ(l.units, (std::vector<std::pair<size_t, size_t>>{{0, 8}, {1, 2}, {0, 8}}));
}

TEST(RtspSession, HostileControlBytes) {
    // Ten thousand media lines: sixteen tracks at most.
    {
        std::string sdp = "v=0\r\n";
        for (int i = 0; i < 10000; ++i) sdp += "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n";
        SdpDescription d;
        EXPECT_TRUE(ParseSdp(sdp.data(), sdp.size(), &d));
        EXPECT_EQ(d.media.size(), kMaxSdpMedia);
        Listener l;
        RtspSession s(&l);
        Feed(s, false, Request("DESCRIBE", "rtsp://h/x", 1));
        Feed(s, true, Response(1, "", sdp.substr(0, RtspSession::kMaxBody)), 1400);
        EXPECT_LE(s.Tracks().size(), kMaxSdpMedia);
    }
    // A body length past any bound: not a message; what follows is still found.
    {
        Listener l;
        RtspSession s(&l);
        Feed(s, false, Request("DESCRIBE", "rtsp://h/x", 1));
        Feed(s, true, Response(1, "", kSdp, 999999999));
        EXPECT_TRUE(s.Tracks().empty());
        Feed(s, false, Request("DESCRIBE", "rtsp://h/x", 2));
        Feed(s, true, Response(2, "", kSdp));
        EXPECT_EQ(s.Tracks().size(), 2u);
    }
    // A body shorter than it says swallows what follows, within the bound, and no more.
    {
        Listener l;
        RtspSession s(&l);
        SetUpSession(s);
        Feed(s, true, Response(9, "", "short", 60000));
        Feed(s, true, Interleaved(0, Rtp(1, 0, true, kIdr)));
        EXPECT_TRUE(l.units.empty());
        Feed(s, true, std::string(60000, 'x'));
        Feed(s, true, Interleaved(0, Rtp(2, 3000, true, kIdr)));
        EXPECT_EQ(l.units.size(), 1u);
    }
    // A frame longer than what came, then the connection loses bytes: the frame is dropped and
    // the next whole frames are found again.
    {
        Listener l;
        RtspSession s(&l);
        SetUpSession(s);
        Feed(s, true, std::string("$\x00\xff\xff", 4) + "abc");
        s.ServerGap();
        Feed(s, true,
             "garbage$\x07" + Interleaved(0, Rtp(5, 9000, true, kIdr)) +
                 Interleaved(0, Rtp(6, 12000, true, kSlice)));
        EXPECT_EQ(l.units.size(), 2u);
    }
    // Junk without end, a header that never ends: bounded, and nothing comes of it.
    {
        Listener l;
        RtspSession s(&l);
        SetUpSession(s);
        Feed(s, true, "RTSP/1.0 200 OK\r\n" + std::string(200000, 'A'), 1400);
        Feed(s, false, std::string(300000, '\0'), 1400);
        Feed(s, true,
             Interleaved(0, Rtp(1, 0, true, kIdr)) + Interleaved(0, Rtp(2, 1, true, kIdr)));
        EXPECT_GE(l.units.size(), 1u);
    }
}

TEST(RtspSession, UdpPortsFromSetup) {
    Listener l;
    RtspSession s(&l);
    Feed(s, false, Request("DESCRIBE", "rtsp://h/x", 1));
    Feed(s, true, Response(1, "", kSdp));
    Feed(s, false, Request("SETUP", "rtsp://h/x/stream=0", 2));
    Feed(s, true,
         Response(2, "Transport: RTP/AVP;unicast;client_port=5000-5001;server_port=6000-6001\r\n",
                  ""));
    ASSERT_TRUE(s.HasUdp());
    const Bytes p = Rtp(1, 0, true, kIdr);
    EXPECT_FALSE(s.Datagram(6000, 5002, p.data(), p.size()));
    EXPECT_TRUE(s.Datagram(6000, 5000, p.data(), p.size()));
    s.Flush();
    EXPECT_EQ(l.units.size(), 1u);
}

}  // namespace

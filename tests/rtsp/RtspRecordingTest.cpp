// A recording asked for while an RTSP session already plays: the capture goes through the
// analyser frame by frame, the request comes halfway, and the file must start at the next key
// picture and hold from there exactly the client's access units, to the end.

#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RtpPackets.h"
#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "decoder/FlvWriter.h"

namespace {

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

// Calls f(line, unit) for each framemd5 line of stream `stream`, `unit` its "size hash", until
// f returns false.
template <class F>
void EachUnit(const std::string& framemd5, char stream, F f) {
    size_t at = 0;
    while (at < framemd5.size()) {
        size_t end = framemd5.find('\n', at);
        if (end == std::string::npos) end = framemd5.size();
        const std::string line = framemd5.substr(at, end - at);
        at = end + 1;
        if (line.size() < 2 || line[0] != stream || line[1] != ',') continue;
        const size_t hash = line.rfind(',');
        const size_t size = line.rfind(',', hash - 1);
        if (!f(line, line.substr(size + 1))) return;
    }
}

// "size hash" of each unit of stream `stream`, from framemd5 lines.
std::vector<std::string> Units(const std::string& framemd5, char stream) {
    std::vector<std::string> units;
    EachUnit(framemd5, stream, [&](const std::string&, const std::string& unit) {
        units.push_back(unit);
        return true;
    });
    return units;
}

// The presentation time (ms) of the unit `unit` ("size hash") of stream `stream`, or -1.
long PtsOf(const std::string& framemd5, char stream, const std::string& unit) {
    long found = -1;
    EachUnit(framemd5, stream, [&](const std::string& line, const std::string& u) {
        if (u != unit) return true;
        const size_t dts = line.find(',');
        const size_t pts = line.find(',', dts + 1);
        found = std::stol(line.substr(pts + 1));
        return false;
    });
    return found;
}

bool IsSuffix(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    return part.size() <= whole.size() && std::equal(part.rbegin(), part.rend(), whole.rbegin());
}

TEST(RtspRecording, RequestHalfwayStartsAtTheNextKeyPicture) {
    if (system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    const std::string home = testframes::TempFolder("rtsp-half");
    ASSERT_FALSE(home.empty());
    setenv("STREVIX_HOME", home.c_str(), 1);
    ResetRecordingForTest();
    const std::string name = std::string(STREVIX_TEST_DATA) + "/rtsp-tcp-h264-aac";

    char error[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline((name + ".pcap").c_str(), error);
    ASSERT_NE(p, nullptr) << error;
    std::vector<std::pair<pcap_pkthdr, std::string>> frames;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1)
        frames.emplace_back(*h, std::string(reinterpret_cast<const char*>(d), h->caplen));
    pcap_close(p);
    ASSERT_GT(frames.size(), 100u);

    std::string path;
    {
        CVideoStreamUriAnalyse analyser{std::list<NetDataFilterInfo>()};
        for (size_t i = 0; i < frames.size(); ++i) {
            // An address of the session other than the one detection reports first.
            if (i == frames.size() / 2)
                AddRecordingRequest("--i rtsp://127.0.0.1:8554/test/stream=1 --o");
            analyser.packet_handler(nullptr, &frames[i].first,
                                    reinterpret_cast<const u_char*>(frames[i].second.data()));
        }
        analyser.OnCaptureEnd();
        ASSERT_EQ(analyser.Rtsp().Files().size(), 1u);
        path = analyser.Rtsp().Files()[0];
    }
    EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i " + path + " -f null - 2>&1"), "");
    const std::string truth = testframes::ReadFile(name + ".framemd5");
    const std::string rebuilt =
        Shell("ffmpeg -nostdin -v error -i " + path + " -map 0 -c copy -f framemd5 -");
    for (char stream : {'0', '1'}) {
        const std::vector<std::string> whole = Units(truth, stream);
        const std::vector<std::string> part = Units(rebuilt, stream);
        EXPECT_GT(part.size(), 0u) << stream;
        EXPECT_LT(part.size(), whole.size() * 3 / 4) << stream;
        EXPECT_TRUE(IsSuffix(part, whole)) << "stream " << stream;
    }
    // Audio and video keep the client's alignment (its own, from the sender reports): the first
    // units of each are as far apart in both files, within a few milliseconds.
    const std::string firstVideo = Units(rebuilt, '0').front();
    const std::string firstAudio = Units(rebuilt, '1').front();
    const long apartHere = PtsOf(rebuilt, '1', firstAudio) - PtsOf(rebuilt, '0', firstVideo);
    const long apartThere = PtsOf(truth, '1', firstAudio) - PtsOf(truth, '0', firstVideo);
    EXPECT_NEAR(apartHere, apartThere, 25);
    // The first picture is a key picture.
    EXPECT_EQ(Shell("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 " +
                    path + " | head -1"),
              "K_\n");
    ResetRecordingForTest();
}

}  // namespace

namespace {

typedef std::vector<unsigned char> Bytes;

std::string Interleaved(int channel, const Bytes& packet) {
    std::string f = {'$', static_cast<char>(channel), static_cast<char>(packet.size() >> 8),
                     static_cast<char>(packet.size())};
    return f + std::string(packet.begin(), packet.end());
}

Bytes MakeRtp(int pt, uint16_t seq, uint32_t ts, const Bytes& payload) {
    return rtppackets::Packet(seq, ts, true, payload, static_cast<uint8_t>(pt), 7);
}

Bytes SenderReport(uint32_t ntpSeconds, uint32_t ntpFraction, uint32_t rtp) {
    Bytes b = {0x80, 200, 0, 6, 0, 0, 0, 7};
    for (uint32_t v : {ntpSeconds, ntpFraction, rtp, 0u, 0u}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            b.push_back(static_cast<unsigned char>(v >> shift));
    }
    return b;
}

}  // namespace

// The senders say the audio began half a second after the picture, though both arrived
// together: the file keeps the senders' word.
TEST(RtspRecording, SenderReportsAlignAudioAndVideo) {
    if (system("ffprobe -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffprobe";
    const std::string home = testframes::TempFolder("rtsp-sr");
    ASSERT_FALSE(home.empty());
    setenv("STREVIX_HOME", home.c_str(), 1);
    ResetRecordingForTest();
    const std::string base = "rtsp://10.0.0.2:554/cam";
    AddRecordingRequest("--i " + base + " --o");

    const testframes::Endpoint client{{10, 0, 0, 1}, 40000}, server{{10, 0, 0, 2}, 554};
    std::string path;
    {
        CVideoStreamUriAnalyse analyser{std::list<NetDataFilterInfo>()};
        int64_t us = 5000000;
        auto send = [&](bool fromServer, const std::string& payload) {
            const testframes::Bytes f = testframes::Frame(fromServer ? server : client,
                                                          fromServer ? client : server, payload);
            pcap_pkthdr h{};
            h.ts.tv_sec = us / 1000000;
            h.ts.tv_usec = us % 1000000;
            h.caplen = h.len = static_cast<bpf_u_int32>(f.size());
            analyser.packet_handler(nullptr, &h, f.data());
            us += 1000;
        };
        const std::string sdp =
            "v=0\r\ns=x\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
            "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IACpZUBQHsgA==,aM4G4g==\r\n"
            "a=control:v\r\nm=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/44100/1\r\n"
            "a=fmtp:97 mode=AAC-hbr;config=1208;sizelength=13;indexlength=3;"
            "indexdeltalength=3\r\na=control:a\r\n";
        auto response = [](int cseq, const std::string& headers, const std::string& body) {
            return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers +
                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        };
        send(false, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
        send(true, response(1, "Content-Base: " + base + "/\r\n", sdp));
        send(false, "SETUP " + base + "/v RTSP/1.0\r\nCSeq: 2\r\n\r\n");
        send(true, response(2, "Transport: RTP/AVP/TCP;interleaved=0-1\r\n", ""));
        send(false, "SETUP " + base + "/a RTSP/1.0\r\nCSeq: 3\r\n\r\n");
        send(true, response(3, "Transport: RTP/AVP/TCP;interleaved=2-3\r\n", ""));
        send(false, "PLAY " + base + "/ RTSP/1.0\r\nCSeq: 4\r\n\r\n");
        send(true, response(4, "", "") + Interleaved(1, SenderReport(3900000000u, 0, 90000)) +
                       Interleaved(3, SenderReport(3900000000u, 0x80000000u, 0)));
        const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x21};
        const Bytes slice = {0x41, 0x9a, 0x02, 0x00};
        for (uint16_t i = 0; i < 30; ++i) {
            send(true,
                 Interleaved(0, MakeRtp(96, i, 90000 + i * 3000u, i % 10 == 0 ? idr : slice)) +
                     Interleaved(2, MakeRtp(97, i, i * 1024u, {0x00, 0x10, 0x00, 0x18, 1, 2, 3})));
        }
        send(false, "TEARDOWN " + base + "/ RTSP/1.0\r\nCSeq: 5\r\n\r\n");
        send(true, response(5, "", ""));
        ASSERT_EQ(analyser.Rtsp().Files().size(), 1u);
        path = analyser.Rtsp().Files()[0];
    }
    auto first = [&](const char* stream) {
        const std::string out =
            Shell(std::string("ffprobe -v error -select_streams ") + stream +
                  " -show_entries packet=pts_time -of csv=p=0 " + path + " | head -1");
        return out.empty() ? -1.0 : std::stod(out);
    };
    EXPECT_NEAR(first("a") - first("v"), 0.5, 0.03);
    ResetRecordingForTest();
}

// A recording asked for while an RTSP session already plays: the capture goes through the
// analyser frame by frame, the request comes halfway, and the file must start at the next key
// picture and hold from there exactly the client's access units, to the end.

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// "size hash" of each unit of stream `stream`, from framemd5 lines.
std::vector<std::string> Units(const std::string& framemd5, char stream) {
    std::vector<std::string> units;
    size_t at = 0;
    while (at < framemd5.size()) {
        size_t end = framemd5.find('\n', at);
        if (end == std::string::npos) end = framemd5.size();
        const std::string line = framemd5.substr(at, end - at);
        at = end + 1;
        if (line.empty() || line[0] != stream || line[1] != ',') continue;
        const size_t hash = line.rfind(',');
        const size_t size = line.rfind(',', hash - 1);
        units.push_back(line.substr(size + 1));
    }
    return units;
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
    // The first picture is a key picture.
    EXPECT_EQ(Shell("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 " +
                    path + " | head -1"),
              "K_\n");
    ResetRecordingForTest();
}

}  // namespace

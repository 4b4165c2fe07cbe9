// Recording through the writer's hooks (the tags of streams nobody records are noted, video
// frames only outlined) writes what handing every tag to the writer writes: the same file when
// the request comes first, and the same tags from a later key frame on when it comes while the
// stream runs (a frame in flight at the request may be left out).

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "decoder/FlvWriter.h"

namespace {

// Adds the recording request when the analysis reaches its n-th TCP segment (0: before any).
class RequestingAnalyse : public CVideoStreamUriAnalyse {
  public:
    RequestingAnalyse(bool hooks, int requestAt, std::string address)
        : CVideoStreamUriAnalyse(std::list<NetDataFilterInfo>()),
          m_requestAt(requestAt),
          m_address(std::move(address)) {
        SetStreamDataCallback(&OnRtmpTag);
        if (hooks) {
            RecordingHooks h;
            h.wanted = &IsRecordingRequested;
            h.version = &RecordingListVersion;
            h.prime = &PrimeRtmpTags;
            SetRecordingHooks(h);
        }
        if (requestAt == 0) Request();
    }
    ~RequestingAnalyse() override { Stop(); }
    void OnTCP(CTCPNetUnpack* u) override {
        if (++m_segments == m_requestAt) Request();
        CVideoStreamUriAnalyse::OnTCP(u);
    }
    int segments() const { return m_segments; }

  private:
    void Request() { AddRecordingRequest("--i " + m_address + " --o"); }
    int m_requestAt;
    std::string m_address;
    int m_segments = 0;
};

// Runs the capture through an analyser; the recorded files by name, each as its list of tags.
std::map<std::string, std::vector<std::string>> Record(const std::string& pcap,
                                                       const std::string& address, bool hooks,
                                                       int requestAt, int* segments) {
    const std::string home = testframes::TempFolder("hooks");
    setenv("STREVIX_HOME", home.c_str(), 1);
    ResetRecordingForTest();
    {
        RequestingAnalyse a(hooks, requestAt, address);
        EXPECT_EQ(a.StartFromFile(pcap), 0);
        for (int i = 0; i < 1000 && !a.LoopEnded(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(a.LoopEnded());
        if (segments != nullptr) *segments = a.segments();
    }
    ReleaseFlvFileTable();
    std::map<std::string, std::vector<std::string>> files;
    const std::string folder = home + "/Videos";
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() < 5 || name.substr(name.size() - 4) != ".flv") continue;
            const std::string flv = testframes::ReadFile(folder + "/" + name);
            std::vector<std::string>& tags = files[name];
            for (size_t at = 13; at + 11 <= flv.size();) {
                const size_t size = (size_t(uint8_t(flv[at + 1])) << 16) |
                                    (size_t(uint8_t(flv[at + 2])) << 8) | uint8_t(flv[at + 3]);
                if (at + 11 + size > flv.size()) break;
                tags.push_back(flv.substr(at, 11 + size));
                at += 11 + size + 4;
            }
        }
        closedir(dir);
    }
    if (std::system(("rm -rf '" + home + "'").c_str()) != 0) ADD_FAILURE() << "rm " << home;
    ResetRecordingForTest();
    return files;
}

bool KeyFrame(const std::string& tag) {
    return tag.size() > 11 && tag[0] == 9 && (uint8_t(tag[11]) >> 4) == 1;
}

// An AVC or AAC sequence header: what a file starts with, before its first key frame.
bool Configuration(const std::string& tag) {
    return tag.size() > 12 && (tag[0] == 9 || (tag[0] == 8 && (uint8_t(tag[11]) >> 4) == 10)) &&
           tag[12] == 0;
}

std::string WithoutTime(std::string tag) {
    for (size_t i = 4; i < 8 && i < tag.size(); ++i) tag[i] = 0;
    return tag;
}

}  // namespace

TEST(RecordingHooks, NotedTagsRecordWhatEveryTagRecords) {
    for (const char* name : {"rtmp-ffmpeg-128", "rtmp-ffmpeg-bframes", "rtmp-nginx-4096",
                             "rtmp-publish", "rtmp-gaps"}) {
        SCOPED_TRACE(name);
        const std::string base = std::string(STREVIX_TEST_DATA) + "/" + name;
        std::string address = testframes::ReadFile(base + ".streams");
        address = address.substr(0, address.find('\n'));
        ASSERT_EQ(address.rfind("RTMP-", 0), 0u);
        address.erase(0, 5);

        int segments = 0;
        const auto every = Record(base + ".pcap", address, false, 0, &segments);
        ASSERT_FALSE(every.empty());
        EXPECT_EQ(Record(base + ".pcap", address, true, 0, nullptr), every);

        // Requested at several points of the stream.
        for (int part = 1; part <= 3; ++part) {
            const int at = segments * part / 4;
            SCOPED_TRACE("request at segment " + std::to_string(at));
            const auto all = Record(base + ".pcap", address, false, at, nullptr);
            const auto noted = Record(base + ".pcap", address, true, at, nullptr);
            ASSERT_EQ(noted.size(), all.size());
            for (const auto& file : all) {
                const std::vector<std::string>& a = file.second;
                const std::vector<std::string>& b = noted.at(file.first);
                if (a.empty()) {
                    EXPECT_TRUE(b.empty());
                    continue;
                }
                // The decoder configurations first, then the tags from a key frame on.
                size_t configs = 0;
                while (configs < 2 && configs < a.size() && Configuration(a[configs])) ++configs;
                ASSERT_GE(b.size(), configs);
                for (size_t i = 0; i < configs; ++i)
                    EXPECT_EQ(WithoutTime(b[i]), WithoutTime(a[i])) << "configuration " << i;
                const auto start =
                    std::search(a.begin() + configs, a.end(), b.begin() + configs, b.end());
                EXPECT_TRUE(start != a.end() || b.size() == configs)
                    << "the noted recording's tags are a run of the other's";
                if (start != a.end()) {
                    EXPECT_TRUE(KeyFrame(*start));
                    EXPECT_EQ(a.end() - start, static_cast<long>(b.size() - configs))
                        << "both end with the stream";
                }
            }
        }
    }
}

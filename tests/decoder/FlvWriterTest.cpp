#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "RecordingWindow.h"
#include "TestFrames.h"
#include "common/LogOut.h"
#include "decoder/FlvWriter.h"
#include "decoder/RtmpChunks.h"
#include "platform/AppDirectory.h"

using rtmpchunks::Bytes;
using rtmpchunks::Tag;

namespace {

const char* const kAddress = "rtmp://10.0.0.5/live/cam";
const char* const kKey = "19216812050123100051935";

// Counts the reports LogOut makes.
class CountingWindow : public RecordingWindow {
  public:
    std::atomic<int> reports{0};
    void SetWindowText(int id, const std::string& text) override {
        ++reports;
        RecordingWindow::SetWindowText(id, text);
    }
};

Bytes VideoConfig(uint32_t ts) {
    return Tag(9, ts, Bytes{0x17, 0x00, 0, 0, 0, 1, 0x64, 0, 0x1F});
}
Bytes KeyFrame(uint32_t ts, unsigned seed = 1) {
    Bytes p{0x17, 0x01, 0, 0, 0};
    rtmpchunks::Append(p, rtmpchunks::Payload(40, seed));
    return Tag(9, ts, p);
}
Bytes InterFrame(uint32_t ts, unsigned seed = 2) {
    Bytes p{0x27, 0x01, 0, 0, 0};
    rtmpchunks::Append(p, rtmpchunks::Payload(20, seed));
    return Tag(9, ts, p);
}
Bytes AudioConfig(uint32_t ts) {
    return Tag(8, ts, Bytes{0xAF, 0x00, 0x12, 0x08});
}
Bytes Audio(uint32_t ts, unsigned seed = 3) {
    Bytes p{0xAF, 0x01};
    rtmpchunks::Append(p, rtmpchunks::Payload(15, seed));
    return Tag(8, ts, p);
}

Bytes WithTime(Bytes tag, uint32_t ts) {
    tag[4] = static_cast<unsigned char>(ts >> 16);
    tag[5] = static_cast<unsigned char>(ts >> 8);
    tag[6] = static_cast<unsigned char>(ts);
    tag[7] = static_cast<unsigned char>(ts >> 24);
    return tag;
}

void Send(const Bytes& tag, const char* address = kAddress, int clientPort = 50123) {
    OnRtmpTag(tag.data(), static_cast<int>(tag.size()), "192168120", clientPort, "10005", 1935,
              address);
}

void Request(const std::string& address) {
    AddRecordingRequest("--i " + address + " --o");
}

// An FLV file: header, PreviousTagSize0, then tags each followed (before the next) by its size.
Bytes File(const std::vector<Bytes>& tags) {
    Bytes f{'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
    for (size_t i = 0; i < tags.size(); ++i) {
        if (i > 0) rtmpchunks::Put32(f, static_cast<uint32_t>(tags[i - 1].size()));
        rtmpchunks::Append(f, tags[i]);
    }
    return f;
}

Bytes Read(const std::string& path) {
    const std::string s = testframes::ReadFile(path);
    return Bytes(s.begin(), s.end());
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Whole tags only, each size field right: what a reader finds in a file cut after any write.
bool WellFormed(const Bytes& f, size_t* tagCount) {
    if (f.size() < 13 || f[0] != 'F' || f[1] != 'L' || f[2] != 'V') return false;
    size_t at = 13, count = 0;
    while (at < f.size()) {
        if (at + 11 > f.size()) return false;
        const size_t n = (size_t{f[at + 1]} << 16) | (size_t{f[at + 2]} << 8) | f[at + 3];
        if (at + 11 + n > f.size()) return false;
        at += 11 + n;
        ++count;
        if (at == f.size()) break;
        if (at + 4 > f.size()) return false;
        const size_t prev = (size_t{f[at]} << 24) | (size_t{f[at + 1]} << 16) |
                            (size_t{f[at + 2]} << 8) | f[at + 3];
        if (prev != 11 + n) return false;
        at += 4;
    }
    *tagCount = count;
    return true;
}

class FlvWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = testframes::TempFolder("flv");
        ASSERT_FALSE(home_.empty());
        setenv("STREVIX_HOME", home_.c_str(), 1);
        ResetRecordingForTest();
        SetReportWindow(&window_);
        SetLoggingQuiet(true);
    }
    void TearDown() override {
        SetReportWindow(nullptr);
        ResetRecordingForTest();
        std::system(("rm -rf '" + home_ + "'").c_str());
    }
    std::string FilePath(const std::string& suffix = "") const {
        return home_ + "/Videos/" + kKey + suffix + ".flv";
    }
    std::string home_;
    CountingWindow window_;
};

}  // namespace

TEST_F(FlvWriter, UnrequestedStreamCreatesNoFileYetItsConfigurationIsKept) {
    Send(VideoConfig(0));
    Send(AudioConfig(0));
    Send(KeyFrame(40));
    EXPECT_FALSE(Exists(home_ + "/Videos"));
    Request(kAddress);
    Send(InterFrame(80));
    Send(KeyFrame(1000, 5));
    EXPECT_EQ(Read(FilePath()), File({WithTime(VideoConfig(0), 1000),
                                      WithTime(AudioConfig(0), 1000), KeyFrame(1000, 5)}));
}

TEST_F(FlvWriter, FileStartsAtKeyFrameAfterBothConfigurationsThenAppends) {
    Request(kAddress);
    Send(Audio(0));  // no video stored yet: no file
    EXPECT_FALSE(Exists(FilePath()));
    Send(VideoConfig(0));  // key-frame bit set: the file starts here, the config twice
    Send(AudioConfig(0));
    Send(InterFrame(40));
    Send(Audio(46, 7));
    Send(KeyFrame(80));
    EXPECT_EQ(Read(FilePath()), File({VideoConfig(0), VideoConfig(0), AudioConfig(0),
                                      InterFrame(40), Audio(46, 7), KeyFrame(80)}));
}

TEST_F(FlvWriter, TagsBeforeTheFirstKeyFrameLeaveAnEmptyFile) {
    Send(VideoConfig(0));
    Request(kAddress);
    Send(Audio(10));
    Send(InterFrame(40));
    ASSERT_TRUE(Exists(FilePath()));
    EXPECT_TRUE(Read(FilePath()).empty());
    Send(KeyFrame(80));
    EXPECT_EQ(Read(FilePath()), File({WithTime(VideoConfig(0), 80), KeyFrame(80)}));
}

TEST_F(FlvWriter, AddressMatchesExactlyAndCaseSensitively) {
    EXPECT_EQ(AddRecordingRequest("--i RTMP://10.0.0.5/live/cam --o"), 0u);
    EXPECT_EQ(AddRecordingRequest("--i rtmp://10.0.0.5/live/ca --o"), 1u);
    EXPECT_EQ(AddRecordingRequest("--i rtmp://10.0.0.5/live/cam"), 2u);  // no end marker
    EXPECT_EQ(AddRecordingRequest("--o rtmp://10.0.0.5/live/cam --i"), 3u);
    EXPECT_EQ(RecordingRequestCount(), 4u);
    Send(VideoConfig(0));
    Send(KeyFrame(40));
    EXPECT_FALSE(Exists(FilePath()));
    EXPECT_EQ(AddRecordingRequest(std::string("x --i ") + kAddress + " --o y"), 4u);
    Send(KeyFrame(80));
    EXPECT_EQ(Read(FilePath()), File({WithTime(VideoConfig(0), 80), KeyFrame(80)}));
}

TEST_F(FlvWriter, RequestedAddressLiesBetweenTheMarkers) {
    EXPECT_EQ(RequestedAddress("--i rtmp://h/a/b --o"), "rtmp://h/a/b");
    EXPECT_EQ(RequestedAddress("player --i rtmp://h/a/b --o extra"), "rtmp://h/a/b");
    EXPECT_EQ(RequestedAddress("--i rtmp://h/a/b"), "");
    EXPECT_EQ(RequestedAddress("--o x --i y"), "");
    EXPECT_EQ(RequestedAddress("--i --o"), "");
}

TEST_F(FlvWriter, EachConnectionHasItsOwnFile) {
    Request(kAddress);
    Send(KeyFrame(0), kAddress, 50123);
    Send(KeyFrame(0, 9), kAddress, 50124);
    EXPECT_TRUE(Exists(FilePath()));
    EXPECT_TRUE(Exists(home_ + "/Videos/19216812050124100051935.flv"));
}

TEST_F(FlvWriter, EarlierRunsFilesAreKeptAndTheNewRecordingGoesBeside) {
    ASSERT_TRUE(platform::MakeFolders(home_ + "/Videos"));
    const Bytes old = File({KeyFrame(0, 20)});
    for (const std::string& suffix : {std::string(), std::string("-2")}) {
        FILE* f = std::fopen(FilePath(suffix).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(old.data(), 1, old.size(), f);
        std::fclose(f);
    }
    Request(kAddress);
    Send(KeyFrame(0));
    Send(Audio(10));
    EXPECT_EQ(Read(FilePath()), old);
    EXPECT_EQ(Read(FilePath("-2")), old);
    EXPECT_EQ(Read(FilePath("-3")), File({KeyFrame(0), KeyFrame(0), Audio(10)}));
}

TEST_F(FlvWriter, EmptyFileLeftByAnEarlierRunIsUsed) {
    ASSERT_TRUE(platform::MakeFolders(home_ + "/Videos"));
    std::fclose(std::fopen(FilePath().c_str(), "wb"));
    Request(kAddress);
    Send(KeyFrame(0));
    EXPECT_EQ(Read(FilePath()), File({KeyFrame(0), KeyFrame(0)}));
    EXPECT_FALSE(Exists(FilePath("-2")));
}

TEST_F(FlvWriter, UnwritableFolderIsReportedOnceWithPathAndReason) {
    // A plain file where the folder should be: neither the folder nor the file can be made.
    std::fclose(std::fopen((home_ + "/Videos").c_str(), "wb"));
    Request(kAddress);
    const int before = window_.reports;
    for (int i = 0; i < 5; ++i) Send(KeyFrame(40 * i));
    EXPECT_EQ(window_.reports - before, 1);
    const std::string error = GetLastErrorText();
    EXPECT_NE(error.find(FilePath()), std::string::npos) << error;
    EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
}

TEST_F(FlvWriter, OverlongPathIsReportedOnce) {
    const std::string deep = home_ + "/" + std::string(240, 'd');
    ASSERT_TRUE(platform::MakeFolders(deep));
    setenv("STREVIX_HOME", deep.c_str(), 1);
    Request(kAddress);
    const int before = window_.reports;
    Send(KeyFrame(0));
    Send(KeyFrame(40));
    EXPECT_EQ(window_.reports - before, 1);
    EXPECT_NE(GetLastErrorText().find("too long"), std::string::npos);
    EXPECT_FALSE(Exists(deep + "/Videos/" + kKey + ".flv"));
    setenv("STREVIX_HOME", home_.c_str(), 1);
}

TEST_F(FlvWriter, WriteTagWithoutOpenFileWritesNothing) {
    FlvFileState state;
    const Bytes k = KeyFrame(0);
    EXPECT_EQ(state.WriteTag(k.data(), static_cast<int>(k.size())), 255);
    EXPECT_EQ(state.prevTagSize, 0u);
}

TEST_F(FlvWriter, FileIsWholeAfterEveryTag) {
    Request(kAddress);
    Send(VideoConfig(0));
    Send(AudioConfig(0));
    size_t expected = 3;
    for (unsigned i = 0; i < 60; ++i) {
        Send(i % 3 ? Audio(i * 20, i) : (i % 12 ? InterFrame(i * 20, i) : KeyFrame(i * 20, i)));
        ++expected;
        size_t tags = 0;
        ASSERT_TRUE(WellFormed(Read(FilePath()), &tags)) << i;
        ASSERT_EQ(tags, expected);
    }
}

TEST_F(FlvWriter, CaptureThreadsAndRequestsRunSideBySide) {
    constexpr int kThreads = 4, kTags = 400;
    std::atomic<bool> go{false}, requested{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &go, &requested] {
            while (!go) std::this_thread::yield();
            // Two addresses, two connections each.
            const std::string address = "rtmp://10.0.0.5/live/cam" + std::to_string(t % 2);
            uint32_t i = 0;
            for (; i < kTags; ++i) {
                const Bytes tag = i == 0 ? VideoConfig(0) : (i % 2 ? Audio(i) : KeyFrame(i, i));
                Send(tag, address.c_str(), 40000 + t);
            }
            while (!requested) std::this_thread::yield();
            for (int n = 0; n < 10; ++n, ++i) Send(KeyFrame(i, i), address.c_str(), 40000 + t);
        });
    }
    go = true;
    for (int i = 0; i < 200; ++i) {
        Request(i % 2 ? "rtmp://10.0.0.5/live/cam0" : "rtmp://10.0.0.5/live/other");
        if (i == 100) Request("rtmp://10.0.0.5/live/cam1");
    }
    requested = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(RecordingRequestCount(), 201u);
    for (int t = 0; t < kThreads; ++t) {
        const std::string path =
            home_ + "/Videos/192168120" + std::to_string(40000 + t) + "100051935.flv";
        size_t tags = 0;
        EXPECT_TRUE(WellFormed(Read(path), &tags)) << path;
        EXPECT_GT(tags, 1u) << path;
    }
    ReleaseFlvFileTable();
}

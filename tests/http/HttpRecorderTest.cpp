// The recorder fed whole exchanges: hostile playlists and bodies stay in Videos/ and within
// their bounds; segments that come before their playlist take their places.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "http/HttpReader.h"
#include "http/HttpRecorder.h"

namespace {

class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/strevix-http-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempFolder() {
        const std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) {
        }
    }
    std::vector<std::string> Entries(const std::string& sub = "") const {
        std::vector<std::string> names;
        DIR* dir = opendir((path + sub).c_str());
        if (dir == nullptr) return names;
        while (dirent* e = readdir(dir)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        }
        closedir(dir);
        return names;
    }
    std::string path;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One connection: its requests, then its responses.
void Exchange(HttpStreamRecorder& recorder, const std::string& requests,
              const std::string& responses) {
    HttpConnectionReader reader(&recorder);
    reader.OnClientBytes(reinterpret_cast<const unsigned char*>(requests.data()), requests.size());
    reader.OnServerBytes(reinterpret_cast<const unsigned char*>(responses.data()),
                         responses.size());
    reader.OnServerEnd();
}

std::string Get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n";
}

std::string Ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A segment body of whole TS packets, each filled with one letter.
std::string Ts(char fill, int packets = 2) {
    std::string s;
    for (int i = 0; i < packets; ++i) s += '\x47' + std::string(187, fill);
    return s;
}

}  // namespace

TEST(HttpRecorder, SegmentsJoinInSequenceOrderWithHeldOnesPlaced) {
    TempFolder home;
    const std::string videos = home.path + "/Videos";
    {
        HttpStreamRecorder r(videos);
        r.SetRequests({"http://h/live/index.m3u8"}, false);
        // A first playlist makes the host known; seg5 then comes before the playlist naming it.
        Exchange(
            r, Get("/live/index.m3u8"),
            Ok("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:3\n#EXTINF:1,\nseg3.ts\n#EXTINF:1,\nseg4.ts\n"));
        Exchange(r, Get("/live/seg3.ts"), Ok(Ts('a')));
        Exchange(r, Get("/live/seg5.ts"), Ok(Ts('c')));  // not named yet: held
        EXPECT_EQ(Ts('c').size(), r.HeldBytes());
        Exchange(r, Get("/live/index.m3u8"),
                 Ok("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:4\n#EXTINF:1,\nseg4.ts\n#EXTINF:1,\nseg5.ts\n"
                    "#EXTINF:1,\nseg6.ts\n"));
        // seg4 is missing from the capture: seg5 follows seg3, with the gap logged.
        Exchange(r, Get("/live/seg3.ts") + Get("/live/seg6.ts"), Ok(Ts('x')) + Ok(Ts('d')));
        r.Finish();
        EXPECT_EQ(0u, r.HeldBytes());
        ASSERT_EQ(1u, r.Paths().size());
        EXPECT_EQ(Ts('a') + Ts('c') + Ts('d'), ReadFile(r.Paths()[0]));
    }
}

TEST(HttpRecorder, HostilePlaylistStaysInVideos) {
    TempFolder home;
    const std::string videos = home.path + "/Videos";
    HttpStreamRecorder r(videos);
    r.SetRequests({"http://h/a/b/index.m3u8"}, true);
    std::string playlist = "#EXTM3U\n#EXT-X-MAP:URI=\"../../../../init.mp4\"\n";
    for (int i = 0; i < 10000; ++i)
        playlist += "#EXTINF:1,\n../../../../../tmp/../etc/s" + std::to_string(i) + ".m4s\n";
    Exchange(r, Get("/a/b/index.m3u8"), Ok(playlist));
    std::string requests, responses;
    requests += Get("/init.mp4");
    responses += Ok("INIT");
    for (int i = 0; i < 300; i += 3) {
        requests += Get("/etc/s" + std::to_string(i) + ".m4s");
        responses += Ok("S" + std::to_string(i) + ";");
    }
    // Addresses that try to be paths are recorded under a digest.
    requests += Get("/../../x/%2e%2e/..%2F.ts") + Get("/a.flv/../../b.mp4?/../../c.flv");
    responses += Ok(Ts('t')) + Ok("....");
    Exchange(r, requests, responses);
    r.Finish();
    EXPECT_EQ(std::vector<std::string>{"Videos"}, home.Entries());
    const std::vector<std::string> files = home.Entries("/Videos");
    EXPECT_EQ(3u, files.size());
    for (const std::string& f : files) {
        EXPECT_EQ(std::string::npos, f.find('/')) << f;
        EXPECT_NE('.', f[0]) << f;
    }
    ASSERT_FALSE(r.Paths().empty());
    const std::string joined = ReadFile(r.Paths()[0]);
    EXPECT_EQ(0u, joined.find("INITS0;S3;S6;"));
}

TEST(HttpRecorder, HeldResponsesStayUnderTheCap) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    r.SetRequests({"http://h/index.m3u8"}, false);
    Exchange(r, Get("/index.m3u8"), Ok("#EXTM3U\n#EXTINF:1,\ns0.ts\n"));
    // Responses of the playlist's host that no playlist names, 48 MB of them, some with lying
    // chunk sizes.
    const std::string big(8 << 20, 'z');
    for (int i = 0; i < 6; ++i) {
        Exchange(r, Get("/unnamed" + std::to_string(i) + ".ts"), Ok(big));
        EXPECT_LE(r.HeldBytes(), HttpStreamRecorder::kMaxHeldBytes);
    }
    Exchange(r, Get("/lie.ts"),
             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffff\r\n" + big);
    EXPECT_LE(r.HeldBytes(), HttpStreamRecorder::kMaxHeldBytes);
    // The oldest held ones made room: a segment coming early is still kept, and placed.
    Exchange(r, Get("/s1.ts"), Ok(Ts('1')));
    Exchange(r, Get("/index.m3u8"), Ok("#EXTM3U\n#EXTINF:1,\ns0.ts\n#EXTINF:1,\ns1.ts\n"));
    r.Finish();
    EXPECT_EQ(0u, r.HeldBytes());
    ASSERT_EQ(1u, r.Paths().size());
    EXPECT_EQ(Ts('1'), ReadFile(r.Paths()[0]));
}

TEST(HttpRecorder, BodiesKeptWholeStayUnderOneCapAcrossConnections) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    r.SetRequests({}, true);
    // Forty connections each in the middle of a 3 MB playlist, forty in the middle of a 16 MB
    // FLV tag: none ends, all are kept.
    std::vector<std::unique_ptr<HttpConnectionReader>> open;
    const std::string part(3 << 20, '#');
    const std::string flv = std::string("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13) +
                            std::string("\x09\xff\xff\xff", 4) + std::string(7, '\0') +
                            std::string(3 << 20, 'v');
    for (int i = 0; i < 80; ++i) {
        open.emplace_back(new HttpConnectionReader(&r));
        const bool playlist = i % 2 == 0;
        const std::string get = Get("/c" + std::to_string(i) + (playlist ? ".m3u8" : ".flv"));
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\n" + (playlist ? part : flv);
        open.back()->OnClientBytes(reinterpret_cast<const unsigned char*>(get.data()), get.size());
        open.back()->OnServerBytes(reinterpret_cast<const unsigned char*>(response.data()),
                                   response.size());
        EXPECT_LE(r.BufferedBytes(), HttpStreamRecorder::kMaxBufferedBytes);
    }
    EXPECT_GT(r.BufferedBytes(), HttpStreamRecorder::kMaxBufferedBytes / 2);
    open.clear();
    EXPECT_EQ(0u, r.BufferedBytes());
}

TEST(HttpRecorder, ProgressivePartsAtTheirOffsets) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    r.SetRequests({"http://h/v/clip.mp4"}, false);
    Exchange(
        r, Get("/v/clip.mp4") + Get("/v/clip.mp4"),
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 6-9/12\r\nContent-Length: 4\r\n\r\n"
        "6789"
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-2/12\r\nContent-Length: 3\r\n\r\n"
        "012");
    r.Finish();
    ASSERT_EQ(1u, r.Paths().size());
    EXPECT_EQ(std::string("012\0\0\0006789", 10), ReadFile(r.Paths()[0]));
}

TEST(HttpRecorder, FlvEndsAtItsLastWholeTag) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    r.SetRequests({"http://h/live.flv"}, false);
    const std::string header("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
    const std::string tag = std::string("\x09\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00", 11) +
                            std::string("\x17\x00", 2) + std::string("\x00\x00\x00\x0d", 4);
    Exchange(r, Get("/live.flv"), "HTTP/1.0 200 OK\r\n\r\n" + header + tag + tag.substr(0, 7));
    r.Finish();
    ASSERT_EQ(1u, r.Paths().size());
    EXPECT_EQ(header + tag, ReadFile(r.Paths()[0]));
}

TEST(HttpRecorder, FileNamesAreDigestAndCleanLabel) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"http://h/live/index.m3u8?token=1", "-index.ts"},
        {"http://h/a/../../etc/pass wd.flv", "-passwd.ts"},
        {"http://h/", "-stream.ts"},
        {std::string("http://h/\0x/..\x01.ts", 16), "-stream.ts"},
        {"http://h/" + std::string(300, 'n') + ".ts", "-" + std::string(24, 'n') + ".ts"},
    };
    for (const auto& c : cases) {
        const std::string name = HttpStreamRecorder::FileName(c.first, ".ts");
        EXPECT_EQ(16 + c.second.size(), name.size()) << name;
        EXPECT_EQ(c.second, name.substr(16));
        EXPECT_EQ(name, HttpStreamRecorder::FileName(c.first, ".ts"));
    }
    EXPECT_NE(HttpStreamRecorder::FileName("http://h/a.ts", ".ts"),
              HttpStreamRecorder::FileName("http://g/a.ts", ".ts"));
}

TEST(HttpRecorder, AskedForWhileItFlowsStartsAtTheNextKeyFrameOrSegment) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    auto tag = [](char type, char first, char second, char fill) {
        std::string t = std::string(1, type) +
                        std::string("\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00", 10) + first +
                        second + fill;
        return t + std::string("\x00\x00\x00\x0e", 4);
    };
    const std::string header("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
    const std::string avcConfig = tag(9, 0x17, 0, 'c'), aacConfig = tag(8, '\xaf', 0, 'a');
    const std::string key1 = tag(9, 0x17, 1, '1'), inter = tag(9, 0x27, 1, 'i'),
                      audio = tag(8, '\xaf', 1, 's'), key2 = tag(9, 0x17, 1, '2');

    HttpConnectionReader flv(&r);
    const std::string get = Get("/live/cam.flv");
    flv.OnClientBytes(reinterpret_cast<const unsigned char*>(get.data()), get.size());
    auto server = [&flv](const std::string& bytes) {
        flv.OnServerBytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    };
    server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    auto chunk = [](const std::string& b) {
        char size[16];
        std::snprintf(size, sizeof(size), "%zx\r\n", b.size());
        return size + b + "\r\n";
    };
    server(chunk(header + avcConfig + aacConfig + key1 + inter));
    r.SetRequests({"http://h/live/cam.flv", "http://h/live/index.m3u8"}, false);
    server(chunk(audio + inter.substr(0, 5)));
    server(chunk(inter.substr(5) + key2 + audio) + "0\r\n\r\n");

    // A live playlist asked for between two of its reloads: the next segment starts the file.
    Exchange(r, Get("/live/index.m3u8"),
             Ok("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:8\n#EXTINF:1,\ns8.ts\n#EXTINF:1,\ns9.ts\n"));
    Exchange(r, Get("/live/s9.ts"), Ok(Ts('9')));
    r.Finish();
    ASSERT_EQ(2u, r.Paths().size());
    EXPECT_EQ(header + avcConfig + aacConfig + key2 + audio, ReadFile(r.Paths()[0]));
    EXPECT_EQ(Ts('9'), ReadFile(r.Paths()[1]));
}

TEST(HttpRecorder, MasterPlaylistRecordsEachFetchedVariant) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    r.SetRequests({"http://h/show/master.m3u8"}, false);
    Exchange(r, Get("/show/master.m3u8"),
             Ok("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow/v.m3u8\n"
                "#EXT-X-STREAM-INF:BANDWIDTH=2\nhigh/v.m3u8\n#EXT-X-STREAM-INF:BANDWIDTH=3\nx/"
                "v.m3u8\n"));
    // Two variants fetched, with one segment each; the third never was.
    Exchange(r, Get("/show/low/v.m3u8") + Get("/show/high/v.m3u8"),
             Ok("#EXTM3U\n#EXTINF:1,\n0.ts\n") + Ok("#EXTM3U\n#EXTINF:1,\n0.ts\n"));
    Exchange(r, Get("/show/high/0.ts") + Get("/show/low/0.ts"), Ok(Ts('h')) + Ok(Ts('l')));
    // Not a variant of it: not recorded.
    Exchange(r, Get("/other/v.m3u8") + Get("/other/0.ts"),
             Ok("#EXTM3U\n#EXTINF:1,\n0.ts\n") + Ok(Ts('o')));
    r.Finish();
    ASSERT_EQ(2u, r.Paths().size());
    EXPECT_EQ(Ts('h'), ReadFile(r.Paths()[0]));
    EXPECT_EQ(Ts('l'), ReadFile(r.Paths()[1]));
    EXPECT_NE(r.Paths()[0], r.Paths()[1]);
}

TEST(HttpRecorder, ATsSegmentCutByAGapKeepsOnlyWholePackets) {
    TempFolder home;
    HttpStreamRecorder r(home.path + "/Videos");
    r.SetRequests({"http://h/index.m3u8"}, false);
    Exchange(r, Get("/index.m3u8"), Ok("#EXTM3U\n#EXTINF:1,\ns0.ts\n#EXTINF:1,\ns1.ts\n"));
    const std::string body = Ts('a', 1) + Ts('b', 1) + Ts('c', 1) + Ts('d', 1);
    HttpConnectionReader reader(&r);
    const std::string get = Get("/s0.ts") + Get("/s1.ts");
    reader.OnClientBytes(reinterpret_cast<const unsigned char*>(get.data()), get.size());
    const std::string first =
        "HTTP/1.1 200 OK\r\nContent-Length: 752\r\n\r\n" + body.substr(0, 200);
    reader.OnServerBytes(reinterpret_cast<const unsigned char*>(first.data()), first.size());
    reader.OnServerGap(100);  // bytes 200 to 299: packet b is cut
    const std::string rest = body.substr(300) + Ok(Ts('e', 1));
    reader.OnServerBytes(reinterpret_cast<const unsigned char*>(rest.data()), rest.size());
    reader.OnServerEnd();
    r.Finish();
    ASSERT_EQ(1u, r.Paths().size());
    // Packet c began at 376, after the gap: it is whole, and kept.
    EXPECT_EQ(Ts('a', 1) + Ts('c', 1) + Ts('d', 1) + Ts('e', 1), ReadFile(r.Paths()[0]));
}

// The exchange reader over tables of real-world and lying framings, and the playlist parser.

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "http/HlsPlaylist.h"
#include "http/HttpReader.h"

namespace {

struct Seen {
    std::string target;
    int status = 0;
    std::string body;
    uint64_t gap = 0;
    bool ended = false;
    bool complete = false;
};

// Takes every body; remembers what came.
class Collector : public HttpExchangeSink, public HttpBodySink {
  public:
    HttpBodySink* OnResponse(const HttpRequest& request, const HttpResponseHead& head) override {
        seen.push_back(Seen());
        seen.back().target = request.target;
        seen.back().status = head.status;
        return this;
    }
    void OnBody(const unsigned char* data, size_t length) override {
        seen.back().body.append(reinterpret_cast<const char*>(data), length);
    }
    void OnBodyGap(uint64_t length) override { seen.back().gap += length; }
    void OnBodyEnd(bool complete) override {
        seen.back().ended = true;
        seen.back().complete = complete;
    }
    std::vector<Seen> seen;
};

std::string Gzip(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY);
    std::string out(text.size() + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Get(const std::string& target, const char* method = "GET") {
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: h\r\n\r\n";
}

struct FramingCase {
    const char* name;
    std::string requests;
    std::string responses;
    // What each response gave: "target status body complete" per entry.
    std::vector<std::string> expected;
    bool lost;  // the server's direction cannot be read on
};

std::string Describe(const Seen& s) {
    return s.target + " " + std::to_string(s.status) + " " + s.body + " " +
           (s.ended ? (s.complete ? "complete" : "cut") : "open");
}

}  // namespace

TEST(HttpExchange, FramingTable) {
    const std::string gz = Gzip("#EXTM3U\nzipped\n");
    const std::vector<FramingCase> cases = {
        {"length and keep-alive",
         Get("/a") + Get("/b") + Get("/c"),
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc"
         "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-1/2\r\nContent-Length: 2\r\n\r\nde"
         "HTTP/1.1 404 Not Found\r\ncontent-length: 1\r\n\r\nx",
         {"/a 200 abc complete", "/b 206 de complete", "/c 404 x complete"},
         false},
        {"chunked with extensions and a trailer",
         Get("/a") + Get("/b"),
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3;ext=1\r\nabc\r\n1\r\nd\r\n0\r\nX-T: y\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz",
         {"/a 200 abcd complete", "/b 200 z complete"},
         false},
        {"HEAD, 304 and 204 carry no body",
         Get("/a", "HEAD") + Get("/b") + Get("/c") + Get("/d"),
         "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n"
         "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n"
         "HTTP/1.1 204 No Content\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
         {"/a 200  complete", "/b 304  complete", "/c 204  complete", "/d 200 ok complete"},
         false},
        {"an interim 100 answers nothing",
         Get("/a"),
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nq",
         {"/a 200 q complete"},
         false},
        {"gzip decoded, chunked",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
             std::string(1, "0123456789abcdef"[gz.size() >> 4]) +
             std::string(1, "0123456789abcdef"[gz.size() & 15]) + "\r\n" + gz + "\r\n0\r\n\r\n",
         {"/a 200 #EXTM3U\nzipped\n complete"},
         false},
        {"HTTP/1.0 body to the close",
         Get("/a"),
         "HTTP/1.0 200 OK\r\n\r\nuntil the end",
         {"/a 200 until the end complete"},
         false},
        {"a chunk size that lies",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffff\r\nshort",
         {"/a 200 short cut"},
         false},
        {"Content-Length beyond the bytes",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\nfew",
         {"/a 200 few cut"},
         false},
        {"a chunk size that is not hex",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
         {"/a 200  cut"},
         true},
        {"two lengths that disagree",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
         {},
         true},
        {"a chunk size beyond any file",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffffff\r\n",
         {"/a 200  cut"},
         true},
        {"not HTTP at all", Get("/a"), "SSH-2.0-OpenSSH\r\n\r\n", {}, true},
        {"a head without end",
         Get("/a"),
         "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a'),
         {},
         true},
    };
    for (const FramingCase& c : cases) {
        // Whole, and one byte at a time: the framing may not depend on where segments end.
        for (int split = 0; split < 2; ++split) {
            SCOPED_TRACE(std::string(c.name) + (split ? " (bytewise)" : ""));
            Collector sink;
            HttpConnectionReader reader(&sink);
            const auto* req = reinterpret_cast<const unsigned char*>(c.requests.data());
            const auto* res = reinterpret_cast<const unsigned char*>(c.responses.data());
            reader.OnClientBytes(req, c.requests.size());
            if (split) {
                for (size_t i = 0; i < c.responses.size(); ++i) reader.OnServerBytes(res + i, 1);
            } else {
                reader.OnServerBytes(res, c.responses.size());
            }
            EXPECT_EQ(c.lost, reader.Lost());
            reader.OnServerEnd();
            std::vector<std::string> got;
            for (const Seen& s : sink.seen) got.push_back(Describe(s));
            EXPECT_EQ(c.expected, got);
        }
    }
}

TEST(HttpExchange, GapsInBodiesAndBetweenResponses) {
    Collector sink;
    HttpConnectionReader reader(&sink);
    const std::string req = Get("/a") + Get("/b") + Get("/c");
    reader.OnClientBytes(reinterpret_cast<const unsigned char*>(req.data()), req.size());
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    reader.OnServerBytes(reinterpret_cast<const unsigned char*>(first.data()), first.size());
    reader.OnServerGap(4);  // inside the body: reported, framing kept
    const std::string rest =
        "xyz"
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n12";
    reader.OnServerBytes(reinterpret_cast<const unsigned char*>(rest.data()), rest.size());
    reader.OnServerGap(3);  // exactly the rest of /b: the next response is still found
    const std::string third = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz";
    reader.OnServerBytes(reinterpret_cast<const unsigned char*>(third.data()), third.size());
    reader.OnServerGap(100);  // between responses, with nothing asked: nothing more to read
    EXPECT_TRUE(reader.Lost());
    ASSERT_EQ(3u, sink.seen.size());
    EXPECT_EQ("abcxyz", sink.seen[0].body);
    EXPECT_EQ(4u, sink.seen[0].gap);
    EXPECT_TRUE(sink.seen[0].complete);
    EXPECT_EQ("12", sink.seen[1].body);
    EXPECT_FALSE(sink.seen[1].complete);
    EXPECT_EQ("z", sink.seen[2].body);
}

TEST(HttpExchange, AMillionResponsesAndUnansweredRequestsStayBounded) {
    // Responses nobody asked for: skipped one after another, nothing kept.
    HttpConnectionReader reader(nullptr);
    const std::string one = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
    std::string block;
    for (int i = 0; i < 1000; ++i) block += one;
    for (int i = 0; i < 1000; ++i)
        reader.OnServerBytes(reinterpret_cast<const unsigned char*>(block.data()), block.size());
    EXPECT_EQ(1000000u, reader.Responses());
    EXPECT_FALSE(reader.Lost());

    // Requests that are never answered: the queue stops at its bound and the reader gives up.
    HttpConnectionReader asking(nullptr);
    const std::string req = Get("/x.ts");
    for (int i = 0; i < 100000; ++i)
        asking.OnClientBytes(reinterpret_cast<const unsigned char*>(req.data()), req.size());
    EXPECT_LE(asking.PendingRequests(), HttpConnectionReader::kMaxPendingRequests);
}

TEST(HlsPlaylist, MediaMasterAndBounds) {
    const std::string media =
        "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-MEDIA-SEQUENCE:41\r\n#EXT-X-MAP:URI=\"init.mp4\"\r\n"
        "#EXTINF:1.0,\r\nseg41.m4s?tok=1\r\n#EXT-X-KEY:METHOD=AES-128,URI=\"k.bin\"\r\n"
        "#EXTINF:1.0,\r\n/abs/seg42.m4s\r\n#EXT-X-KEY:METHOD=NONE\r\n#EXTINF:1.0,\r\n"
        "http://other:81/a/../seg43.m4s\r\n#EXT-X-ENDLIST\r\n";
    const HlsPlaylist p = ParseHlsPlaylist(media.data(), media.size());
    ASSERT_TRUE(p.valid);
    EXPECT_FALSE(p.master);
    EXPECT_TRUE(p.endList);
    ASSERT_EQ(3u, p.segments.size());
    EXPECT_EQ(41, p.segments[0].sequence);
    EXPECT_EQ(43, p.segments[2].sequence);
    EXPECT_EQ("init.mp4", p.segments[0].mapUri);
    EXPECT_FALSE(p.segments[0].encrypted);
    EXPECT_TRUE(p.segments[1].encrypted);
    EXPECT_FALSE(p.segments[2].encrypted);

    const std::string master =
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=800000\nlow/index.m3u8\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",URI=\"audio/en.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=1600000\nhigh/index.m3u8?x=2\n";
    const HlsPlaylist m = ParseHlsPlaylist(master.data(), master.size());
    EXPECT_TRUE(m.master);
    EXPECT_EQ((std::vector<std::string>{"low/index.m3u8", "audio/en.m3u8", "high/index.m3u8?x=2"}),
              m.variants);

    EXPECT_FALSE(ParseHlsPlaylist("<html>", 6).valid);

    std::string big = "#EXTM3U\n";
    for (int i = 0; i < 10000; ++i)
        big += "#EXTINF:1,\n../../../../etc/s" + std::to_string(i) + ".ts\n";
    const HlsPlaylist b = ParseHlsPlaylist(big.data(), big.size());
    ASSERT_EQ(10000u, b.segments.size());
    EXPECT_EQ(9999, b.segments.back().sequence);
}

TEST(HlsPlaylist, ResolveTable) {
    const std::string base = "http://h:8/live/cam/index.m3u8?token=abc";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"seg1.ts", "http://h:8/live/cam/seg1.ts"},
        {"seg1.ts?t=9", "http://h:8/live/cam/seg1.ts?t=9"},
        {"/root.ts", "http://h:8/root.ts"},
        {"../x/./y.ts", "http://h:8/live/x/y.ts"},
        {"../../../../../etc/passwd", "http://h:8/etc/passwd"},
        {"//cdn/v/a.ts", "http://cdn/v/a.ts"},
        {"https://cdn:4/a/../b.ts?q", "https://cdn:4/b.ts?q"},
        {"?only=query", "http://h:8/live/cam/index.m3u8?only=query"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, ResolveUri(base, c.first)) << c.first;
    EXPECT_EQ("", ResolveUri("not a url", "a.ts"));
}

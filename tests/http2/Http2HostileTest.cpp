// Conversations built frame by frame, honest and hostile: what the reader reports, which
// direction stops and why. Every case also goes in one byte at a time and, when small, cut at
// every byte boundary: the report may not depend on how the bytes arrive.

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <cctype>
#include <functional>
#include <utility>
#include <vector>

#include "http2/Http2Connection.h"
#include "http2/Http2Transcript.h"

namespace {

using Header = std::pair<std::string, std::string>;
using F = Http2Connection::Failure;

using http2test::Frame;

enum : uint8_t { DATA = 0, HEADERS = 1, RST = 3, SETTINGS = 4, PUSH = 5, PING = 6, CONT = 9 };
enum : uint8_t { END_STREAM = 1, END_HEADERS = 4, PADDED = 8, PRIORITY = 0x20 };

// One side's HPACK encoder.
class Encoder {
  public:
    Encoder() { nghttp2_hd_deflate_new(&m_deflater, 65536); }
    ~Encoder() { nghttp2_hd_deflate_del(m_deflater); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    void TableSize(size_t size) { nghttp2_hd_deflate_change_table_size(m_deflater, size); }
    std::string Block(const std::vector<Header>& headers) {
        std::vector<nghttp2_nv> nva;
        for (const Header& h : headers)
            nva.push_back({reinterpret_cast<uint8_t*>(const_cast<char*>(h.first.data())),
                           reinterpret_cast<uint8_t*>(const_cast<char*>(h.second.data())),
                           h.first.size(), h.second.size(), NGHTTP2_NV_FLAG_NONE});
        std::string out(nghttp2_hd_deflate_bound(m_deflater, nva.data(), nva.size()), '\0');
        const ssize_t n = nghttp2_hd_deflate_hd(m_deflater, reinterpret_cast<uint8_t*>(&out[0]),
                                                out.size(), nva.data(), nva.size());
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }

  private:
    nghttp2_hd_deflater* m_deflater = nullptr;
};

const std::string kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

struct Conversation {
    std::string bytes[2];
    Encoder encoder[2];
    Conversation() {
        bytes[0] = kPreface + Frame(SETTINGS, 0, 0, "");
        bytes[1] = Frame(SETTINGS, 0, 0, "");
    }
    std::string RequestBlock(const std::string& path) {
        return encoder[0].Block({{":method", "GET"},
                                 {":scheme", "https"},
                                 {":authority", "cdn.example"},
                                 {":path", path},
                                 {"user-agent", "test"}});
    }
    void Request(uint32_t stream, const std::string& path) {
        bytes[0] += Frame(HEADERS, END_HEADERS | END_STREAM, stream, RequestBlock(path));
    }
    void Response(uint32_t stream, const std::string& body,
                  const std::string& type = "video/mp2t") {
        bytes[1] += Frame(HEADERS, END_HEADERS, stream,
                          encoder[1].Block({{":status", "200"}, {"content-type", type}}));
        bytes[1] += Frame(DATA, END_STREAM, stream, body);
    }
};

struct Outcome {
    std::string text;
    F failure[2];
};

Outcome Read(const Conversation& c,
             const std::function<void(Http2Connection&, int, const std::string&)>& feed) {
    http2test::Transcript t;
    Http2Connection h2(&t);
    feed(h2, 0, c.bytes[0]);
    feed(h2, 1, c.bytes[1]);
    return {t.text, {h2.FailureOf(0), h2.FailureOf(1)}};
}

void Whole(Http2Connection& h2, int d, const std::string& s) {
    h2.OnBytes(d, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

struct Case {
    const char* name;
    std::function<void(Conversation&)> build;
    F client;
    F server;
    const char* expected;  // the transcript, or null to check only that it is split-invariant
};

const std::string kBomb(4000, 'x');

const Case kCases[] = {
    {"honest exchange with padding, priority and a 1xx",
     [](Conversation& c) {
         // HEADERS padded and with priority, its block split over two CONTINUATIONs.
         const std::string block = c.RequestBlock("/live/a.m3u8");
         const std::string payload =
             std::string(1, 3) + std::string("\x80\0\0\0\x10", 5) + block.substr(0, 4) + "pad";
         c.bytes[0] += Frame(HEADERS, PADDED | PRIORITY | END_STREAM, 1, payload);
         c.bytes[0] += Frame(CONT, 0, 1, block.substr(4, 3));
         c.bytes[0] += Frame(CONT, END_HEADERS, 1, block.substr(7));
         c.bytes[0] += Frame(PING, 0, 0, "12345678");
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 1, c.encoder[1].Block({{":status", "103"}}));
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 1,
                             c.encoder[1].Block({{":status", "200"},
                                                 {"content-type", "application/x-mpegurl"},
                                                 {"content-encoding", "gzip"}}));
         c.bytes[1] += Frame(DATA, PADDED, 1, std::string(1, 2) + "#EXTM3U" + "zz");
         c.bytes[1] += Frame(DATA, 0, 1, "\n");
         c.bytes[1] += Frame(DATA, END_STREAM, 1, "");
     },
     F::kNone, F::kNone,
     "request 1 GET https cdn.example /live/a.m3u8\n"
     "response 1 200 application/x-mpegurl\nencoding 1 gzip\ndata 1 #EXTM3U\n\nend 1\n"},
    {"interleaved streams, trailers, a reset, a push and data for unknown streams",
     [](Conversation& c) {
         c.Request(1, "/a");
         c.Request(3, "/b");
         c.Request(5, "/c");
         c.bytes[0] += Frame(RST, 0, 5, std::string(4, '\0'));
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 3, c.encoder[1].Block({{":status", "404"}}));
         // A pushed request's block enters the server's table; the next blocks still decode.
         c.bytes[1] += Frame(PUSH, END_HEADERS, 1,
                             std::string("\0\0\0\x02", 4) +
                                 c.encoder[1].Block({{":method", "GET"}, {":path", "/pushed"}}));
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 2, c.encoder[1].Block({{":status", "200"}}));
         c.bytes[1] += Frame(DATA, END_STREAM, 2, "pushed body");
         c.bytes[1] += Frame(DATA, 0, 3, "B1");
         c.Response(1, "A");
         c.bytes[1] += Frame(DATA, 0, 3, "B2");
         c.bytes[1] += Frame(HEADERS, END_HEADERS | END_STREAM, 3,
                             c.encoder[1].Block({{"grpc-status", "0"}, {":path", "/pushed"}}));
         c.bytes[1] += Frame(DATA, END_STREAM, 9, "never asked");
     },
     F::kNone, F::kNone,
     "request 1 GET https cdn.example /a\nrequest 3 GET https cdn.example /b\n"
     "request 5 GET https cdn.example /c\nend 5\nresponse 3 404 \ndata 3 B1\n"
     "response 1 200 video/mp2t\ndata 1 A\nend 1\ndata 3 B2\nend 3\n"},
    {"a larger table announced in SETTINGS is honoured",
     [](Conversation& c) {
         // 0x0001 = 65536 from the client: the server's encoder may then use a 64 KiB table.
         c.bytes[0] += Frame(SETTINGS, 0, 0, std::string("\0\x01\0\x01\0\0", 6));
         c.encoder[1].TableSize(65536);
         c.Request(1, "/big");
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 1,
                             c.encoder[1].Block({{":status", "200"},
                                                 {"x-a", std::string(3000, 'a')},
                                                 {"x-b", std::string(3000, 'b')}}));
         c.bytes[1] += Frame(HEADERS, END_HEADERS | END_STREAM, 1,
                             c.encoder[1].Block({{"x-a", std::string(3000, 'a')},
                                                 {"x-b", std::string(3000, 'b')}}));
     },
     F::kNone, F::kNone, "request 1 GET https cdn.example /big\nresponse 1 200 \nend 1\n"},
    {"the same table without the SETTINGS that allows it",
     [](Conversation& c) {
         c.encoder[1].TableSize(65536);
         c.Request(1, "/big");
         c.bytes[1] +=
             Frame(HEADERS, END_HEADERS, 1, c.encoder[1].Block({{":status", "200"}, {"x-a", "a"}}));
     },
     F::kNone, F::kCompression, "request 1 GET https cdn.example /big\nend 1\n"},
    {"no connection preface", [](Conversation& c) { c.bytes[0][3] = 'X'; }, F::kPreface, F::kNone,
     ""},
    {"DATA whose padding is longer than the frame",
     [](Conversation& c) {
         c.Request(1, "/a");
         c.bytes[1] += Frame(DATA, PADDED, 1, std::string(1, 9) + "abc");
     },
     F::kNone, F::kFrame, "request 1 GET https cdn.example /a\nend 1\n"},
    {"HEADERS whose padding is longer than the frame",
     [](Conversation& c) {
         c.bytes[0] += Frame(HEADERS, PADDED | END_HEADERS, 1, std::string(1, 40) + "abc");
     },
     F::kFrame, F::kNone, ""},
    {"HEADERS with priority but too short for it",
     [](Conversation& c) { c.bytes[0] += Frame(HEADERS, PRIORITY | END_HEADERS, 1, "abc"); },
     F::kFrame, F::kNone, ""},
    {"RST_STREAM and SETTINGS of the wrong lengths",
     [](Conversation& c) {
         c.bytes[0] += Frame(RST, 0, 1, "abc");
         c.bytes[1] += Frame(SETTINGS, 0, 0, "abcdefg");
     },
     F::kFrame, F::kFrame, ""},
    {"DATA on stream 0", [](Conversation& c) { c.bytes[1] += Frame(DATA, 0, 0, "x"); }, F::kNone,
     F::kFrame, ""},
    {"CONTINUATION without HEADERS",
     [](Conversation& c) { c.bytes[0] += Frame(CONT, END_HEADERS, 1, c.RequestBlock("/a")); },
     F::kSequence, F::kNone, ""},
    {"another frame inside a header block",
     [](Conversation& c) {
         const std::string block = c.RequestBlock("/a");
         c.bytes[0] += Frame(HEADERS, 0, 1, block.substr(0, 3));
         c.bytes[0] += Frame(PING, 0, 0, "12345678");
     },
     F::kSequence, F::kNone, ""},
    {"CONTINUATION of another stream",
     [](Conversation& c) {
         const std::string block = c.RequestBlock("/a");
         c.bytes[0] += Frame(HEADERS, 0, 1, block.substr(0, 3));
         c.bytes[0] += Frame(CONT, END_HEADERS, 3, block.substr(3));
     },
     F::kSequence, F::kNone, ""},
    {"a flood of empty CONTINUATIONs",
     [](Conversation& c) {
         c.bytes[0] += Frame(HEADERS, 0, 1, "");
         for (int i = 0; i < 5000; ++i) c.bytes[0] += Frame(CONT, 0, 1, "");
     },
     F::kHeaderBlock, F::kNone, ""},
    {"a header block past its bound over CONTINUATIONs",
     [](Conversation& c) {
         c.bytes[0] += Frame(HEADERS, 0, 1, std::string(16384, '\0'));
         for (int i = 0; i < 20; ++i) c.bytes[0] += Frame(CONT, 0, 1, std::string(16384, '\0'));
     },
     F::kHeaderBlock, F::kNone, ""},
    {"a HEADERS frame that claims 16 MiB and stops",
     [](Conversation& c) { c.bytes[0] += Frame(HEADERS, END_HEADERS, 1, "abc", 0xFFFFFF); },
     F::kHeaderBlock, F::kNone, ""},
    {"a DATA frame that claims 16 MiB: its bytes stream out as they come",
     [](Conversation& c) {
         c.Request(1, "/a");
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 1, c.encoder[1].Block({{":status", "200"}}));
         c.bytes[1] += Frame(DATA, 0, 1, "partial", 0xFFFFFF);
     },
     F::kNone, F::kNone, "request 1 GET https cdn.example /a\nresponse 1 200 \ndata 1 partial\n"},
    {"an HPACK bomb: one 4000-byte table entry named over and over",
     [](Conversation& c) {
         // Literal with incremental indexing, new name: the entry becomes index 62.
         std::string block = std::string("\x40\x01z\x7f", 4);
         size_t n = kBomb.size() - 127;  // the value's length as an HPACK integer
         for (; n >= 128; n >>= 7) block += static_cast<char>(0x80 | (n & 0x7F));
         block += static_cast<char>(n);
         block += kBomb;
         block += std::string(2000, '\xBE');  // indexed 62, 1 byte for 4 KB each
         c.bytes[1] += Frame(HEADERS, END_HEADERS, 1, block);
     },
     F::kNone, F::kHeaderList, ""},
    {"too many small headers",
     [](Conversation& c) {
         c.bytes[0] +=
             Frame(HEADERS, END_HEADERS, 1, std::string("\x84\x87", 2) + std::string(1000, '\x82'));
     },
     F::kHeaderList, F::kNone, ""},
    {"an index past the table",
     [](Conversation& c) {
         c.bytes[0] += Frame(HEADERS, END_HEADERS, 1, "\xff\x70");
         c.Response(1, "x");
     },
     F::kCompression, F::kNone, ""},
};

class Hostile : public ::testing::TestWithParam<Case> {};

TEST_P(Hostile, ReportsAndStopsAsItShould) {
    Conversation c;
    GetParam().build(c);
    const Outcome whole = Read(c, Whole);
    EXPECT_EQ(whole.failure[0], GetParam().client)
        << Http2Connection::FailureText(whole.failure[0]);
    EXPECT_EQ(whole.failure[1], GetParam().server)
        << Http2Connection::FailureText(whole.failure[1]);
    if (GetParam().expected != nullptr) {
        EXPECT_EQ(whole.text, GetParam().expected);
    }

    const Outcome bytewise = Read(c, [](Http2Connection& h2, int d, const std::string& s) {
        for (char b : s) {
            const unsigned char u = static_cast<unsigned char>(b);
            h2.OnBytes(d, &u, 1);
        }
    });
    EXPECT_EQ(bytewise.text, whole.text);
    EXPECT_EQ(bytewise.failure[0], whole.failure[0]);
    EXPECT_EQ(bytewise.failure[1], whole.failure[1]);

    for (int d = 0; d < 2; ++d) {
        if (c.bytes[d].size() > 2048) continue;
        for (size_t cut = 1; cut < c.bytes[d].size(); ++cut) {
            const Outcome split = Read(c, [&](Http2Connection& h2, int dir, const std::string& s) {
                if (dir != d) return Whole(h2, dir, s);
                Whole(h2, dir, s.substr(0, cut));
                Whole(h2, dir, s.substr(cut));
            });
            ASSERT_EQ(split.text, whole.text) << "direction " << d << " cut at " << cut;
            ASSERT_EQ(split.failure[d], whole.failure[d]) << "direction " << d << " cut at " << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Hostile, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& param) {
                             std::string n;
                             for (const char* p = param.param.name; *p != '\0'; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

// Past the open-stream bound, requests go unreported; the streams they would have been get
// nothing, and the first ones still get their responses.
TEST(Http2Streams, BoundedAndAbandonedOnLoss) {
    Conversation c;
    for (uint32_t s = 1; s <= 2 * Http2Connection::kMaxOpenStreams + 11; s += 2) c.Request(s, "/x");
    c.Response(1, "first");
    c.Response(2 * Http2Connection::kMaxOpenStreams + 1, "past the bound");
    http2test::Transcript t;
    Http2Connection h2(&t);
    Whole(h2, 0, c.bytes[0]);
    EXPECT_EQ(h2.OpenStreams(), Http2Connection::kMaxOpenStreams);
    Whole(h2, 1, c.bytes[1]);
    EXPECT_EQ(t.ends, 1);
    EXPECT_NE(t.text.find("data 1 first\nend 1\n"), std::string::npos);
    EXPECT_EQ(t.text.find("past the bound"), std::string::npos);
    // The server's bytes lost: every stream still waiting ends, once.
    h2.OnGap(1);
    EXPECT_TRUE(h2.Failed(1));
    EXPECT_EQ(t.ends, static_cast<int>(Http2Connection::kMaxOpenStreams));
    EXPECT_EQ(h2.OpenStreams(), 0u);
    h2.Close();
    Whole(h2, 1, Frame(DATA, END_STREAM, 3, "after the gap"));
    EXPECT_EQ(t.ends, static_cast<int>(Http2Connection::kMaxOpenStreams));
}

}  // namespace

// The body of a response is the bulk of an HTTP/2 connection: its DATA frames, however they are
// cut and padded, and the PING and WINDOW_UPDATE frames between them go to the sink straight
// from the caller's buffer, without a copy and without an allocation.

#include <gtest/gtest.h>

#include <string>

#include "http2/Http2Connection.h"
#include "http2/Http2Transcript.h"

#include "CountedAllocations.h"

namespace {

struct Sink : Http2Sink {
    const unsigned char* from = nullptr;
    const unsigned char* to = nullptr;
    uint64_t bytes = 0;
    bool outside = false;
    void OnRequest(uint32_t, const std::string&, const std::string&, const std::string&,
                   const std::string&) override {}
    void OnResponse(uint32_t, int, const std::string&) override {}
    void OnData(uint32_t, const unsigned char* data, size_t length) override {
        outside |= data < from || data + length > to;
        bytes += length;
    }
    void OnStreamEnd(uint32_t, bool) override {}
};

TEST(Http2HotPath, ResponseBodiesAllocateNothing) {
    using http2test::Frame;
    Sink sink;
    Http2Connection h2(&sink);
    // :method GET, :scheme https, :path /, then :status 200, all from the static table.
    const std::string client = std::string("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") +
                               Frame(4, 0, 0, "") + Frame(1, 5, 1, "\x82\x87\x84");
    h2.OnBytes(0, reinterpret_cast<const unsigned char*>(client.data()), client.size());
    const std::string head = Frame(4, 0, 0, "") + Frame(1, 4, 1, "\x88");
    h2.OnBytes(1, reinterpret_cast<const unsigned char*>(head.data()), head.size());
    std::string body;
    for (int i = 0; i < 200; ++i) {
        body += Frame(0, 0, 1, std::string(1000 + i, 'v'));
        body += Frame(0, 8, 1, std::string(1, 7) + std::string(300, 'p') + std::string(7, '\0'));
        body += Frame(6, 0, 0, "12345678") + Frame(8, 0, 1, std::string("\0\0\x10\0", 4));
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
    sink.from = bytes;
    sink.to = bytes + body.size();

    g_allocations = 0;
    g_counting = true;
    for (size_t at = 0, cut = 1; at < body.size(); at += cut, cut = cut * 7 % 1499 + 1)
        h2.OnBytes(1, bytes + at, std::min(cut, body.size() - at));
    g_counting = false;

    EXPECT_EQ(g_allocations, 0u);
    EXPECT_FALSE(sink.outside);
    EXPECT_EQ(sink.bytes, 200u * 1000 + 199 * 200 / 2 + 200 * 300);
    EXPECT_FALSE(h2.Failed(1));
    EXPECT_EQ(h2.OpenStreams(), 1u);
}

}  // namespace

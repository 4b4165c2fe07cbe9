// Both directions of one HTTP/2 connection through the frame reader and the HPACK decoder.
//
// Input: chunks (2-byte length, see SplitChunks) whose first byte says what the rest is: 0 client
// bytes, 1 server bytes, 2 a gap in the client's bytes, 3 a gap in the server's, 4 the end of the
// connection.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "http2/Http2Connection.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct Sink : Http2Sink {
    const Http2Connection* h2 = nullptr;
    std::set<uint32_t> open;
    std::set<uint32_t> ended;
    std::set<uint32_t> responded;
    volatile unsigned char last = 0;

    void OnRequest(uint32_t stream, const std::string& method, const std::string&,
                   const std::string&, const std::string&) override {
        Check(!method.empty(), "a request without a method");
        Check(stream != 0 && open.count(stream) == 0 && ended.count(stream) == 0,
              "a request on a stream already used");
        Check(!h2->Failed(0), "a request after the client's bytes stopped");
        open.insert(stream);
        Check(open.size() <= Http2Connection::kMaxOpenStreams, "open streams beyond their bound");
    }
    void OnResponse(uint32_t stream, int, const std::string& contentType) override {
        Check(open.count(stream) == 1, "a response on a stream not open");
        Check(responded.insert(stream).second, "two final responses on one stream");
        Check(contentType.size() <= Http2Connection::kMaxHeaderList, "a header past the bound");
    }
    void OnData(uint32_t stream, const unsigned char* data, size_t length) override {
        Check(open.count(stream) == 1, "data on a stream not open");
        Check(!h2->Failed(1), "data after the server's bytes stopped");
        Check(length > 0, "empty data");
        last = data[length - 1];  // the whole block is readable
    }
    void OnStreamEnd(uint32_t stream, bool) override {
        Check(open.erase(stream) == 1, "an end of a stream not open");
        ended.insert(stream);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    Sink sink;
    Http2Connection h2(&sink);
    sink.h2 = &h2;
    for (const auto& chunk : fuzzsupport::SplitChunks(data, size)) {
        if (chunk.second == 0) continue;
        const size_t n = chunk.second - 1;
        const uint8_t kind = chunk.first[0] % 5;
        fuzzsupport::ExactCopy bytes(chunk.first + 1, n);
        switch (kind) {
            case 0:
            case 1:
                h2.OnBytes(kind, bytes.data(), n);
                break;
            case 2:
            case 3:
                h2.OnGap(kind - 2);
                break;
            case 4:
                h2.Close();
                break;
        }
        Check(h2.OpenStreams() == sink.open.size(), "open streams counted wrong");
        Check(!h2.Failed(1) || h2.OpenStreams() == 0, "streams open after the server stopped");
    }
    h2.Close();
    Check(sink.open.empty(), "a stream open after the end");
    return 0;
}

// A connection's collected bytes through the three address extractors; the HTTP extraction
// resumed over every prefix, as the bytes grow segment by segment, against a fresh one; and a
// collection that waits for a "Host" against the extraction over all its bytes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "analyse/StreamUriExtract.h"
#include "netunpack/NetUnpack.h"

namespace {

volatile unsigned g_sink;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::string(prefix).size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // What a connection collects: a first frame of up to 4096 bytes, then segments until 2048
    // more have come.
    if (size > 8192) return 0;
    fuzzsupport::ExactCopy whole(data, size);
    const int n = whole.size();

    const std::string rtmp = ExtractRtmpUri(whole.data(), n);
    for (char c : rtmp)
        Check(static_cast<unsigned char>(c) < 0xC0, "a chunk-header byte in an RTMP address");
    Check(rtmp.empty() || rtmp.find('/') != std::string::npos, "an RTMP address without '/'");
    std::string trimmed = rtmp;
    RemoveDefaultRtmpPort(&trimmed);
    Check(trimmed == rtmp || trimmed.size() + 5 == rtmp.size(), "more than one port removed");

    const std::string rtsp = ExtractRtspUri(whole.data(), n);
    Check(rtsp.empty() || std::string(reinterpret_cast<const char*>(data), size).find(rtsp) !=
                              std::string::npos,
          "an RTSP address that is not in the bytes");

    const std::string http = ExtractHttpUri(whole.data(), n);
    Check(http.empty() || StartsWith(http, "http://"), "an HTTP address without its scheme");

    // Every prefix in a block of its own size, so a resumed search that reads past the bytes it
    // was given is an ASan report.
    HttpSearchMemo memo;
    std::string last;
    for (int length = 1; length <= n; ++length) {
        fuzzsupport::ExactCopy prefix(data, static_cast<size_t>(length));
        const std::string resumed = ExtractHttpUri(prefix.data(), length, memo);
        Check(resumed == ExtractHttpUri(prefix.data(), length),
              "resumed HTTP extraction differs from a fresh one");
        last = resumed;
    }
    Check(last == http, "the last resumed HTTP extraction differs from the whole one");

    // The last byte chooses the first frame's length; segments of 1 to 8 bytes follow.
    const int first = n > 1 ? 1 + data[size - 1] % (n - 1) : n;
    if (n > 1 && HttpWaitsForHost(whole.data(), first)) {
        HttpHostWait wait;
        wait.Start(whole.data(), first);
        std::string held;
        for (int at = first; at < n;) {
            int step = 1 + (data[at] + at) % 8;
            if (step > n - at) step = n - at;
            if (wait.Waiting() && !wait.Pass(whole.data() + at, step))
                held.assign(reinterpret_cast<const char*>(wait.StandIn()), wait.StandInLen());
            if (!wait.Waiting())
                held.append(reinterpret_cast<const char*>(whole.data() + at), step);
            at += step;
            fuzzsupport::ExactCopy kept(reinterpret_cast<const uint8_t*>(held.data()), held.size());
            const std::string found =
                wait.Waiting() ? std::string() : ExtractHttpUri(kept.data(), kept.size());
            Check(found == ExtractHttpUri(whole.data(), at),
                  "a collection waiting for Host finds another address than all its bytes give");
            Check(kept.size() + wait.Hidden() == at,
                  "a waiting collection lost count of its bytes");
        }
    }
    g_sink = static_cast<unsigned>(rtmp.size() + rtsp.size() + http.size() + last.size());
    return 0;
}

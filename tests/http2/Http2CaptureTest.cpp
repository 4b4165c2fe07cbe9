// Real HTTP/2 sessions over TLS (scripts/captures/tls.sh): curl fetching an HLS and a page from
// nginx, one after another or all at once with gzip, decrypted with curl's key log and read frame
// by frame, against the HEADERS tshark decoded from the same capture and the MD5 of each file nginx
// served.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include <zlib.h>

#include "common/MD5Checksum.h"
#include "http2/Http2Connection.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnection.h"
#include "tls/TlsStreams.h"

namespace {

using tlstest::ReadTruth;
using tlstest::Truth;

// A gzip body as the client reads it; empty when it is not gzip.
std::string Gunzip(const std::string& bytes) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return {};
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        char buffer[16384];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

std::string Md5(const std::string& bytes) {
    std::string digest = CMD5Checksum::GetMD5(bytes);
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return digest;
}

// Decrypted bytes go on into the HTTP/2 reader; a direction the TLS layer ends is lost to it.
struct Pipe : TlsSink, Http2Sink {
    Http2Connection h2{this};
    std::vector<std::string> requests;
    std::vector<std::string> responses;
    std::map<uint32_t, std::string> paths;
    std::map<uint32_t, std::string> contentTypes;
    std::map<uint32_t, std::string> bodies;
    std::map<uint32_t, std::string> encodings;
    std::map<uint32_t, int> ends;
    std::vector<std::pair<int, std::string>> plain;  // in capture order

    void OnPlaintext(int d, const unsigned char* data, size_t length) override {
        plain.emplace_back(d, std::string(reinterpret_cast<const char*>(data), length));
        h2.OnBytes(d, data, length);
    }
    void OnEnd(int d, int) override { h2.OnGap(d); }

    void OnRequest(uint32_t stream, const std::string& method, const std::string& scheme,
                   const std::string& authority, const std::string& path) override {
        requests.push_back(std::to_string(stream) + " " + method + " " + scheme + " " + authority +
                           " " + path);
        paths[stream] = path;
    }
    void OnResponse(uint32_t stream, int status, const std::string& contentType) override {
        responses.push_back(std::to_string(stream) + " " + std::to_string(status));
        contentTypes[stream] = contentType;
    }
    void OnContentEncoding(uint32_t stream, const std::string& encoding) override {
        encodings[stream] = encoding;
    }
    void OnData(uint32_t stream, const unsigned char* data, size_t length) override {
        EXPECT_EQ(ends.count(stream), 0u) << "data after the end of " << stream;
        bodies[stream].append(reinterpret_cast<const char*>(data), length);
    }
    void OnStreamEnd(uint32_t stream, bool) override { ++ends[stream]; }
};

class Http2Capture : public ::testing::TestWithParam<const char*> {};

TEST_P(Http2Capture, RequestsAndBodiesAsTsharkAndNginxSawThem) {
    const std::string name = GetParam();
    const Truth truth = ReadTruth(name);
    ASSERT_GE(truth.requests.size(), 4u);
    ASSERT_EQ(truth.bodies.size(), truth.requests.size());
    KeyLog keys;
    ASSERT_TRUE(keys.ReadFile(tlstest::Path(name, ".keys")));
    Pipe pipe;
    TlsConnection tls(&keys, &pipe);
    tlstest::Feed(tls, tlstest::ReadConnection(tlstest::Path(name, ".pcap")));
    EXPECT_EQ(tls.ServerName(), truth.sni);
    ASSERT_TRUE(tls.Keyed());
    // The client's first record, which may follow the server's SETTINGS.
    auto first = std::find_if(pipe.plain.begin(), pipe.plain.end(),
                              [](const std::pair<int, std::string>& r) { return r.first == 0; });
    ASSERT_NE(first, pipe.plain.end());
    EXPECT_TRUE(Http2Connection::StartsLikeHttp2(
        reinterpret_cast<const unsigned char*>(first->second.data()), first->second.size()));
    EXPECT_FALSE(pipe.h2.Failed(0)) << Http2Connection::FailureText(pipe.h2.FailureOf(0));
    EXPECT_FALSE(pipe.h2.Failed(1)) << Http2Connection::FailureText(pipe.h2.FailureOf(1));
    EXPECT_EQ(pipe.requests, truth.requests);
    EXPECT_EQ(pipe.responses, truth.responses);
    EXPECT_EQ(pipe.h2.OpenStreams(), 0u);
    for (const auto& stream : pipe.paths) {
        SCOPED_TRACE(stream.second);
        EXPECT_EQ(pipe.ends[stream.first], 1);
        ASSERT_EQ(truth.bodies.count(stream.second), 1u);
        std::string body = pipe.bodies[stream.first];
        if (pipe.encodings.count(stream.first) != 0) {
            EXPECT_EQ(pipe.encodings[stream.first], "gzip");
            body = Gunzip(body);
        }
        EXPECT_EQ(Md5(body), truth.bodies.at(stream.second));
        const bool segment = stream.second.size() > 3 &&
                             stream.second.compare(stream.second.size() - 3, 3, ".ts") == 0;
        if (segment) {
            EXPECT_EQ(pipe.contentTypes[stream.first], "video/mp2t");
        }
    }
    EXPECT_EQ(pipe.contentTypes[1], "application/vnd.apple.mpegurl");
    // nginx gzips the playlist and the page of one session only.
    EXPECT_EQ(pipe.encodings.size(), name == "h2-parallel" ? 2u : 0u);

    // The decrypted bytes again in the same order, one at a time: the same requests and bodies.
    // (The client resets a stream once it has its response: the order of the directions counts.)
    Pipe bytewise;
    for (const auto& record : pipe.plain)
        for (char c : record.second) {
            const unsigned char u = static_cast<unsigned char>(c);
            bytewise.h2.OnBytes(record.first, &u, 1);
        }
    EXPECT_EQ(bytewise.requests, pipe.requests);
    EXPECT_EQ(bytewise.responses, pipe.responses);
    EXPECT_TRUE(bytewise.bodies == pipe.bodies);  // not printed: binary video
    EXPECT_EQ(bytewise.ends, pipe.ends);

    // The server's bytes lost halfway: the requests are all there, every stream ends once, and
    // each body is a prefix of the whole one.
    size_t serverBytes = 0;
    for (const auto& record : pipe.plain)
        serverBytes += record.first == 1 ? record.second.size() : 0;
    Pipe cut;
    size_t fed = 0;
    for (const auto& record : pipe.plain) {
        if (record.first == 1 && (fed += record.second.size()) > serverBytes / 2) {
            cut.h2.OnGap(1);
            continue;
        }
        cut.h2.OnBytes(record.first, reinterpret_cast<const unsigned char*>(record.second.data()),
                       record.second.size());
    }
    EXPECT_EQ(cut.requests, pipe.requests);
    EXPECT_LT(cut.responses.size(), pipe.responses.size());
    for (const auto& stream : cut.paths) {
        EXPECT_EQ(cut.ends[stream.first], 1) << stream.second;
        EXPECT_EQ(pipe.bodies[stream.first].compare(0, cut.bodies[stream.first].size(),
                                                    cut.bodies[stream.first]),
                  0)
            << stream.second;
    }
}

// The same kind of session without its key log: the TLS layer reads the server name and hands
// the HTTP/2 reader nothing, so nothing is reported.
TEST(Http2CaptureWithoutKeys, NothingButTheServerName) {
    KeyLog keys;
    Pipe pipe;
    TlsConnection tls(&keys, &pipe);
    tlstest::Feed(tls, tlstest::ReadConnection(tlstest::Path("h2-nokeys", ".pcap")));
    EXPECT_EQ(tls.ServerName(), ReadTruth("h2-nokeys").sni);
    EXPECT_FALSE(tls.Keyed());
    EXPECT_TRUE(pipe.plain.empty());
    EXPECT_TRUE(pipe.requests.empty());
    EXPECT_TRUE(pipe.bodies.empty());
}

// ffmpeg's HLS client (GnuTLS) over https speaks HTTP/1.1, a new connection now and then: its
// key log opens the first one, whose requests are the first tshark read, in order.
TEST(Http2CaptureFfmpeg, HttpsRequestLinesAsTsharkReadThem) {
    const std::string name = "hls-ffmpeg-https";
    KeyLog keys;
    ASSERT_TRUE(keys.ReadFile(tlstest::Path(name, ".keys")));
    tlstest::Gathered got;
    TlsConnection tls(&keys, &got);
    tlstest::Feed(tls, tlstest::ReadConnection(tlstest::Path(name, ".pcap")));
    EXPECT_EQ(tls.ServerName(), ReadTruth(name).sni);
    ASSERT_TRUE(tls.Keyed());
    EXPECT_FALSE(Http2Connection::StartsLikeHttp2(
        reinterpret_cast<const unsigned char*>(got.plain[0].data()), got.plain[0].size()));
    std::istringstream in(tlstest::ReadText(tlstest::Path(name, ".truth")));
    std::string line;
    size_t count = 0;
    for (size_t at = 0; std::getline(in, line);) {
        if (line.rfind("request ", 0) != 0) continue;
        at = got.plain[0].find(line.substr(8) + "\r\n", at);
        if (at == std::string::npos) break;
        ++count;
    }
    size_t lines = 0;
    for (size_t at = got.plain[0].find(" HTTP/1.1\r\n"); at != std::string::npos;
         at = got.plain[0].find(" HTTP/1.1\r\n", at + 1))
        ++lines;
    EXPECT_GE(count, 1u);
    EXPECT_EQ(lines, count);
    EXPECT_NE(got.plain[1].find("#EXTM3U"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Captures, Http2Capture,
                         ::testing::Values("h2-tls13", "h2-tls12", "h2-parallel"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string n = param.param;
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

}  // namespace

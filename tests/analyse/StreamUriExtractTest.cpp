#include "analyse/StreamUriExtract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "RealRequests.h"
#include "RtmpBytes.h"
#include "TestFrames.h"
#include "netunpack/NetUnpack.h"

using namespace rtmpbytes;
using namespace std::string_literals;

namespace {

struct Case {
    const char* what;
    std::string bytes;
    std::string want;
};

typedef std::string (*Extractor)(const unsigned char*, int);

// Runs the extractor over an exact-size heap copy, so a read past the end is an ASan report.
std::string RunOn(Extractor extract, const std::string& bytes) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + (bytes.empty())]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    return extract(exact.get(), static_cast<int>(bytes.size()));
}

std::string RunHttp(const unsigned char* b, int n) {
    return ExtractHttpUri(b, n);
}

// HttpWaitsForHost as a text, for the tables.
std::string RunWaits(const unsigned char* b, int n) {
    return HttpWaitsForHost(b, n) ? "waits" : "";
}

void Check(Extractor extract, const std::vector<Case>& table) {
    for (const Case& c : table) EXPECT_EQ(RunOn(extract, c.bytes), c.want) << c.what;
}

const testframes::Endpoint kClient{{192, 168, 1, 5}, 50000};
const testframes::Endpoint kServer{{10, 0, 0, 7}, 1935};

// A connection's collected bytes: the first frame, then the payloads that followed.
std::string Collected(const std::string& first, const std::string& rest = std::string()) {
    testframes::Bytes f = testframes::Frame(kClient, kServer, first);
    return std::string(f.begin(), f.end()) + rest;
}

std::string RtmpSession(const std::string& tcUrl, const std::string& name, size_t chunk = 4096) {
    return Collected(Chunked(3, 0x14, 0, ConnectBody(tcUrl), chunk),
                     Chunked(3, 0x14, 0, CreateStreamBody(), chunk) +
                         Chunked(8, 0x14, 1, PlayBody(name), chunk));
}

// A tcUrl whose ":1935" the 128-byte chunking cuts with a 0xC3 byte (before its '9').
const std::string kLongTcUrl = "rtmp://" + std::string(73, 'h') + ".net:1935/live";

}  // namespace

TEST(StreamUriExtract, Rtmp) {
    const std::string chunked = RtmpSession(kLongTcUrl, "cam", 128);
    ASSERT_NE(chunked.find(":1\xC3"
                           "935"),
              std::string::npos);
    const std::string createPlay =
        Chunked(3, 0x14, 0, CreateStreamBody()) + Chunked(8, 0x14, 1, PlayBody("s"));
    // The value with one stray byte in front and its length counting it.
    // The value with one stray byte in front and its length counting it.
    const std::string stray =
        Amf0String("connect") + Amf0Property("tcUrl", Amf0String("xrtmp://h/app")) + "\0\0\x09"s;
    const std::vector<Case> table = {
        {"plain session", RtmpSession("rtmp://host:1935/live", "stream1"),
         "rtmp://host:1935/live/stream1"},
        {"chunk byte inside tcUrl and its port", chunked, kLongTcUrl + "/cam"},
        {"chunk byte inside the name",
         RtmpSession("rtmp://h/app", std::string("ab\xC6"
                                                 "cd",
                                                 5)),
         "rtmp://h/app/abcd"},
        {"stray byte before rtmp", Collected(stray, createPlay), "rtmp://h/app/s"},
        {"scheme in capitals", RtmpSession("RTMP://h.example/app", "s"), "rtmp://h.example/app/s"},
        {"no tcUrl: the rtmp text and the length before it",
         Collected(Amf0Property("swfUrl", Amf0String("rtmp://h/a")), createPlay), "rtmp://h/a/s"},
        {"rtmp at the buffer start has no length before it", std::string("rtmp://h/a") + createPlay,
         ""},
        {"no createStream",
         Collected(Chunked(3, 0x14, 0, ConnectBody("rtmp://h/a")),
                   Chunked(8, 0x14, 1, PlayBody("s"))),
         ""},
        {"no play",
         Collected(Chunked(3, 0x14, 0, ConnectBody("rtmp://h/a")),
                   Chunked(3, 0x14, 0, CreateStreamBody())),
         ""},
        {"play without its name yet",
         Collected(Chunked(3, 0x14, 0, ConnectBody("rtmp://h/a")),
                   Chunked(3, 0x14, 0, CreateStreamBody()) + "play"),
         ""},
        {"name length cut", "tcUrl\x02\x00\x03rtmcreateStreamplay\x05\x02\x00"s, ""},
        {"no rtmp at all", Collected("GET / HTTP/1.1\r\nHost: h\r\n\r\n"), ""},
        {"empty", "", ""},
        // Declared lengths past the end: copying stops at the last byte.
        {"declared lengths of 65535",
         std::string("tcUrl\x02\xFF\xFFrtmp://h/acreateStream....play....\x05\x02\xFF\xF0name"),
         std::string("rtmp://h/acreateStream....play....\x05\x02name/name")},
        {"declared tcUrl length below the buffer length, past its end",
         std::string(300, 'x') + "tcUrl\x02\x01\x00rtmp://h/acreateStreamplay\x05\x02\x00\x05"
                                 "ab"s,
         std::string("rtmp://h/acreateStreamplay\x05\x02/ab")},
        {"value cut by the end", "tcUrl\x02\x00\x40rtmp"s, ""},
        {"length cut by the end", "xx tcUrl\x02\x00"s, ""},
    };
    Check(ExtractRtmpUri, table);
    EXPECT_EQ(RunOn(ExtractRtmpUri, std::string()), "");
    EXPECT_EQ(ExtractRtmpUri(nullptr, 10), "");
}

TEST(StreamUriExtract, Rtsp) {
    const std::vector<Case> table = {
        {"ffmpeg DESCRIBE", Collected(realrequests::kFfmpegDescribe), "rtsp://127.0.0.1:8554/test"},
        {"mixed case after the first letter", "OPTIONS rTSP://10.0.0.2/Upper RTSP/1.0\r\n\r\n",
         "rTSP://10.0.0.2/Upper"},
        {"all capitals", "SETUP RTSP://h/s RTSP/1.0\r\n\r\n", "RTSP://h/s"},
        {"capital R, small rest", "PLAY Rtsp://h/s RTSP/1.0\r\n\r\n", ""},
        {"no version yet", "SETUP rtsp://h/s", ""},
        {"a response naming an address", "RTSP/1.0 200 OK\r\nContent-Base: rtsp://h/s/\r\n\r\n",
         ""},
        {"empty", "", ""},
    };
    Check(ExtractRtspUri, table);
}

TEST(StreamUriExtract, Http) {
    const std::vector<Case> table = {
        {"ffmpeg HLS", Collected(realrequests::kFfmpegHls), "http://127.0.0.1:8000/hls/index.m3u8"},
        {"POST", Collected(realrequests::kCurlPost), "http://127.0.0.1:8000/form"},
        {"Referer naming a playlist", Collected(realrequests::kCurlReferer),
         "http://127.0.0.1:8000/page.html"},
        {"request without method", "XX /a.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n", "http://h"},
        {"method word only after the version", "XX /a.m3u8 HTTP/1.1\r\nHost: h\r\nX: GET\r\n\r\n",
         "http://h"},
        {"GET after the version beats an earlier POST",
         "POST /p HTTP/1.1\r\nHost: h\r\nX: GET\r\n\r\n", "http://h"},
        {"method right before the version", "GET HTTP/1.1\r\nHost: h\r\n\r\n", "http://h"},
        {"host without CRLF", "GET /a HTTP/1.1\r\nHost: h", ""},
        {"host name cut", "GET /a HTTP/1.1\r\nHost", ""},
        {"host line too short", "GET /a HTTP/1.1\r\nHost:\r\n\r\n", ""},
        {"empty host", "GET /a HTTP/1.1\r\nHost: \r\n\r\n", "http:///a"},
        {"host before the version", "Host: h\r\nGET /a HTTP/1.1\r\n\r\n", ""},
        {"a response", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", ""},
        {"no version", "GET /a\r\nHost: h\r\n\r\n", ""},
        {"empty", "", ""},
    };
    Check(RunHttp, table);
}

TEST(StreamUriExtract, DefaultRtmpPortGoesOnlyWhereItIsTheWholePort) {
    const std::vector<Case> table = {
        {"before the path", "rtmp://host:1935/live/stream1", "rtmp://host/live/stream1"},
        {"at the end", "rtmp://h:1935", "rtmp://h"},
        {"a longer port", "rtmp://h:19350/x/s", "rtmp://h:19350/x/s"},
        {"the first whole one", "rtmp://h:19350/a:1935/b", "rtmp://h:19350/a/b"},
        {"once", "rtmp://h:1935/a:1935", "rtmp://h/a:1935"},
        {"cut by a chunk byte", RunOn(ExtractRtmpUri, RtmpSession(kLongTcUrl, "cam", 128)),
         "rtmp://" + std::string(73, 'h') + ".net/live/cam"},
    };
    for (const Case& c : table) {
        std::string address = c.bytes;
        RemoveDefaultRtmpPort(&address);
        EXPECT_EQ(address, c.want) << c.what;
    }
}

// Looking again at a grown buffer, with the searches resumed, gives what a fresh look gives:
// real requests at every growth step, then after a reset on another connection's bytes.
TEST(StreamUriExtract, HttpResumedEqualsFreshAtEveryGrowthStep) {
    HttpSearchMemo memo;
    for (const char* request : {realrequests::kFfmpegHls, realrequests::kCurlPost,
                                realrequests::kCurlReferer, realrequests::kFfmpegDescribe}) {
        const std::string bytes = Collected(request, "body");
        memo.Reset();
        for (size_t n = 1; n <= bytes.size(); ++n) {
            std::unique_ptr<unsigned char[]> exact(new unsigned char[n]);
            std::memcpy(exact.get(), bytes.data(), n);
            const int length = static_cast<int>(n);
            ASSERT_EQ(ExtractHttpUri(exact.get(), length, memo),
                      ExtractHttpUri(exact.get(), length))
                << request << " at " << n;
        }
    }
}

// The same over random requests grown by random steps.
TEST(StreamUriExtract, HttpResumedOverRandomGrowthEqualsFresh) {
    const char* pieces[] = {"GET ", "POST ", "HTTP/1.1", "Host: ", "\r\n", "/a.m3u8", "Ho", "st",
                            "\r",   "\n",    "G",        "ET",     "x",    "HTTP",    "/"};
    unsigned seed = 7;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int round = 0; round < 400; ++round) {
        std::string text;
        while (text.size() < 120) text += pieces[next() % (sizeof(pieces) / sizeof(*pieces))];
        const auto* b = reinterpret_cast<const unsigned char*>(text.data());
        HttpSearchMemo memo;
        int n = 0;
        while (n < static_cast<int>(text.size())) {
            n = std::min(static_cast<int>(text.size()), n + 1 + static_cast<int>(next() % 9));
            ASSERT_EQ(ExtractHttpUri(b, n, memo), ExtractHttpUri(b, n)) << text.substr(0, n);
        }
    }
}

TEST(StreamUriExtract, WhatWaitsForAHost) {
    const std::vector<Case> table = {
        {"a response", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody", "waits"},
        {"a request", "GET /a HTTP/1.1\r\nHost: h\r\n\r\n", ""},
        {"a request whose Host is still to come", "GET /a HTTP/1.1\r\nUser-Agent: x\r\n", ""},
        {"a response naming a host", "HTTP/1.1 200 OK\r\nX-Forwarded-Host: cdn\r\n\r\n", ""},
        {"Host only before the version", "Host: h\r\nXX / HTTP/1.1\r\n", "waits"},
        {"a method right before the version", "GET HTTP/1.1\r\n", "waits"},
        {"a method with a gap before the version", "GET  HTTP/1.1\r\n", ""},
        {"GET only after the version", "XX /a HTTP/1.1\r\nX: GET\r\n", "waits"},
        {"a POST before the version", "POST /p HTTP/1.1\r\n", ""},
        {"GET across the version", "xGEHTTP/1.1 200\r\n", "waits"},
        {"no version", "GET /a\r\n", ""},
        {"a version cut", "HTTP", ""},
        {"empty", "", ""},
    };
    Check(RunWaits, table);
}

// A collection that only counts its bytes until a "Host" comes, then goes on from the stand-in,
// finds at every step what the extraction finds in all the bytes, over random texts cut into
// random first frames and segments.
TEST(StreamUriExtract, HostWaitFindsWhatAllTheBytesGive) {
    const char* pieces[] = {"HTTP/1.1 200 OK\r\n",
                            "Host: ",
                            "Ho",
                            "st",
                            "H",
                            "ost",
                            ": h\r\n",
                            "\r\n",
                            "\r",
                            "\n",
                            "GET ",
                            "POST ",
                            "/p",
                            "x",
                            "HTTP/",
                            "GE",
                            "T",
                            "Content-Length: 9\r\n"};
    unsigned seed = 11;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    int waited = 0, named = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string text = round % 2 ? "HTTP/1.1 200 OK\r\n" : "";
        while (text.size() < 90) text += pieces[next() % (sizeof(pieces) / sizeof(*pieces))];
        const auto* b = reinterpret_cast<const unsigned char*>(text.data());
        const int total = static_cast<int>(text.size());
        int n = 1 + static_cast<int>(next() % 40);
        if (!HttpWaitsForHost(b, n)) continue;
        ++waited;
        HttpHostWait wait;
        wait.Start(b, n);
        std::string held;
        while (n < total) {
            const int step = std::min(total - n, 1 + static_cast<int>(next() % 7));
            const std::string segment = text.substr(static_cast<size_t>(n), step);
            const auto* d = reinterpret_cast<const unsigned char*>(segment.data());
            if (wait.Waiting() && !wait.Pass(d, step)) {
                held.assign(reinterpret_cast<const char*>(wait.StandIn()), wait.StandInLen());
            }
            if (!wait.Waiting()) held += segment;
            n += step;
            const std::string whole = ExtractHttpUri(b, n);
            const std::string found =
                wait.Waiting() ? std::string()
                               : ExtractHttpUri(reinterpret_cast<const unsigned char*>(held.data()),
                                                static_cast<int>(held.size()));
            ASSERT_EQ(found, whole) << text.substr(0, n);
            ASSERT_EQ(static_cast<int>(held.size()) + wait.Hidden(), n) << text.substr(0, n);
            if (!whole.empty()) ++named;
        }
    }
    // The texts reach both sides: collections that wait, and addresses found after the wait.
    EXPECT_GT(waited, 200);
    EXPECT_GT(named, 200);
}

// The per-packet path: a segment that starts nothing and belongs to no tracked direction must
// not allocate. Every allocation of the core (malloc, wrapped at link time) and of the C++
// library (operator new, replaced here) is counted.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "RtmpBytes.h"
#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "capture/CaptureSource.h"
#include "capture/FrameQueue.h"
#include "decoder/FlvWriter.h"

#include "CountedAllocations.h"

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;

namespace {

// The allocations made while the frames go through the analyser `rounds` times.
size_t AllocationsOver(CVideoStreamUriAnalyse& analyser, const std::vector<Bytes>& frames,
                       int rounds) {
    pcap_pkthdr header{};
    g_allocations = 0;
    g_counting = true;
    for (int round = 0; round < rounds; ++round) {
        for (const Bytes& f : frames) {
            header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
            analyser.packet_handler(nullptr, &header, f.data());
        }
    }
    g_counting = false;
    return g_allocations;
}

}  // namespace

TEST(PerPacketPath, UntrackedSegmentsAllocateNothing) {
    CVideoStreamUriAnalyse analyser;
    // Some tracked connections exist, so the tables are not empty.
    Endpoint web{{10, 0, 0, 9}, 80};
    Endpoint rtmp{{10, 0, 0, 7}, 1935};
    std::vector<Bytes> starts = {
        Frame(Endpoint{{10, 0, 0, 1}, 40000}, web, "GET /a.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n"),
        Frame(Endpoint{{10, 0, 0, 1}, 40001}, rtmp,
              rtmpbytes::Chunked(3, 0x14, 0, rtmpbytes::ConnectBody("rtmp://h/live")))};
    pcap_pkthdr header{};
    for (const Bytes& f : starts) {
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        analyser.packet_handler(nullptr, &header, f.data());
    }
    std::vector<Bytes> quiet = {
        Frame(Endpoint{{10, 0, 0, 2}, 50000}, web, std::string(1400, 'x')),  // untracked data
        Frame(web, Endpoint{{10, 0, 0, 2}, 50000}, ""),                      // pure ack
        Frame(Endpoint{{10, 0, 0, 3}, 443}, Endpoint{{10, 0, 0, 2}, 51000},
              std::string("\x17\x03\x03\x05\x00", 5) + std::string(1200, 'q')),  // TLS-like
        Bytes(60, 0xAB),                                                         // not IPv4
    };
    EXPECT_EQ(AllocationsOver(analyser, quiet, 1000), 0u);
}

TEST(PerPacketPath, UntrackedSegmentsAllocateNothingWhileHttpIsRecorded) {
    // Every HTTP connection is followed for the recorder: the others still cost nothing.
    SetRecordAll(true);
    {
        CVideoStreamUriAnalyse analyser;
        Endpoint web{{10, 0, 0, 9}, 80};
        const Bytes start =
            Frame(Endpoint{{10, 0, 0, 1}, 40000}, web, "GET /a.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n");
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(start.size());
        analyser.packet_handler(nullptr, &header, start.data());
        ASSERT_EQ(1u, analyser.HttpFlowCount());
        std::vector<Bytes> quiet = {
            Frame(Endpoint{{10, 0, 0, 2}, 50000}, web, std::string(1400, 'x')),
            Frame(Endpoint{{10, 0, 0, 3}, 443}, Endpoint{{10, 0, 0, 2}, 51000},
                  std::string("\x17\x03\x03\x05\x00", 5) + std::string(1200, 'q')),
        };
        EXPECT_EQ(AllocationsOver(analyser, quiet, 1000), 0u);
    }
    ResetRecordingForTest();
}

TEST(PerPacketPath, LiveFramesReachTheAnalysisWithoutAllocating) {
    // A live device's path: taken apart on the reading thread, handed over in batches through
    // the queue, analysed on the other thread.
    CVideoStreamUriAnalyse analyser;
    Endpoint web{{10, 0, 0, 9}, 80};
    const Bytes start =
        Frame(Endpoint{{10, 0, 0, 1}, 40000}, web, "GET /a.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n");
    const std::vector<Bytes> quiet = {
        Frame(Endpoint{{10, 0, 0, 2}, 50000}, web, std::string(1400, 'x')),
        Frame(web, Endpoint{{10, 0, 0, 2}, 50000}, ""),
        Frame(Endpoint{{10, 0, 0, 3}, 443}, Endpoint{{10, 0, 0, 2}, 51000}, std::string(900, 'q')),
    };
    FrameQueue queue;
    std::thread analysis([&] {
        queue.Drain([&](const struct pcap_pkthdr* h, const u_char* data, const FrameLayout* l) {
            analyser.OnFrame(*h, data, l);
        });
    });
    pcap_pkthdr header{};
    auto push = [&](const Bytes& f) {
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        queue.Push(&header, f.data(), CaptureSource::ClassifyFrame(&header, f.data(), 1));
    };
    push(start);
    push(quiet[0]);
    queue.Hand();
    // The second frame counted: the first, which starts a connection, is wholly analysed.
    while (analyser.FramesSeen() < 2) std::this_thread::yield();
    g_allocations = 0;
    g_counting = true;
    for (int batch = 0; batch < 2000; ++batch) {
        for (int i = 0; i < 8; ++i) push(quiet[static_cast<size_t>(i) % quiet.size()]);
        queue.Hand();
    }
    g_counting = false;
    queue.Finish();
    analysis.join();
    EXPECT_EQ(g_allocations, 0u);
}

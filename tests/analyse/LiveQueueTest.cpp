// A live capture's queue when the analysis falls behind: the reading thread stops taking frames
// apart and keeps its block back, and what the analysis then gets is what it would have got.

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "RecordingWindow.h"
#include "TestFrames.h"
#include "analyse/VideoStreamUriAnalyse.h"
#include "capture/CaptureSource.h"
#include "capture/FrameQueue.h"

namespace {

std::atomic<int> g_classified{0};

void CountingClassifier(const struct pcap_pkthdr* h, const u_char* d, int link,
                        FrameLayout* layout) {
    ++g_classified;
    CaptureSource::ClassifyFrameInto(h, d, link, layout);
}

}  // namespace

TEST(LiveQueue, BehindTheAnalysisFramesGoUntakenApartAndTheLastBlockWaitsForIt) {
    // 16 frames fill a block; the analysis stalls on the first frame.
    const size_t kFrame = FrameQueue::kBlockSize / 16;
    const int kBlocks = 4;
    FrameQueue queue(8);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::vector<std::pair<uint32_t, bool>> seen;  // first four bytes, taken apart
    std::thread analysis([&] {
        queue.Drain([&](const struct pcap_pkthdr*, const u_char* data, const FrameLayout* l) {
            std::unique_lock<std::mutex> guard(m);
            cv.wait(guard, [&] { return release; });
            uint32_t n = 0;
            std::memcpy(&n, data, sizeof n);
            seen.emplace_back(n, l != nullptr);
        });
    });
    std::vector<unsigned char> frame(kFrame - 8, 0);
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    uint32_t number = 0;
    g_classified = 0;
    for (int b = 0; b < kBlocks; ++b) {
        for (int i = 0; i < 16; ++i, ++number) {
            std::memcpy(frame.data(), &number, sizeof number);
            ASSERT_TRUE(queue.PushLive(&header, frame.data(), &CountingClassifier, 1));
        }
        // Give the analysis its first block before the next fills.
        if (b == 0) {
            queue.Hand();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    // Two full blocks wait: the last one is kept back, however often it is offered.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue.Hand());
    EXPECT_TRUE(queue.Holding());
    {
        std::lock_guard<std::mutex> guard(m);
        release = true;
    }
    cv.notify_all();
    for (int i = 0; i < 2000 && queue.Holding(); ++i) {
        queue.Hand();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(queue.Holding());
    queue.Finish();
    analysis.join();

    ASSERT_EQ(seen.size(), static_cast<size_t>(16 * kBlocks));
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, i);
        // Blocks begun while fewer than two waited were taken apart on the reading thread.
        EXPECT_EQ(seen[i].second, i < 48) << "frame " << i;
    }
    EXPECT_EQ(g_classified.load(), 48);
}

// The analysis takes apart what the reading thread left: the same lines, the same order, for
// captures of every protocol and link layer.
TEST(LiveQueue, FramesTakenApartLateAreAnalysedTheSame) {
    using Report = std::tuple<int, std::string, std::string>;
    auto analyse = [](const std::string& path, bool late) {
        RecordingWindow window;
        SetReportWindow(&window);
        std::vector<Report> out;
        {
            CVideoStreamUriAnalyse analyser;
            char error[PCAP_ERRBUF_SIZE];
            pcap_t* p = pcap_open_offline(path.c_str(), error);
            EXPECT_NE(p, nullptr) << path;
            if (p == nullptr) return out;
            const int link = pcap_datalink(p);
            analyser.SetLinkType(link);
            pcap_pkthdr* h = nullptr;
            const u_char* d = nullptr;
            while (pcap_next_ex(p, &h, &d) == 1) {
                const FrameLayout l = CaptureSource::ClassifyFrame(h, d, link);
                analyser.OnFrame(*h, d, late ? nullptr : &l);
            }
            analyser.OnCaptureEnd();
            pcap_close(p);
        }
        SetReportWindow(nullptr);
        for (const auto& r : window.reports) out.emplace_back(r.flags, r.label, r.address);
        return out;
    };
    for (const char* name :
         {"eth-rtmp-hls", "sll2-rtmp-hls", "qinq-rtmp-hls", "ipv6-rtmp-hls", "http-decoys",
          "rtmp-split-tcurl", "rtmp-impaired-nginx", "rtsp-gst", "rtsp-udp-lossy"}) {
        const std::string path = std::string(STREVIX_TEST_DATA) + "/" + name + ".pcap";
        const std::vector<Report> early = analyse(path, false);
        EXPECT_FALSE(early.empty()) << name;
        EXPECT_EQ(analyse(path, true), early) << name;
    }
}

// With an analysis that only counts empty segments, the reading thread counts them itself: they
// are neither copied nor handed over, and the counts and the other frames all arrive.
TEST(LiveQueue, EmptySegmentsAreOnlyCounted) {
    using testframes::Endpoint;
    const Endpoint client{{192, 168, 1, 5}, 50000}, server{{10, 0, 0, 9}, 80};
    FrameQueue queue(8);
    queue.SetSkipEmpty(true);
    std::vector<std::string> seen;
    unsigned long long skipped = 0;
    std::thread analysis([&] {
        queue.Drain(
            [&](const struct pcap_pkthdr* h, const u_char* data, const FrameLayout* l) {
                ASSERT_NE(l, nullptr);
                const int at = l->PayloadOffset();
                seen.emplace_back(reinterpret_cast<const char*>(data) + at, h->caplen - at);
            },
            [&](unsigned long long n) { skipped += n; });
    });
    std::vector<std::string> sent;
    for (int i = 0; i < 3000; ++i) {
        const bool empty = i % 3 != 0;
        const std::string payload = empty ? "" : "segment " + std::to_string(i);
        const testframes::Bytes f =
            testframes::Frame(i % 2 ? server : client, i % 2 ? client : server, payload);
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(f.size());
        ASSERT_TRUE(queue.PushLive(&header, f.data(), &CaptureSource::ClassifyFrameInto, 1));
        if (!empty) sent.push_back(payload);
        if (i % 500 == 0) queue.Hand();
    }
    queue.Hand();
    queue.Finish();
    analysis.join();
    EXPECT_EQ(seen, sent);
    EXPECT_EQ(skipped, 2000u);
}

#pragma once

#include <pcap/pcap.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// Frames read from a capture file, handed in blocks from the thread that reads the file to the
// capture thread that analyses them, so reading and analysis overlap. Each frame travels with the
// classification of its payload, which the reading thread works out while the bytes are in its
// cache. Blocks are reused; a frame costs one copy and no allocation.
class FrameQueue {
  public:
    static const size_t kBlockSize = 1 << 20;
    static const size_t kMaxFullBlocks = 4;

    // Reader side. Copies the frame and its classification; waits while the analysis is behind.
    // False once cancelled.
    bool Push(const struct pcap_pkthdr* header, const u_char* data, int streamType);
    // No more frames will come.
    void Finish();

    // Analysis side: calls f(header, data, streamType) for every frame in order until the input is
    // finished or the queue is cancelled.
    template <class F>
    void Drain(F&& f);

    // Both sides stop waiting and return at once.
    void Cancel();

  private:
    struct Record {
        uint32_t caplen;
        uint32_t len;
        int64_t sec;
        int64_t usec;
        int32_t streamType;
        int32_t unused;
    };
    struct Block {
        std::vector<unsigned char> bytes;
        size_t used = 0;
    };

    std::unique_ptr<Block> TakeFree();
    bool Flush();  // hands the block being filled over; false once cancelled
    std::unique_ptr<Block> PopFull();
    void Recycle(std::unique_ptr<Block> block);

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<Block>> m_full;
    std::vector<std::unique_ptr<Block>> m_free;
    std::unique_ptr<Block> m_filling;  // reader thread only
    bool m_finished = false;
    bool m_cancelled = false;
};

template <class F>
void FrameQueue::Drain(F&& f) {
    for (;;) {
        std::unique_ptr<Block> block = PopFull();
        if (!block) return;
        size_t at = 0;
        while (at + sizeof(Record) <= block->used) {
            Record r;
            std::memcpy(&r, block->bytes.data() + at, sizeof(r));
            struct pcap_pkthdr header {};
            header.caplen = r.caplen;
            header.len = r.len;
            header.ts.tv_sec = static_cast<time_t>(r.sec);
            header.ts.tv_usec = static_cast<suseconds_t>(r.usec);
            f(&header, block->bytes.data() + at + sizeof(Record), r.streamType);
            at += sizeof(Record) + ((r.caplen + 7u) & ~7u);
        }
        Recycle(std::move(block));
    }
}

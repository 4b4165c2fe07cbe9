#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ByteReader.h"
#include "netunpack/NetUnpack.h"

// The layout of a capture file in the classic format (not pcapng), as far as reading its records
// needs it.
struct ClassicCaptureFormat {
    bool bigEndian = false;        // the byte order of the file's fields
    bool nanoseconds = false;      // timestamps in nanoseconds
    uint32_t snapLength = 0;       // the capture library's snapshot length for the file
    int linkType = LINK_ETHERNET;  // of the file's frames, as the capture library read it
};

// Where and how a capture file is damaged: what ended its reading before its end.
struct CaptureDamage {
    enum Kind {
        kNone,
        kCutShort,  // a record cut off by the end of the file
        kTooLong,   // a record declares more captured bytes than any record may hold
        kOther,     // the file cannot be read further, or the capture library's other reasons
    };
    Kind kind = kNone;
    unsigned long long frame = 0;  // the damaged record's number, counting from 1
    long long offset = 0;          // of the record's start in the file
    std::string reason;            // one line, without the place

    bool Damaged() const { return kind != kNone; }
    // "damaged capture: record N at offset X REASON".
    std::string Report() const;
};

// Frames read from a capture file, handed in blocks from the thread that reads the file to the
// capture thread that analyses them, so reading and analysis overlap. Each frame travels with the
// classification of its payload, which the reading thread works out while the bytes are in its
// cache. Blocks are reused, and nothing is allocated per frame. A file in the classic format is
// read straight into the blocks and its frames are used where they lie; other files and live
// devices come through the capture library's loop, a copy a frame: the library takes a live
// frame's memory back as soon as its batch ends, so it cannot travel to another thread as it is.
//
// A live device cannot wait for the analysis: what the kernel's ring cannot hold is lost. Its
// queue is therefore long, and once the analysis falls behind the reading thread stops taking
// frames apart (the analysing thread does it when it gets to them), so that it costs little
// more than a copy a frame and keeps emptying the kernel's ring.
class FrameQueue {
  public:
    static const size_t kBlockSize = 1 << 20;
    static const size_t kMaxFullBlocks = 4;
    // A capture file is read into a block this much at a time, each part's frames taken apart
    // while the part is in the cache.
    static constexpr size_t kReadChunk = 256 << 10;
    // Full blocks waiting from which a live reader counts the analysis as behind.
    static const size_t kBehindBlocks = 2;
    // The capture library's largest record for Ethernet; a larger one ends the file as damaged.
    static const uint32_t kMaxRecordLength = 262144;

    // Takes a frame apart on the reading thread.
    typedef void (*Classifier)(const struct pcap_pkthdr* header, const u_char* data, int linkType,
                               FrameLayout* layout);

    // Makes the blocks a steady flow needs (those in flight and one filling, one draining), so
    // that a live capture allocates nothing once it runs. Up to `maxFullBlocks` full blocks may
    // wait for the analysis. Blocks past the first few are made when a backlog first needs them
    // and kept, or, with `allUpFront`, made and written here: a live device's burst is exactly
    // when the reading thread cannot afford the page faults of new memory.
    explicit FrameQueue(size_t maxFullBlocks = kMaxFullBlocks, bool allUpFront = false);
    ~FrameQueue();

    // Reader side. Copies the frame and its layout; waits while the analysis is behind. False
    // once cancelled.
    bool Push(const struct pcap_pkthdr* header, const u_char* data, const FrameLayout& layout);
    // Live reader side: copies the frame, taking it apart first only while the analysis keeps
    // up (see above). False once cancelled.
    bool PushLive(const struct pcap_pkthdr* header, const u_char* data, Classifier classify,
                  int linkType);
    // Reader side: reads the records of a classic capture file from `offset` (just after its
    // file header) to its end, as the capture library would deliver them: a record longer than
    // the snapshot length gives its first snapshot-length bytes, a record over kMaxRecordLength
    // or one cut off by the end of the file ends the reading and is told in `damage` (frames
    // before it are delivered). Keeps `position` at the offset read up to. False once cancelled
    // or when the file cannot be read.
    bool ReadClassicFile(int fd, long long offset, const ClassicCaptureFormat& format,
                         Classifier classify, std::atomic<long long>* position,
                         CaptureDamage* damage = nullptr);
    // Reader side: hands over the frames pushed so far, in a block not yet full (a live source
    // after each batch, so that a quiet link's frames do not wait for a full block). While full
    // blocks still wait, the block keeps filling instead: the analysis is busy, and half-empty
    // blocks would only shorten the queue. False once cancelled.
    bool Hand();
    // Reader side: frames were pushed that have not been handed over yet.
    bool Holding() const { return m_filling && m_filling->HasNews(); }
    // No more frames will come; `damage` says why the file ended early, if it did.
    void Finish(const CaptureDamage& damage = CaptureDamage());
    // Analysis side, once Drain has returned: the damage the reader finished with.
    CaptureDamage Damage();

    // Analysis side: calls f(header, data, layout) for every frame in order until the input is
    // finished or the queue is cancelled; layout is null for a frame the reader did not take
    // apart. skipped(n) tells of n frames only counted, before the frames of their block.
    template <class F, class S>
    void Drain(F&& f, S&& skipped);
    template <class F>
    void Drain(F&& f) {
        Drain(std::forward<F>(f), [](unsigned long long) {});
    }
    // Before the reader starts: TCP segments without payload, where the reader takes frames
    // apart, are only counted instead of handed over (the analysis would do nothing else).
    void SetSkipEmpty(bool skip) { m_skipEmpty = skip; }
    // How many frames ahead the analysis side fetches a frame's headers.
    static const size_t kFetchAhead = 12;

    // Both sides stop waiting and return at once.
    void Cancel();

    // Whether the first bytes of a capture file announce the classic format, version 2.4, and how
    // its records are laid out (snapshot length left 0).
    static bool IsClassicCaptureFile(const unsigned char header[24], ClassicCaptureFormat* format);

  private:
    struct FrameRef {
        uint32_t offset;  // of the frame's bytes in the block
        uint32_t caplen;
        uint32_t len;
        uint32_t usec;
        int64_t sec;
        FrameLayout layout;
    };  // 48 bytes: every frame's passes through the cache of both threads
    // A block's bytes: in the queue's region while the block is one of those made with the
    // queue, on the heap otherwise.
    class BlockBytes {
      public:
        unsigned char* data() { return m_data; }
        const unsigned char* data() const { return m_data; }
        size_t size() const { return m_size; }
        void Place(unsigned char* at, size_t n) {
            m_own.clear();
            m_data = at;
            m_size = n;
        }
        // Moves the bytes to the heap (their contents are not kept).
        void resize(size_t n) {
            m_own.resize(n);
            m_data = m_own.data();
            m_size = n;
        }

      private:
        unsigned char* m_data = nullptr;
        size_t m_size = 0;
        std::vector<unsigned char> m_own;
    };
    struct Block {
        BlockBytes bytes;
        size_t used = 0;
        std::vector<FrameRef> frames;
        // Segments without payload taken apart by the reader and only counted (SetSkipEmpty).
        unsigned long long skipped = 0;
        bool classified = true;  // the frames' layouts were worked out by the reader
        bool HasNews() const { return !frames.empty() || skipped != 0; }
    };
    // A frame the analysis would only count.
    bool Skips(const FrameLayout& layout) const {
        return m_skipEmpty && layout.tcpHeaderLen != 0 && layout.payloadLen <= 0;
    }

    std::unique_ptr<Block> TakeFree();
    // Makes room for `need` bytes in the block being filled, handing a full one over first; a
    // live block begun here is taken apart on this thread only while the analysis keeps up.
    // False once cancelled.
    bool Room(size_t need, bool live);
    // A record for the frame, its bytes copied; its layout is the caller's to write.
    FrameRef& Append(const struct pcap_pkthdr* header, const u_char* data, size_t need);
    bool Flush();  // hands the block being filled over; false once cancelled
    std::unique_ptr<Block> PopFull();
    void Recycle(std::unique_ptr<Block> block);

    std::mutex m_lock;
    std::condition_variable m_changed;
    // Full blocks in order: a ring, so handing blocks over never allocates.
    std::vector<std::unique_ptr<Block>> m_full;
    size_t m_fullFirst = 0;
    size_t m_fullCount = 0;
    std::vector<std::unique_ptr<Block>> m_free;
    std::unique_ptr<Block> m_filling;  // reader thread only
    // The blocks made with the queue lie in one region, on huge pages where the kernel gives
    // them: both threads go through every page of it, and a page walk a page adds up.
    void* m_region = nullptr;
    size_t m_regionSize = 0;
    bool m_finished = false;
    bool m_cancelled = false;
    bool m_skipEmpty = false;
    CaptureDamage m_damage;  // given to Finish
};

template <class F, class S>
void FrameQueue::Drain(F&& f, S&& skipped) {
    for (;;) {
        std::unique_ptr<Block> block = PopFull();
        if (!block) return;
        if (block->skipped != 0) skipped(block->skipped);
        const FrameRef* frames = block->frames.data();
        const size_t count = block->frames.size();
        for (size_t i = 0; i < count; ++i) {
            // The headers of a frame a few ahead: they were written on the reading thread's core.
            if (i + kFetchAhead < count) {
                // The records themselves further ahead: they too come from the other core.
                __builtin_prefetch(frames + i + 2 * kFetchAhead);
                const unsigned char* ahead = block->bytes.data() + frames[i + kFetchAhead].offset;
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + 64);  // a TCP header often ends in the second line
            }
            const FrameRef& r = frames[i];
            struct pcap_pkthdr header {};
            header.caplen = r.caplen;
            header.len = r.len;
            header.ts.tv_sec = static_cast<time_t>(r.sec);
            header.ts.tv_usec = static_cast<suseconds_t>(r.usec);
            f(&header, block->bytes.data() + r.offset, block->classified ? &r.layout : nullptr);
        }
        Recycle(std::move(block));
    }
}

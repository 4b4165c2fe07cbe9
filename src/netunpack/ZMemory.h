#pragma once

#include <cstddef>
#include <cstdint>

// The sanitizer builds hand every block back to the heap, which checks its use.
#if defined(__SANITIZE_ADDRESS__)
#define STREVIX_POOL_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STREVIX_POOL_BLOCKS 0
#endif
#endif
#ifndef STREVIX_POOL_BLOCKS
#define STREVIX_POOL_BLOCKS 1
#endif

// Memory for the small blocks the analysis takes and gives back all the time: connection
// entries and the first bytes they collect. The blocks are carved from 2 MiB chunks, which the
// kernel may back with one huge page each (SetHugePages) so that reaching thousands of entries
// at random does not add a page walk to every cache miss. A block given back is kept for the next
// one of its size: by the thread that gave it back, up to kMaxKept, then in a list all threads
// share; the chunks themselves are never given back, so what the pool holds is the most the program
// held at once.
namespace BlockPool {
static const size_t kMaxKept = 1024;
// The sizes a block may have: a request is rounded up to one of these.
static const size_t kSizes[] = {448, 1024, 4096};
static const size_t kLargest = 4096;
// A block of at least `size` bytes (at most kLargest), aligned to 64; null when no memory is
// left.
void* Take(size_t size);
// Gives back a block Take returned for the same `size`.
void Give(void* block, size_t size);
// A private anonymous mapping of `bytes` (a multiple of 2 MiB) on a 2 MiB boundary, so that huge
// pages can back it; with `hugePages` the kernel is asked to. Null when it cannot be mapped;
// given back with munmap.
unsigned char* MapAligned(size_t bytes, bool hugePages);
// Whether chunks carved from now on are offered to the kernel for huge pages (off at first). The
// analysis of a capture file gains from fewer page walks; a live capture does without: the first
// touch of a huge page is one long pause (2 MiB to clear, and under a hypervisor the host's
// backing to find), and it is spent of the CPU share the reading thread needs.
void SetHugePages(bool on);
}  // namespace BlockPool

// A growable owned byte buffer. Small buffers live in BlockPool blocks of kSmallBlock or a
// quarter of that many bytes: a connection's first bytes fit in one, so collecting them costs no
// heap call in the usual case.
struct CZMemory {
    static const int kSmallBlock = 4096;

    unsigned char* data = nullptr;
    int length = 0;
    int capacity = 0;

    CZMemory() = default;
    ~CZMemory() { Release(); }
    CZMemory(const CZMemory&) = delete;
    CZMemory& operator=(const CZMemory&) = delete;

    // Returns 1 when bytes were appended, 0 when there was nothing to append.
    int AppendData(const void* bytes, int count);
    // Frees the data; the buffer is empty afterwards.
    void Release();
    // Drops the first count bytes, keeping the rest.
    void Consume(int count);
    // Replaces the contents with a copy of the bytes.
    int Assign(const void* bytes, int count);
};

// First match of a NUL-terminated pattern inside a sized buffer, or null. The first byte always
// matches exactly; without the exact flag the rest is compared ignoring ASCII letter case.
const unsigned char* FindBytes(const unsigned char* buffer, int length, const char* pattern,
                               bool exact);

// The first match of a pattern at or after a fixed start in a buffer that only grows at its end:
// it remembers where the match was, or how far the search got, so a later search over the grown
// buffer looks only at positions it has not seen.
struct GrowingSearch {
    int found = -1;  // offset of the match, -1 while there is none
    int from = 0;    // start positions below this hold no match

    // Offset of the first match in [start, length) of the buffer, or -1. Every call on one object
    // must pass the same buffer contents (grown at the end only), start and pattern.
    int Find(const unsigned char* buffer, int length, int start, const char* pattern, bool exact);
};

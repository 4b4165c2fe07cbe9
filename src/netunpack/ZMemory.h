#pragma once

#include <cstdint>

// The sanitizer builds hand every block back to the heap, which checks its use.
#if defined(__SANITIZE_ADDRESS__)
#define STREVIX_KEEP_FREED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STREVIX_KEEP_FREED 0
#endif
#endif
#ifndef STREVIX_KEEP_FREED
#define STREVIX_KEEP_FREED 1
#endif

// Released blocks of one size, kept by the thread that released them for its next ones; beyond
// kMaxKept (and in sanitizer builds) they go back. The list is held apart from the blocks: a
// block released is usually cold, and linking it would cost a cache miss to write and another
// to read back.
class KeptList {
  public:
    static const int kMaxKept = 1024;
    explicit KeptList(void (*release)(void*)) : m_release(release) {}
    ~KeptList();
    KeptList(const KeptList&) = delete;
    KeptList& operator=(const KeptList&) = delete;

    // A kept block, or null.
    void* Take() { return m_count > 0 ? m_kept[--m_count] : nullptr; }
    // Keeps the block; false when the caller must release it itself.
    bool Keep(void* block) {
        if (!STREVIX_KEEP_FREED || block == nullptr || m_count >= kMaxKept) return false;
        m_kept[m_count++] = block;
        return true;
    }

  private:
    void (*m_release)(void*);
    void* m_kept[kMaxKept];
    int m_count = 0;
};

// A growable owned byte buffer. Small buffers live in blocks of kSmallBlock or half that many
// bytes, which the thread that releases them keeps for the next buffers: a connection's first
// bytes fit in one, so collecting them costs no heap call in the usual case.
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

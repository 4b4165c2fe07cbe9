#include "netunpack/ZMemory.h"

#include <cstdlib>
#include <cstring>

#include "common/Exception.h"
#include "netunpack/ByteScan.h"

KeptList::~KeptList() {
    while (m_count > 0) m_release(m_kept[--m_count]);
}

namespace {

// One list for each small size: kSmallBlock / 2 and kSmallBlock.
thread_local KeptList t_blocks[2] = {KeptList(&std::free), KeptList(&std::free)};

KeptList* KeptFor(int size) {
    if (size == CZMemory::kSmallBlock / 2) return &t_blocks[0];
    if (size == CZMemory::kSmallBlock) return &t_blocks[1];
    return nullptr;
}

unsigned char* TakeBlock(int size) {
    KeptList* kept = KeptFor(size);
    void* p = kept != nullptr ? kept->Take() : nullptr;
    return static_cast<unsigned char*>(p != nullptr ? p : std::malloc(static_cast<size_t>(size)));
}

void GiveBlock(unsigned char* p, int size) {
    KeptList* kept = KeptFor(size);
    if (p != nullptr && (kept == nullptr || !kept->Keep(p))) std::free(p);
}

}  // namespace

int CZMemory::AppendData(const void* bytes, int count) {
    if (bytes == nullptr || count <= 0) return 0;
    if (length > INT32_MAX - count) {
        STREVIX_THROW("Got a Exception in function CZMemory::AppendData", "CZMemory::AppendData");
    }
    const int total = length + count;
    if (total > capacity) {
        // Small buffers take a whole small block: the half one up to a quarter block, the whole
        // one beyond (a full segment is followed by another, and two fit). Larger buffers grow
        // by half again, so a long run of appends copies each byte a bounded number of times.
        int grown = total <= kSmallBlock / 4 ? kSmallBlock / 2
                    : total <= kSmallBlock   ? kSmallBlock
                                             : total;
        if (total > kSmallBlock && capacity <= INT32_MAX / 3 * 2 &&
            capacity + capacity / 2 > total) {
            grown = capacity + capacity / 2;
        }
        unsigned char* block = TakeBlock(grown);
        if (block == nullptr) {
            STREVIX_THROW("Got a Exception in function CZMemory::AppendData",
                          "CZMemory::AppendData");
        }
        if (data != nullptr && length > 0) std::memcpy(block, data, static_cast<size_t>(length));
        GiveBlock(data, capacity);
        data = block;
        capacity = grown;
    }
    std::memcpy(data + length, bytes, static_cast<size_t>(count));
    length = total;
    return 1;
}

void CZMemory::Release() {
    GiveBlock(data, capacity);
    data = nullptr;
    length = 0;
    capacity = 0;
}

void CZMemory::Consume(int count) {
    if (count <= 0) return;
    if (count >= length) {
        Release();
        return;
    }
    std::memmove(data, data + count, static_cast<size_t>(length - count));
    length -= count;
}

int CZMemory::Assign(const void* bytes, int count) {
    if (bytes != nullptr && count > 0 && count <= capacity) {
        std::memmove(data, bytes, static_cast<size_t>(count));  // the bytes may be our own
        length = count;
        return 1;
    }
    Release();
    return AppendData(bytes, count);
}

namespace {
inline unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}
}  // namespace

const unsigned char* FindBytes(const unsigned char* buffer, int length, const char* pattern,
                               bool exact) {
    if (buffer == nullptr || length <= 0 || pattern == nullptr || pattern[0] == '\0')
        return nullptr;
    const size_t n = std::strlen(pattern);
    if (n > static_cast<size_t>(length)) return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(pattern);
    if (n == 1) return static_cast<const unsigned char*>(std::memchr(buffer, p[0], length));
    if (exact) return FindPattern(buffer, static_cast<size_t>(length), p, n);
    const unsigned char* last = buffer + (static_cast<size_t>(length) - n);  // last start position
    const unsigned char* at = buffer;
    while (at <= last) {
        at = static_cast<const unsigned char*>(
            std::memchr(at, p[0], static_cast<size_t>(last - at) + 1));
        if (at == nullptr) return nullptr;
        size_t i = 1;
        while (i < n && Lower(at[i]) == Lower(p[i])) ++i;
        if (i == n) return at;
        ++at;
    }
    return nullptr;
}

int GrowingSearch::Find(const unsigned char* buffer, int length, int start, const char* pattern,
                        bool exact) {
    if (found >= 0) return found;
    if (buffer == nullptr || pattern == nullptr) return -1;
    int at = from > start ? from : start;
    if (at < 0 || at >= length) return -1;
    const unsigned char* hit = FindBytes(buffer + at, length - at, pattern, exact);
    if (hit != nullptr) {
        found = static_cast<int>(hit - buffer);
        return found;
    }
    // Positions whose pattern would reach past the end must be looked at again once it grows.
    const int checked = length - static_cast<int>(std::strlen(pattern)) + 1;
    if (checked > from) from = checked;
    return -1;
}

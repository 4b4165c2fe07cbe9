#include "netunpack/ZMemory.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/Exception.h"
#include "netunpack/ByteScan.h"

namespace BlockPool {
namespace {

const size_t kClasses = sizeof(kSizes) / sizeof(kSizes[0]);
const size_t kChunk = size_t{2} << 20;
// Blocks moved at once between a thread's lists and the shared ones.
const size_t kBatch = kMaxKept / 2;

int ClassOf(size_t size) {
    for (size_t c = 0; c < kClasses; ++c) {
        if (size <= kSizes[c]) return static_cast<int>(c);
    }
    return -1;
}

// Never destroyed: blocks may be given back while the program's statics are destroyed.
struct Shared {
    std::mutex lock;
    std::vector<void*> kept[kClasses];
    // The rest of a chunk an ended thread was carving, for the next thread that needs one.
    unsigned char* spareNext = nullptr;
    unsigned char* spareEnd = nullptr;
};
Shared& TheShared() {
    static Shared* shared = new Shared();
    return *shared;
}

std::atomic<bool> g_hugePages{false};

// A chunk for the thread's blocks; null when none is left.
unsigned char* NewChunk() {
    return MapAligned(kChunk, g_hugePages.load(std::memory_order_relaxed));
}

// What one thread keeps: its own lists, and the chunk it carves new blocks from.
struct Local {
    std::vector<void*> kept[kClasses];
    unsigned char* next = nullptr;
    unsigned char* end = nullptr;

    ~Local() {
        Shared& shared = TheShared();
        std::lock_guard<std::mutex> hold(shared.lock);
        for (size_t c = 0; c < kClasses; ++c) {
            shared.kept[c].insert(shared.kept[c].end(), kept[c].begin(), kept[c].end());
        }
        if (end - next > shared.spareEnd - shared.spareNext) {
            shared.spareNext = next;
            shared.spareEnd = end;
        }
    }

    void* Carve(size_t size) {
        if (static_cast<size_t>(end - next) < size) {
            // The rest of the old chunk is left unused: less than the largest block.
            {
                Shared& shared = TheShared();
                std::lock_guard<std::mutex> hold(shared.lock);
                if (static_cast<size_t>(shared.spareEnd - shared.spareNext) >= size) {
                    next = shared.spareNext;
                    end = shared.spareEnd;
                    shared.spareNext = shared.spareEnd = nullptr;
                }
            }
            if (static_cast<size_t>(end - next) < size) {
                next = NewChunk();
                if (next == nullptr) return nullptr;
                end = next + kChunk;
            }
        }
        void* p = next;
        next += size;
        return p;
    }
};

// The thread's lists, made at its first use and handed to the shared ones when it ends; null
// once they have been (a block given back after that goes to the shared lists). Plain values, so
// that they stay readable while the thread's other objects are destroyed.
thread_local Local* t_local = nullptr;
thread_local bool t_ended = false;

struct LocalEnd {
    ~LocalEnd() {
        delete t_local;
        t_local = nullptr;
        t_ended = true;
    }
};

Local* TheLocal() {
    if (t_local == nullptr && !t_ended) {
        thread_local LocalEnd end;  // made first, so that it runs when the thread ends
        (void)end;
        t_local = new Local();
        for (auto& kept : t_local->kept) kept.reserve(kMaxKept);
    }
    return t_local;
}

}  // namespace

unsigned char* MapAligned(size_t bytes, bool hugePages) {
    // A little more is mapped, and the ends are given back.
    void* p =
        mmap(nullptr, bytes + kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kChunk - 1) & ~(uintptr_t{kChunk} - 1);
    if (aligned > start) munmap(p, aligned - start);
    if (start + kChunk > aligned)
        munmap(reinterpret_cast<void*>(aligned + bytes), start + kChunk - aligned);
    auto* region = reinterpret_cast<unsigned char*>(aligned);
    if (hugePages) madvise(region, bytes, MADV_HUGEPAGE);  // a hint: it works without
    return region;
}

void SetHugePages(bool on) {
    g_hugePages.store(on, std::memory_order_relaxed);
}

void* Take(size_t size) {
    const int c = ClassOf(size);
    if (!STREVIX_POOL_BLOCKS || c < 0) return std::malloc(size);
    Local* local = TheLocal();
    if (local == nullptr) {
        Shared& shared = TheShared();
        std::lock_guard<std::mutex> hold(shared.lock);
        if (shared.kept[c].empty()) return nullptr;
        void* p = shared.kept[c].back();
        shared.kept[c].pop_back();
        return p;
    }
    std::vector<void*>& kept = local->kept[c];
    if (kept.empty()) {
        Shared& shared = TheShared();
        std::lock_guard<std::mutex> hold(shared.lock);
        std::vector<void*>& from = shared.kept[c];
        const size_t n = from.size() < kBatch ? from.size() : kBatch;
        kept.insert(kept.end(), from.end() - static_cast<std::ptrdiff_t>(n), from.end());
        from.resize(from.size() - n);
    }
    if (kept.empty()) return local->Carve(kSizes[c]);
    void* p = kept.back();
    kept.pop_back();
    return p;
}

void Give(void* block, size_t size) {
    if (block == nullptr) return;
    const int c = ClassOf(size);
    if (!STREVIX_POOL_BLOCKS || c < 0) {
        std::free(block);
        return;
    }
    Local* local = TheLocal();
    if (local != nullptr && local->kept[c].size() < kMaxKept) {
        local->kept[c].push_back(block);
        return;
    }
    Shared& shared = TheShared();
    std::lock_guard<std::mutex> hold(shared.lock);
    if (local == nullptr) {
        shared.kept[c].push_back(block);
        return;
    }
    // Half the thread's list goes, so that the next blocks given back stay with the thread.
    std::vector<void*>& kept = local->kept[c];
    shared.kept[c].insert(shared.kept[c].end(), kept.end() - static_cast<std::ptrdiff_t>(kBatch),
                          kept.end());
    kept.resize(kept.size() - kBatch);
    kept.push_back(block);
}

}  // namespace BlockPool

int CZMemory::AppendData(const void* bytes, int count) {
    if (bytes == nullptr || count <= 0) return 0;
    if (length > INT32_MAX - count) {
        STREVIX_THROW("Got a Exception in function CZMemory::AppendData", "CZMemory::AppendData");
    }
    const int total = length + count;
    if (total > capacity) {
        // Small buffers take a whole small block: a quarter one up to a quarter block (a
        // request's first frame: thousands wait in the table, and less memory is less to fetch),
        // the whole one beyond (a full segment is followed by another, and two fit). Larger buffers
        // grow by half again, so a long run of appends copies each byte a bounded number of times.
        int grown = total <= kSmallBlock / 4 ? kSmallBlock / 4
                    : total <= kSmallBlock   ? kSmallBlock
                                             : total;
        if (total > kSmallBlock && capacity <= INT32_MAX / 3 * 2 &&
            capacity + capacity / 2 > total) {
            grown = capacity + capacity / 2;
        }
        unsigned char* block =
            static_cast<unsigned char*>(BlockPool::Take(static_cast<size_t>(grown)));
        if (block == nullptr) {
            STREVIX_THROW("Got a Exception in function CZMemory::AppendData",
                          "CZMemory::AppendData");
        }
        if (data != nullptr && length > 0) std::memcpy(block, data, static_cast<size_t>(length));
        BlockPool::Give(data, static_cast<size_t>(capacity));
        data = block;
        capacity = grown;
    }
    std::memcpy(data + length, bytes, static_cast<size_t>(count));
    length = total;
    return 1;
}

void CZMemory::Release() {
    BlockPool::Give(data, static_cast<size_t>(capacity));
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

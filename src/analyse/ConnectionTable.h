#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flow/ConnectionKey.h"

struct TcpConnection;

// A table of owned values keyed by connection direction (each value holds its key: Key()),
// bounded in size: when full, the entry
// used least recently gives way. Open addressing over one flat array keeps a lookup to a cache
// line or two (every segment of a capture looks up two keys, and most find nothing); the order
// of use is a list threaded through the slots, moved only when an entry's place in it is more
// than a few hundred uses stale, so a hit rarely writes to other lines. Lookups allocate nothing.
template <class T>
class LruTable {
  public:
    explicit LruTable(size_t capacity) : m_capacity(capacity ? capacity : 1) {
        size_t count = 16;
        while (count < m_capacity * 2) count <<= 1;  // load factor at most one half
        m_slots.resize(count);
        m_tags.assign(count, 0);
        m_mask = count - 1;
    }
    ~LruTable() { Clear(); }
    LruTable(const LruTable&) = delete;
    LruTable& operator=(const LruTable&) = delete;

    // Finds and marks as just used; null when absent.
    T* Find(const ConnectionKey& key) {
        const uint32_t i = Locate(key);
        if (i == kNone) return nullptr;
        Used(i);
        return m_slots[i].value;
    }
    // Marks as just used, when present.
    void Touch(const ConnectionKey& key) { Find(key); }
    // The same without reading the entry: its slot's hash stands for its key (another entry is
    // marked only when 47 bits of the two keys' hashes agree). A lookup made only to keep an
    // entry fresh saves the cache miss of reading it.
    void TouchUnread(const ConnectionKey& key) {
        const size_t hash = ConnectionKeyHash()(key);
        const uint16_t tag = Tag(hash);
        for (size_t i = hash & m_mask; m_tags[i] != 0; i = (i + 1) & m_mask) {
            if (m_tags[i] == tag && m_slots[i].hash == static_cast<uint32_t>(hash)) {
                Used(static_cast<uint32_t>(i));
                return;
            }
        }
    }

    const T* Peek(const ConnectionKey& key) const {
        const uint32_t i = Locate(key);
        return i == kNone ? nullptr : m_slots[i].value;
    }

    // Installs the value (whose Key() is the key) under the key, releasing any value there
    // before.
    T* Put(const ConnectionKey& key, std::unique_ptr<T> value) {
        ++m_clock;
        uint32_t i = Locate(key);
        if (i != kNone) {
            delete m_slots[i].value;
            m_slots[i].value = value.release();
            MoveToFront(i);
            return m_slots[i].value;
        }
        if (m_size >= m_capacity && m_tail != kNone) {
            Erase(m_tail);
            ++m_evicted;
            // The next to give way is cold by definition: fetched now, it is in the cache when
            // its turn comes.
            if (m_tail != kNone) PrefetchValue(m_slots[m_tail].value);
        }
        const size_t hash = ConnectionKeyHash()(key);
        i = static_cast<uint32_t>(hash & m_mask);
        while (m_tags[i] != 0) i = (i + 1) & m_mask;
        m_tags[i] = Tag(hash);
        Slot& s = m_slots[i];
        s.hash = static_cast<uint32_t>(hash);
        s.value = value.release();
        s.prev = s.next = kNone;
        LinkFront(i);
        ++m_size;
        return s.value;
    }

    // Releases the value under the key, if any.
    void Remove(const ConnectionKey& key) {
        const uint32_t i = Locate(key);
        if (i != kNone) Erase(i);
    }

    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }
    unsigned long long Evicted() const { return m_evicted; }
    void Clear() {
        for (Slot& s : m_slots) {
            delete s.value;
            s.value = nullptr;
        }
        std::fill(m_tags.begin(), m_tags.end(), 0);
        m_size = 0;
        m_head = m_tail = kNone;
    }

    template <class F>
    void ForEach(F&& f) const {
        for (const Slot& s : m_slots) {
            if (s.value != nullptr) f(s.value->Key(), *s.value);
        }
    }
    template <class F>
    void ForEach(F&& f) {
        for (Slot& s : m_slots) {
            if (s.value != nullptr) f(s.value->Key(), *s.value);
        }
    }

  private:
    static const uint32_t kNone = 0xFFFFFFFFu;
    static const uint32_t kStaleness = 256;
    // The key lives in the value, which a hit reads anyway: a slot stays small however large
    // keys are (IPv6 ones are 40 bytes).
    struct Slot {
        uint32_t prev = kNone, next = kNone;  // the order of use, most recent first
        uint32_t moved = 0;                   // clock when last put at the front
        uint32_t hash = 0;                    // the low bits of the key's hash
        T* value = nullptr;                   // owned; null for an empty slot
    };

    // A few bits of the hash per slot, 0 for an empty one: a probe reads these and looks at a
    // slot only when they match, so a key that is not there costs one small read.
    static uint16_t Tag(size_t hash) { return static_cast<uint16_t>((hash >> 40) | 1); }

    void Used(uint32_t i) {
        ++m_clock;
        if (static_cast<uint32_t>(m_clock) - m_slots[i].moved > kStaleness) MoveToFront(i);
    }

    static void PrefetchValue(const T* value) {
        const char* p = reinterpret_cast<const char*>(value);
        for (size_t at = 0; at < sizeof(T); at += 64) __builtin_prefetch(p + at, 1);
    }

    uint32_t Locate(const ConnectionKey& key) const {
        const size_t hash = ConnectionKeyHash()(key);
        const uint16_t tag = Tag(hash);
        for (size_t i = hash & m_mask; m_tags[i] != 0; i = (i + 1) & m_mask) {
            if (m_tags[i] == tag && m_slots[i].value->Key() == key) return static_cast<uint32_t>(i);
        }
        return kNone;
    }

    void Unlink(uint32_t i) {
        Slot& s = m_slots[i];
        if (s.prev != kNone)
            m_slots[s.prev].next = s.next;
        else
            m_head = s.next;
        if (s.next != kNone)
            m_slots[s.next].prev = s.prev;
        else
            m_tail = s.prev;
        s.prev = s.next = kNone;
    }
    void LinkFront(uint32_t i) {
        Slot& s = m_slots[i];
        s.prev = kNone;
        s.next = m_head;
        if (m_head != kNone)
            m_slots[m_head].prev = i;
        else
            m_tail = i;
        m_head = i;
        s.moved = static_cast<uint32_t>(m_clock);
    }
    void MoveToFront(uint32_t i) {
        if (m_head == i) {
            m_slots[i].moved = static_cast<uint32_t>(m_clock);
            return;
        }
        Unlink(i);
        LinkFront(i);
    }

    // Backward-shift deletion keeps every probe sequence unbroken; a moved entry keeps its place
    // in the order of use.
    void Erase(uint32_t hole) {
        Unlink(hole);
        delete m_slots[hole].value;
        m_slots[hole].value = nullptr;
        m_tags[hole] = 0;
        --m_size;
        for (uint32_t j = (hole + 1) & m_mask; m_tags[j] != 0; j = (j + 1) & m_mask) {
            const size_t home = m_slots[j].hash & m_mask;
            // j may move into the hole unless its home lies cyclically in (hole, j].
            const bool between =
                hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (between) continue;
            Slot& to = m_slots[hole];
            to = m_slots[j];
            if (to.prev != kNone)
                m_slots[to.prev].next = hole;
            else
                m_head = hole;
            if (to.next != kNone)
                m_slots[to.next].prev = hole;
            else
                m_tail = hole;
            m_tags[hole] = m_tags[j];
            m_slots[j].value = nullptr;
            m_tags[j] = 0;
            hole = j;
        }
    }

    size_t m_capacity;
    size_t m_mask = 0;
    size_t m_size = 0;
    uint64_t m_clock = 0;
    uint32_t m_head = kNone, m_tail = kNone;
    std::vector<Slot> m_slots;
    std::vector<uint16_t> m_tags;
    unsigned long long m_evicted = 0;
};

typedef LruTable<TcpConnection> ConnectionTable;

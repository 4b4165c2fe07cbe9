#pragma once

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

class CPayloadNetUnpack;
class CRtmp2H264AacDecoder;

// One direction of one TCP connection: source address and port, destination address and port.
// Addresses hold the octets in wire order (first octet in the lowest byte of memory).
struct ConnectionKey {
    unsigned char src[4] = {0, 0, 0, 0};
    unsigned char dst[4] = {0, 0, 0, 0};
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;

    bool operator==(const ConnectionKey& o) const {
        return srcPort == o.srcPort && dstPort == o.dstPort && src[0] == o.src[0] &&
               src[1] == o.src[1] && src[2] == o.src[2] && src[3] == o.src[3] &&
               dst[0] == o.dst[0] && dst[1] == o.dst[1] && dst[2] == o.dst[2] && dst[3] == o.dst[3];
    }
    ConnectionKey Reverse() const {
        ConnectionKey r;
        for (int i = 0; i < 4; ++i) r.src[i] = dst[i], r.dst[i] = src[i];
        r.srcPort = dstPort;
        r.dstPort = srcPort;
        return r;
    }
    // The key text "%d%d%d%d%d-%d%d%d%d%d" of both endpoints.
    std::string Text() const {
        char buffer[64];
        std::snprintf(buffer, sizeof(buffer), "%d%d%d%d%d-%d%d%d%d%d", src[0], src[1], src[2],
                      src[3], srcPort, dst[0], dst[1], dst[2], dst[3], dstPort);
        return buffer;
    }
};

struct ConnectionKeyHash {
    size_t operator()(const ConnectionKey& k) const {
        uint64_t a = (uint64_t(k.src[0]) << 24 | uint64_t(k.src[1]) << 16 |
                      uint64_t(k.src[2]) << 8 | k.src[3])
                         << 16 |
                     k.srcPort;
        uint64_t b = (uint64_t(k.dst[0]) << 24 | uint64_t(k.dst[1]) << 16 |
                      uint64_t(k.dst[2]) << 8 | k.dst[3])
                         << 16 |
                     k.dstPort;
        uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2));
        h ^= h >> 29;
        return static_cast<size_t>(h * 0xBF58476D1CE4E5B9ull);
    }
};

// A table of owned values keyed by connection direction, bounded in size: when full, the entry
// used least recently gives way. Lookups allocate nothing.
template <class T>
class LruTable {
  public:
    explicit LruTable(size_t capacity) : m_capacity(capacity ? capacity : 1) {
        m_map.reserve(m_capacity + 1);
    }

    // Finds and marks as just used; null when absent.
    T* Find(const ConnectionKey& key) {
        auto it = m_map.find(key);
        if (it == m_map.end()) return nullptr;
        m_order.splice(m_order.begin(), m_order, it->second.position);
        return it->second.value.get();
    }
    // Marks as just used, when present.
    void Touch(const ConnectionKey& key) { Find(key); }

    const T* Peek(const ConnectionKey& key) const {
        auto it = m_map.find(key);
        return it == m_map.end() ? nullptr : it->second.value.get();
    }

    // Installs the value under the key, releasing any value there before.
    T* Put(const ConnectionKey& key, std::unique_ptr<T> value) {
        auto it = m_map.find(key);
        if (it != m_map.end()) {
            it->second.value = std::move(value);
            m_order.splice(m_order.begin(), m_order, it->second.position);
            return it->second.value.get();
        }
        if (m_map.size() >= m_capacity) {
            m_map.erase(m_order.back());
            m_order.pop_back();
            ++m_evicted;
        }
        m_order.push_front(key);
        Node& node = m_map[key];
        node.value = std::move(value);
        node.position = m_order.begin();
        return node.value.get();
    }

    size_t Size() const { return m_map.size(); }
    size_t Capacity() const { return m_capacity; }
    unsigned long long Evicted() const { return m_evicted; }
    void Clear() {
        m_map.clear();
        m_order.clear();
    }

    template <class F>
    void ForEach(F&& f) const {
        for (const auto& entry : m_map) f(entry.first, *entry.second.value);
    }

  private:
    struct Node {
        std::unique_ptr<T> value;
        typename std::list<ConnectionKey>::iterator position;
    };
    size_t m_capacity;
    std::unordered_map<ConnectionKey, Node, ConnectionKeyHash> m_map;
    std::list<ConnectionKey> m_order;  // most recently used first
    unsigned long long m_evicted = 0;
};

typedef LruTable<CPayloadNetUnpack> ConnectionTable;
typedef LruTable<CRtmp2H264AacDecoder> DecoderTable;

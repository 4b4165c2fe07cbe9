#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// One direction of one TCP connection: source address and port, destination address and port.
// Addresses hold the octets in wire order (first octet in the lowest byte of memory).
struct ConnectionKey {
    unsigned char src[4] = {0, 0, 0, 0};
    unsigned char dst[4] = {0, 0, 0, 0};
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;

    bool operator==(const ConnectionKey& o) const {
        return Addresses() == o.Addresses() && Ports() == o.Ports();
    }
    bool operator!=(const ConnectionKey& o) const { return !(*this == o); }
    ConnectionKey Reverse() const {
        ConnectionKey r;
        std::memcpy(r.src, dst, 4);
        std::memcpy(r.dst, src, 4);
        r.srcPort = dstPort;
        r.dstPort = srcPort;
        return r;
    }
    // Both addresses, and both ports, as one word each (every segment compares and hashes keys).
    uint64_t Addresses() const {
        uint64_t v;
        std::memcpy(&v, src, 8);
        return v;
    }
    uint32_t Ports() const { return uint32_t(srcPort) | uint32_t(dstPort) << 16; }
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
        // Every bit of the key reaches the low bits, which tables index with.
        uint64_t h = k.Addresses() ^ (uint64_t(k.Ports()) * 0x9E3779B97F4A7C15ull);
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return static_cast<size_t>(h);
    }
};

#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// One direction of one TCP connection: source address and port, destination address and port.
// Addresses hold the octets in wire order (first octet in the lowest byte of memory): an IPv4
// address in the first 4 bytes with the rest zero, an IPv6 address in all 16. The family byte
// keeps an IPv6 key whose address bytes look like an IPv4 one apart from it.
struct ConnectionKey {
    // Word-aligned: keys are compared and hashed a word at a time.
    alignas(8) unsigned char src[16] = {};
    unsigned char dst[16] = {};
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint8_t ipv6 = 0;

    bool operator==(const ConnectionKey& o) const {
        uint64_t a[4], b[4];
        std::memcpy(a, src, 32);
        std::memcpy(b, o.src, 32);
        return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0 &&
               Ports() == o.Ports() && ipv6 == o.ipv6;
    }
    bool operator!=(const ConnectionKey& o) const { return !(*this == o); }
    ConnectionKey Reverse() const {
        ConnectionKey r;
        std::memcpy(r.src, dst, 16);
        std::memcpy(r.dst, src, 16);
        r.srcPort = dstPort;
        r.dstPort = srcPort;
        r.ipv6 = ipv6;
        return r;
    }
    uint32_t Ports() const { return uint32_t(srcPort) | uint32_t(dstPort) << 16; }
    // IPv4: the octets as "%d%d%d%d"; IPv6: "v6-" and 32 lowercase hex digits, never only digits
    // so that no text of one family can be the other's.
    static std::string AddressText(const unsigned char a[16], bool ipv6) {
        char buffer[40];
        int n = 0;
        if (ipv6) {
            static const char kHex[] = "0123456789abcdef";
            std::memcpy(buffer, "v6-", 3);
            n = 3;
            for (int i = 0; i < 16; ++i) {
                buffer[n++] = kHex[a[i] >> 4];
                buffer[n++] = kHex[a[i] & 15];
            }
        } else {
            for (int i = 0; i < 4; ++i) {
                const unsigned v = a[i];
                if (v >= 100) buffer[n++] = static_cast<char>('0' + v / 100);
                if (v >= 10) buffer[n++] = static_cast<char>('0' + v / 10 % 10);
                buffer[n++] = static_cast<char>('0' + v % 10);
            }
        }
        return std::string(buffer, static_cast<size_t>(n));
    }
    // The key text of both endpoints: "%d%d%d%d%d-%d%d%d%d%d" for IPv4, each address as
    // AddressText for IPv6.
    std::string Text() const {
        if (ipv6) {
            return AddressText(src, true) + std::to_string(srcPort) + "-" + AddressText(dst, true) +
                   std::to_string(dstPort);
        }
        char buffer[64];
        std::snprintf(buffer, sizeof(buffer), "%d%d%d%d%d-%d%d%d%d%d", src[0], src[1], src[2],
                      src[3], srcPort, dst[0], dst[1], dst[2], dst[3], dstPort);
        return buffer;
    }
};

struct ConnectionKeyHash {
    size_t operator()(const ConnectionKey& k) const {
        // Every bit of the key reaches the low bits, which tables index with. IPv4 addresses lie
        // in the low halves of the first and third words.
        uint64_t a[4];
        std::memcpy(a, k.src, 32);
        uint64_t h = (a[0] ^ (a[2] << 32 | a[2] >> 32)) ^
                     ((uint64_t(k.Ports()) | uint64_t(k.ipv6) << 32) * 0x9E3779B97F4A7C15ull);
        if (k.ipv6) {
            // The last eight bytes of each address (hosts of one network differ only there) get
            // a mix of their own, which IPv4 keys do not pay for.
            uint64_t x = a[1] ^ (a[3] << 32 | a[3] >> 32);
            x ^= x >> 33;
            x *= 0xC4CEB9FE1A85EC53ull;
            x ^= x >> 33;
            h ^= x;
        }
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return static_cast<size_t>(h);
    }
};

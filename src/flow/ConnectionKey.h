#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// One direction of one TCP connection: source address and port, destination address and port.
// Addresses hold the octets in wire order (first octet in the lowest byte of memory): an IPv4
// address in the first 4 bytes with the rest zero, an IPv6 address in all 16. The family byte
// keeps an IPv6 key whose address bytes look like an IPv4 one apart from it.
struct ConnectionKey {
    // Word-aligned, and the ports and family make the fifth word (the padding bytes are members,
    // always zero): keys are compared and hashed five words at a time.
    alignas(8) unsigned char src[16] = {};
    unsigned char dst[16] = {};
    uint16_t srcPort = 0;
    uint16_t dstPort = 0;
    uint8_t ipv6 = 0;
    uint8_t zero[3] = {};

    static uint64_t Word(const unsigned char* p) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    // The ports and the family.
    uint64_t Tail() const { return Word(reinterpret_cast<const unsigned char*>(this) + 32); }

    bool operator==(const ConnectionKey& o) const {
        return ((Word(src) ^ Word(o.src)) | (Word(dst) ^ Word(o.dst)) |
                (Word(src + 8) ^ Word(o.src + 8)) | (Word(dst + 8) ^ Word(o.dst + 8)) |
                (Tail() ^ o.Tail())) == 0;
    }
    bool operator!=(const ConnectionKey& o) const { return !(*this == o); }
    // A key from its five words (see Tail): every byte written in eight-byte stores, so the words
    // read back at once (a key is built and looked up within a few instructions).
    static ConnectionKey FromWords(const uint64_t addresses[4], uint64_t tail) {
        ConnectionKey k;
        std::memcpy(k.src, addresses, 16);
        std::memcpy(k.dst, addresses + 2, 16);
        std::memcpy(reinterpret_cast<unsigned char*>(&k) + 32, &tail, 8);
        return k;
    }
    static uint64_t TailOf(uint16_t srcPort, uint16_t dstPort, bool ipv6) {
        return uint64_t{srcPort} | uint64_t{dstPort} << 16 | uint64_t{ipv6 ? 1u : 0u} << 32;
    }
    ConnectionKey Reverse() const {
        const uint64_t w[4] = {Word(dst), Word(dst + 8), Word(src), Word(src + 8)};
        return FromWords(w, TailOf(dstPort, srcPort, ipv6 != 0));
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

static_assert(sizeof(ConnectionKey) == 40 && offsetof(ConnectionKey, srcPort) == 32,
              "ConnectionKey has padding of its own");

struct ConnectionKeyHash {
    size_t operator()(const ConnectionKey& k) const {
        // Every bit of the key reaches the low bits, which tables index with. IPv4 addresses lie
        // in the first four bytes of each: this is the hash IPv4 keys always had.
        const uint64_t dst = ConnectionKey::Word(k.dst);
        uint64_t h = (ConnectionKey::Word(k.src) ^ (dst << 32 | dst >> 32)) ^
                     (k.Tail() * 0x9E3779B97F4A7C15ull);
        if (k.ipv6) {
            // The last eight bytes of each address (hosts of one network differ only there) get
            // a mix of their own, which IPv4 keys do not pay for.
            const uint64_t d8 = ConnectionKey::Word(k.dst + 8);
            uint64_t x = ConnectionKey::Word(k.src + 8) ^ (d8 << 32 | d8 >> 32);
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

#pragma once
// The RTMP segments of a classic pcap file of Ethernet frames, for the decoder tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "TestFrames.h"

namespace rtmpcapture {

using Bytes = std::vector<unsigned char>;

struct Segment {
    bool fromServer;
    int clientPort;
    Bytes payload;
};

inline uint32_t Read32(const unsigned char* p, bool swap) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return swap ? __builtin_bswap32(v) : v;
}

// The TCP payloads to and from port 1935, in capture order.
inline std::vector<Segment> ReadRtmpSegments(const std::string& path) {
    std::vector<Segment> out;
    const std::string file = testframes::ReadFile(path);
    const auto* d = reinterpret_cast<const unsigned char*>(file.data());
    if (file.size() < 24) return out;
    const uint32_t magic = Read32(d, false);
    const bool swap = magic == 0xd4c3b2a1 || magic == 0x4d3cb2a1;
    size_t at = 24;
    while (at + 16 <= file.size()) {
        const uint32_t caplen = Read32(d + at + 8, swap);
        at += 16;
        if (at + caplen > file.size()) break;
        const unsigned char* f = d + at;
        at += caplen;
        if (caplen < 14 + 20 || f[12] != 0x08 || f[13] != 0x00) continue;
        const unsigned char* ip = f + 14;
        const size_t ihl = (ip[0] & 0x0F) * 4u;
        const size_t total = (size_t{ip[2]} << 8) | ip[3];
        if (ip[9] != 6 || total > caplen - 14 || total < ihl + 20) continue;
        const unsigned char* tcp = ip + ihl;
        const int src = (tcp[0] << 8) | tcp[1], dst = (tcp[2] << 8) | tcp[3];
        const size_t off = (tcp[12] >> 4) * 4u;
        if (ihl + off > total) continue;
        const size_t len = total - ihl - off;
        if (len == 0 || (src != 1935 && dst != 1935)) continue;
        out.push_back({src == 1935, src == 1935 ? dst : src, Bytes(tcp + off, tcp + off + len)});
    }
    return out;
}

}  // namespace rtmpcapture

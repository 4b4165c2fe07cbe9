#pragma once
// Hand-built Ethernet/IPv4/TCP frames and capture files for the tests.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace testframes {

using Bytes = std::vector<unsigned char>;

struct Endpoint {
    uint8_t ip[4];
    uint16_t port;
};

struct FrameOptions {
    int ihl = 5;         // IPv4 header words
    int dataOffset = 5;  // TCP header words
    int etherType = 0x0800;
    int protocol = 6;
    int totalLengthDelta = 0;  // added to the true IPv4 total length
    int padding = 0;           // Ethernet trailer bytes after the IPv4 packet
    int64_t seq = -1;          // TCP sequence number; -1: where the direction's last frame ended
};

// Where each direction's next frame starts, so frames built one after another follow each other
// as a real connection's segments do, and acknowledge what the other side sent.
inline uint32_t& NextSequence(const Endpoint& src, const Endpoint& dst) {
    static std::map<std::string, uint32_t> next;
    char key[12];
    std::memcpy(key, src.ip, 4);
    std::memcpy(key + 4, dst.ip, 4);
    key[8] = static_cast<char>(src.port >> 8), key[9] = static_cast<char>(src.port);
    key[10] = static_cast<char>(dst.port >> 8), key[11] = static_cast<char>(dst.port);
    // Floods of a million connections need no continuity; the map must not grow with them.
    if (next.size() > (1u << 16)) next.clear();
    auto it = next.find(std::string(key, 12));
    if (it == next.end()) it = next.emplace(std::string(key, 12), 1000u).first;
    return it->second;
}

inline Bytes Frame(const Endpoint& src, const Endpoint& dst, const std::string& payload,
                   const FrameOptions& o = FrameOptions()) {
    Bytes f(14, 0);
    for (int i = 0; i < 6; ++i) f[i] = 0x02, f[6 + i] = 0x04;
    f[12] = static_cast<unsigned char>(o.etherType >> 8);
    f[13] = static_cast<unsigned char>(o.etherType & 0xFF);
    const int ipLen = o.ihl * 4, tcpLen = o.dataOffset * 4;
    const int total = ipLen + tcpLen + static_cast<int>(payload.size()) + o.totalLengthDelta;
    Bytes ip(ipLen, 0);
    ip[0] = static_cast<unsigned char>(0x40 | (o.ihl & 0x0F));
    ip[2] = static_cast<unsigned char>((total >> 8) & 0xFF);
    ip[3] = static_cast<unsigned char>(total & 0xFF);
    ip[8] = 64;
    ip[9] = static_cast<unsigned char>(o.protocol);
    for (int i = 0; i < 4 && ipLen >= 20; ++i) ip[12 + i] = src.ip[i], ip[16 + i] = dst.ip[i];
    f.insert(f.end(), ip.begin(), ip.end());
    Bytes tcp(tcpLen, 0);
    if (tcpLen >= 20) {
        tcp[0] = static_cast<unsigned char>(src.port >> 8);
        tcp[1] = static_cast<unsigned char>(src.port & 0xFF);
        tcp[2] = static_cast<unsigned char>(dst.port >> 8);
        tcp[3] = static_cast<unsigned char>(dst.port & 0xFF);
        uint32_t& next = NextSequence(src, dst);
        const uint32_t seq = o.seq >= 0 ? static_cast<uint32_t>(o.seq) : next;
        next = seq + static_cast<uint32_t>(payload.size());
        const uint32_t ack = NextSequence(dst, src);
        for (int i = 0; i < 4; ++i) {
            tcp[4 + i] = static_cast<unsigned char>(seq >> (24 - 8 * i));
            tcp[8 + i] = static_cast<unsigned char>(ack >> (24 - 8 * i));
        }
        tcp[12] = static_cast<unsigned char>((o.dataOffset & 0x0F) << 4);
        tcp[13] = 0x18;  // PSH ACK
    }
    f.insert(f.end(), tcp.begin(), tcp.end());
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), static_cast<size_t>(o.padding), 0);
    return f;
}

// A classic little-endian pcap file (microsecond stamps) of the given frames.
inline bool WritePcap(const std::string& path, const std::vector<Bytes>& frames,
                      uint32_t linkType = 1, uint32_t snapLen = 65536) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    auto put32 = [out](uint32_t v) { std::fwrite(&v, 4, 1, out); };
    auto put16 = [out](uint16_t v) { std::fwrite(&v, 2, 1, out); };
    put32(0xa1b2c3d4);
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32(snapLen);
    put32(linkType);
    uint32_t sec = 1573813230;
    uint32_t usec = 0;
    for (const Bytes& f : frames) {
        put32(sec);
        put32(usec);
        usec += 1000;
        put32(static_cast<uint32_t>(f.size()));
        put32(static_cast<uint32_t>(f.size()));
        std::fwrite(f.data(), 1, f.size(), out);
    }
    std::fclose(out);
    return true;
}

// A fresh empty folder below /tmp, removed by the caller if it wants.
inline std::string TempFolder(const std::string& tag) {
    char pattern[256];
    std::snprintf(pattern, sizeof(pattern), "/tmp/strevix-%s-XXXXXX", tag.c_str());
    const char* made = mkdtemp(pattern);
    return made ? std::string(made) : std::string();
}

inline std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) text.append(buffer, n);
    std::fclose(in);
    return text;
}

inline bool WriteFile(const std::string& path, const std::string& bytes) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && ok;
}

}  // namespace testframes

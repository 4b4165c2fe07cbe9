#pragma once
// Hand-built TCP frames (Ethernet or Linux cooked capture, VLAN tags, IPv4 or IPv6) and capture
// files for the tests.

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

// An IPv6 extension header: hop-by-hop (0), routing (43), fragment (44), destination options (60)
// or any other type.
struct Extension {
    int type;
    int length = 8;          // bytes, a multiple of 8 (a fragment header has 8)
    int fragmentOffset = 0;  // in 8-byte units, fragment headers only
    int lengthField = -1;    // the length byte as written; -1: the true one
};

struct FrameOptions {
    int ihl = 5;                // IPv4 header words
    int dataOffset = 5;         // TCP header words
    int etherType = 0x0800;     // of the network header (IPv6 frames: 0x86DD unless changed)
    int protocol = 6;           // IPv4 protocol, or the next header after IPv6's extension headers
    int totalLengthDelta = 0;   // added to the true IPv4 total length or IPv6 payload length
    int padding = 0;            // trailer bytes after the IP packet
    int64_t seq = -1;           // TCP sequence number; -1: where the direction's last frame ended
    int link = 1;               // 1 Ethernet, 113 Linux cooked capture, 276 its version 2
    std::vector<int> vlanTags;  // tag types (0x8100, 0x88A8), outermost first
    bool ipv6 = false;          // addresses 2001:db8::a.b.c.d of the endpoints' IPv4 addresses
    std::vector<Extension> extensions;
    int ipv6PayloadLength = -1;  // the field as written; -1: the true length plus the delta
};

// The IPv6 address a test endpoint has in IPv6 frames.
inline void Ipv6Of(const uint8_t ip[4], unsigned char out[16]) {
    std::memset(out, 0, 16);
    out[0] = 0x20, out[1] = 0x01, out[2] = 0x0d, out[3] = 0xb8;
    std::memcpy(out + 12, ip, 4);
}

// The link header and VLAN tags in front of a network header of the given type.
inline Bytes LinkHeader(const FrameOptions& o, int networkType) {
    Bytes f;
    auto put16 = [&f](int v) {
        f.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
        f.push_back(static_cast<unsigned char>(v & 0xFF));
    };
    const int outer = o.vlanTags.empty() ? networkType : o.vlanTags[0];
    if (o.link == 113) {
        put16(0), put16(1), put16(6);  // to us, ARPHRD_ETHER, address length
        for (int i = 0; i < 8; ++i) f.push_back(i < 6 ? 0x04 : 0);
        put16(outer);
    } else if (o.link == 276) {
        put16(outer), put16(0);           // protocol, reserved
        f.insert(f.end(), {0, 0, 0, 2});  // interface index
        put16(1), f.push_back(0), f.push_back(6);
        for (int i = 0; i < 8; ++i) f.push_back(i < 6 ? 0x04 : 0);
    } else {
        for (int i = 0; i < 12; ++i) f.push_back(i < 6 ? 0x02 : 0x04);
        put16(outer);
    }
    for (size_t i = 0; i < o.vlanTags.size(); ++i) {
        put16(static_cast<int>(100 + i));  // the VLAN identifier
        put16(i + 1 < o.vlanTags.size() ? o.vlanTags[i + 1] : networkType);
    }
    return f;
}

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
    const int networkType = o.ipv6 && o.etherType == 0x0800 ? 0x86DD : o.etherType;
    Bytes f = LinkHeader(o, networkType);
    const int tcpLen = o.dataOffset * 4;
    if (o.ipv6) {
        int extLen = 0;
        for (const Extension& e : o.extensions) extLen += e.length;
        const int length =
            o.ipv6PayloadLength >= 0
                ? o.ipv6PayloadLength
                : extLen + tcpLen + static_cast<int>(payload.size()) + o.totalLengthDelta;
        Bytes ip(40, 0);
        ip[0] = 0x60;
        ip[4] = static_cast<unsigned char>((length >> 8) & 0xFF);
        ip[5] = static_cast<unsigned char>(length & 0xFF);
        ip[6] =
            static_cast<unsigned char>(o.extensions.empty() ? o.protocol : o.extensions[0].type);
        ip[7] = 64;
        Ipv6Of(src.ip, &ip[8]);
        Ipv6Of(dst.ip, &ip[24]);
        for (size_t i = 0; i < o.extensions.size(); ++i) {
            const Extension& e = o.extensions[i];
            Bytes h(static_cast<size_t>(e.length), 0);
            if (h.size() >= 4) {
                h[0] = static_cast<unsigned char>(
                    i + 1 < o.extensions.size() ? o.extensions[i + 1].type : o.protocol);
                if (e.type == 44) {
                    h[2] = static_cast<unsigned char>((e.fragmentOffset >> 5) & 0xFF);
                    h[3] = static_cast<unsigned char>(((e.fragmentOffset << 3) & 0xF8) | 1);
                } else {
                    h[1] = static_cast<unsigned char>(e.length / 8 - 1);
                }
                if (e.lengthField >= 0) h[1] = static_cast<unsigned char>(e.lengthField);
            }
            ip.insert(ip.end(), h.begin(), h.end());
        }
        f.insert(f.end(), ip.begin(), ip.end());
    } else {
        const int ipLen = o.ihl * 4;
        const int total = ipLen + tcpLen + static_cast<int>(payload.size()) + o.totalLengthDelta;
        Bytes ip(ipLen, 0);
        ip[0] = static_cast<unsigned char>(0x40 | (o.ihl & 0x0F));
        ip[2] = static_cast<unsigned char>((total >> 8) & 0xFF);
        ip[3] = static_cast<unsigned char>(total & 0xFF);
        ip[8] = 64;
        ip[9] = static_cast<unsigned char>(o.protocol);
        for (int i = 0; i < 4 && ipLen >= 20; ++i) ip[12 + i] = src.ip[i], ip[16 + i] = dst.ip[i];
        f.insert(f.end(), ip.begin(), ip.end());
    }
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

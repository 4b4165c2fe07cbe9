#pragma once
// RTMP chunk and AMF0 builders for hand-made client sessions.

#include <cstdint>
#include <string>

namespace rtmpbytes {

inline std::string Amf0String(const std::string& s) {
    std::string out("\x02", 1);
    out.push_back(static_cast<char>(s.size() >> 8));
    out.push_back(static_cast<char>(s.size() & 0xFF));
    return out + s;
}

inline std::string Amf0Number(double v) {
    std::string out("\x00", 1);
    uint64_t bits;
    static_assert(sizeof(bits) == sizeof(v), "double");
    __builtin_memcpy(&bits, &v, 8);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return out;
}

inline std::string Amf0Property(const std::string& name, const std::string& value) {
    std::string out;
    out.push_back(static_cast<char>(name.size() >> 8));
    out.push_back(static_cast<char>(name.size() & 0xFF));
    return out + name + value;
}

inline std::string ConnectBody(const std::string& tcUrl, const std::string& app = "live") {
    return Amf0String("connect") + Amf0Number(1) + std::string("\x03", 1) +
           Amf0Property("app", Amf0String(app)) + Amf0Property("tcUrl", Amf0String(tcUrl)) +
           Amf0Property("audioCodecs", Amf0Number(3575)) +
           Amf0Property("videoCodecs", Amf0Number(252)) + std::string("\x00\x00\x09", 3);
}

inline std::string CreateStreamBody() {
    return Amf0String("createStream") + Amf0Number(2) + std::string("\x05", 1);
}

inline std::string PlayBody(const std::string& name) {
    return Amf0String("play") + Amf0Number(0) + std::string("\x05", 1) + Amf0String(name);
}

// One message in chunks: a type-0 header, then a type-3 header byte every chunkSize bytes.
inline std::string Chunked(int csid, int type, uint32_t streamId, const std::string& body,
                           size_t chunkSize = 128, uint32_t timestamp = 0) {
    std::string out;
    out.push_back(static_cast<char>(csid & 0x3F));
    out.push_back(static_cast<char>((timestamp >> 16) & 0xFF));
    out.push_back(static_cast<char>((timestamp >> 8) & 0xFF));
    out.push_back(static_cast<char>(timestamp & 0xFF));
    out.push_back(static_cast<char>((body.size() >> 16) & 0xFF));
    out.push_back(static_cast<char>((body.size() >> 8) & 0xFF));
    out.push_back(static_cast<char>(body.size() & 0xFF));
    out.push_back(static_cast<char>(type));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((streamId >> (8 * i)) & 0xFF));
    for (size_t at = 0; at < body.size(); at += chunkSize) {
        if (at > 0) out.push_back(static_cast<char>(0xC0 | (csid & 0x3F)));
        out += body.substr(at, chunkSize);
    }
    return out;
}

}  // namespace rtmpbytes

#pragma once
// Hand-built RTMP chunk streams for the decoder tests.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace rtmpchunks {

using Bytes = std::vector<unsigned char>;

inline void Put24(Bytes& b, uint32_t v) {
    b.push_back(static_cast<unsigned char>(v >> 16));
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}
inline void Put32(Bytes& b, uint32_t v) {
    b.push_back(static_cast<unsigned char>(v >> 24));
    Put24(b, v & 0xFFFFFF);
}

// A chunk header: fmt 0 to 3 with the fields its form carries. Timestamps of 0xFFFFFF and
// above go into the extended field.
inline Bytes Header(int fmt, int csid, uint32_t timestamp, uint32_t length = 0, uint8_t type = 0,
                    uint32_t streamId = 0) {
    Bytes b{static_cast<unsigned char>((fmt << 6) | csid)};
    const bool extended = timestamp >= 0xFFFFFF;
    if (fmt <= 2) Put24(b, extended ? 0xFFFFFF : timestamp);
    if (fmt <= 1) {
        Put24(b, length);
        b.push_back(type);
    }
    if (fmt == 0) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(streamId >> (8 * i)));
    }
    if (fmt <= 2 && extended) Put32(b, timestamp);
    return b;
}

inline void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// A payload of n bytes that differs from message to message.
inline Bytes Payload(size_t n, unsigned seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<unsigned char>(x >> 16);
    }
    return b;
}

// One whole message: its header, then chunks of chunkSize with type-3 continuation headers.
// extendedInContinuation repeats an extended timestamp in every type-3 chunk.
inline Bytes Message(int fmt, int csid, uint32_t timestamp, uint8_t type, const Bytes& payload,
                     int chunkSize, uint32_t streamId = 1, bool extendedInContinuation = true) {
    Bytes b = Header(fmt, csid, timestamp, static_cast<uint32_t>(payload.size()), type, streamId);
    size_t at = 0;
    while (true) {
        const size_t n = std::min(payload.size() - at, static_cast<size_t>(chunkSize));
        b.insert(b.end(), payload.begin() + static_cast<long>(at),
                 payload.begin() + static_cast<long>(at + n));
        at += n;
        if (at >= payload.size()) break;
        b.push_back(static_cast<unsigned char>(0xC0 | csid));
        if (timestamp >= 0xFFFFFF && extendedInContinuation) Put32(b, timestamp);
    }
    return b;
}

inline Bytes SetChunkSize(uint32_t size, int fmt = 0) {
    Bytes payload;
    Put32(payload, size);
    return Message(fmt, 2, 0, 1, payload, 128, 0);
}

// The FLV tag the decoder must make of a message.
inline Bytes Tag(uint8_t type, uint32_t timestamp, const Bytes& payload) {
    Bytes b{type};
    Put24(b, static_cast<uint32_t>(payload.size()));
    Put24(b, timestamp & 0xFFFFFF);
    b.push_back(static_cast<unsigned char>(timestamp >> 24));
    Put24(b, 0);
    Append(b, payload);
    return b;
}

}  // namespace rtmpchunks

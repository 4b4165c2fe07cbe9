#pragma once
// RTP packets for the RTSP tests: a 12-byte header (version 2, no padding, extension or CSRC)
// and the payload.

#include <cstdint>
#include <cstring>
#include <vector>

namespace rtppackets {

typedef std::vector<unsigned char> Bytes;

inline Bytes Packet(uint16_t seq, uint32_t ts, bool marker, const Bytes& payload, uint8_t pt,
                    uint32_t ssrc) {
    const unsigned char header[12] = {0x80,
                                      static_cast<unsigned char>((marker ? 0x80 : 0) | pt),
                                      static_cast<unsigned char>(seq >> 8),
                                      static_cast<unsigned char>(seq),
                                      static_cast<unsigned char>(ts >> 24),
                                      static_cast<unsigned char>(ts >> 16),
                                      static_cast<unsigned char>(ts >> 8),
                                      static_cast<unsigned char>(ts),
                                      static_cast<unsigned char>(ssrc >> 24),
                                      static_cast<unsigned char>(ssrc >> 16),
                                      static_cast<unsigned char>(ssrc >> 8),
                                      static_cast<unsigned char>(ssrc)};
    // Sized once and copied into: GCC 12 sees overflows in inserts into a fresh vector.
    Bytes b(sizeof(header) + payload.size());
    std::memcpy(b.data(), header, sizeof(header));
    if (!payload.empty()) std::memcpy(b.data() + sizeof(header), payload.data(), payload.size());
    return b;
}

}  // namespace rtppackets

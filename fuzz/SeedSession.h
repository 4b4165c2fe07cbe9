#pragma once
// Hand-built RTMP sessions for the seed corpora and the hardening tests: the client's commands
// and the server's media as RTMP chunk bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "RtmpBytes.h"

namespace seedsession {

// A 4-byte big-endian value.
inline std::string BE32(uint32_t v) {
    std::string out;
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return out;
}

inline std::string Filler(size_t n, unsigned seed) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>((seed >> 16) & 0x7F);
    }
    return out;
}

// Client to server: connect, createStream and play, each a message of its own.
struct ClientCommands {
    std::string connect, createStream, play;
};

inline ClientCommands Commands(const std::string& tcUrl, const std::string& name,
                               size_t chunkSize = 4096) {
    ClientCommands c;
    c.connect = rtmpbytes::Chunked(3, 20, 0, rtmpbytes::ConnectBody(tcUrl), chunkSize);
    c.createStream = rtmpbytes::Chunked(3, 20, 0, rtmpbytes::CreateStreamBody(), chunkSize);
    c.play = rtmpbytes::Chunked(8, 20, 1, rtmpbytes::PlayBody(name), chunkSize);
    return c;
}

inline std::string SetChunkSize(uint32_t size) {
    return rtmpbytes::Chunked(2, 1, 0, BE32(size));
}

// AVC sequence header: an AVCDecoderConfigurationRecord with one SPS and one PPS.
inline std::string VideoConfigBody() {
    const std::string sps(
        "\x67\x64\x00\x1f\xac\xd9\x40\x50\x05\xbb\x01\x10\x00\x00\x03\x00\x10"
        "\x00\x00\x03\x03\xc0\xf1\x83\x19",
        25);
    const std::string pps("\x68\xeb\xe3\xcb", 4);
    std::string body("\x17\x00\x00\x00\x00\x01\x64\x00\x1f\xff\xe1", 11);
    body.push_back(0);
    body.push_back(static_cast<char>(sps.size()));
    body += sps;
    body.push_back(1);
    body.push_back(0);
    body.push_back(static_cast<char>(pps.size()));
    return body + pps;
}

// A video message of one NAL unit; key frames start with 0x17, inter frames with 0x27.
inline std::string VideoFrameBody(bool key, size_t nalBytes, unsigned seed) {
    std::string body(key ? "\x17\x01\x00\x00\x00" : "\x27\x01\x00\x00\x00", 5);
    body += BE32(static_cast<uint32_t>(nalBytes));
    body.push_back(key ? '\x65' : '\x41');
    return body + Filler(nalBytes - 1, seed);
}

inline std::string AudioConfigBody() {
    return std::string("\xaf\x00\x12\x10", 4);
}

inline std::string AudioFrameBody(size_t n, unsigned seed) {
    return std::string("\xaf\x01", 2) + Filler(n, seed);
}

// The server's media: chunk size, sequence headers, then key, inter and audio frames.
inline std::string ServerMedia(int frames = 6, size_t chunkSize = 4096) {
    std::string out = SetChunkSize(static_cast<uint32_t>(chunkSize));
    out += rtmpbytes::Chunked(6, 9, 1, VideoConfigBody(), chunkSize, 0);
    out += rtmpbytes::Chunked(4, 8, 1, AudioConfigBody(), chunkSize, 0);
    for (int i = 0; i < frames; ++i) {
        const uint32_t ts = static_cast<uint32_t>(i * 40);
        out +=
            rtmpbytes::Chunked(6, 9, 1, VideoFrameBody(i % 3 == 0, 120 + 37 * i, i), chunkSize, ts);
        out += rtmpbytes::Chunked(4, 8, 1, AudioFrameBody(40, 100 + i), chunkSize, ts);
    }
    return out;
}

// Cuts a byte stream into TCP-sized pieces.
inline std::vector<std::string> Segments(const std::string& bytes, size_t mss = 1460) {
    std::vector<std::string> out;
    for (size_t at = 0; at < bytes.size(); at += mss) out.push_back(bytes.substr(at, mss));
    return out;
}

}  // namespace seedsession

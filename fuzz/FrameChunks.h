#pragma once
// The frame form of the analyser targets' chunks. The first byte of a chunk says what it is:
//   0x80 and above: the rest is a whole Ethernet frame, taken as it is;
//   below 0x80:     the rest is a TCP payload; bits 0-2 pick one of eight connections, bit 3
//                   the direction (0 client to server, 1 server to client), bits 4-5 the server
//                   port (1935, 554, 80, 8080). The harness wraps it in Ethernet/IPv4/TCP.
// Wrapping lets the fuzzer spend its effort on the protocols, raw frames on the headers.

#include <cstdint>
#include <string>
#include <vector>

namespace framechunks {

const int kClientToServer = 0;
const int kServerToClient = 1;

inline uint16_t ServerPort(int control) {
    static const uint16_t ports[4] = {1935, 554, 80, 8080};
    return ports[(control >> 4) & 3];
}

// Client 10.0.0.(1+conn):(40000+conn), server 10.0.1.1:port.
inline std::vector<unsigned char> Wrap(int control, const unsigned char* payload, size_t length) {
    const int conn = control & 7;
    const bool toClient = (control >> 3) & 1;
    const unsigned char client[4] = {10, 0, 0, static_cast<unsigned char>(1 + conn)};
    const unsigned char server[4] = {10, 0, 1, 1};
    const uint16_t clientPort = static_cast<uint16_t>(40000 + conn);
    const uint16_t serverPort = ServerPort(control);
    const unsigned char* src = toClient ? server : client;
    const unsigned char* dst = toClient ? client : server;
    const uint16_t sport = toClient ? serverPort : clientPort;
    const uint16_t dport = toClient ? clientPort : serverPort;

    std::vector<unsigned char> f(54 + length, 0);
    for (int i = 0; i < 6; ++i) f[i] = 0x02, f[6 + i] = 0x04;
    f[12] = 0x08;
    unsigned char* ip = &f[14];
    const size_t total = 40 + length;
    ip[0] = 0x45;
    ip[2] = static_cast<unsigned char>((total >> 8) & 0xFF);
    ip[3] = static_cast<unsigned char>(total & 0xFF);
    ip[8] = 64;
    ip[9] = 6;
    for (int i = 0; i < 4; ++i) ip[12 + i] = src[i], ip[16 + i] = dst[i];
    unsigned char* tcp = &f[34];
    tcp[0] = static_cast<unsigned char>(sport >> 8);
    tcp[1] = static_cast<unsigned char>(sport & 0xFF);
    tcp[2] = static_cast<unsigned char>(dport >> 8);
    tcp[3] = static_cast<unsigned char>(dport & 0xFF);
    tcp[12] = 0x50;
    tcp[13] = 0x18;
    for (size_t i = 0; i < length; ++i) f[54 + i] = payload[i];
    return f;
}

// The chunk that the harness turns back into this payload's frame.
inline std::string Chunk(int control, const std::string& body) {
    std::string chunk;
    const size_t length = body.size() + 1;
    chunk.push_back(static_cast<char>((length >> 8) & 0xFF));
    chunk.push_back(static_cast<char>(length & 0xFF));
    chunk.push_back(static_cast<char>(control));
    return chunk + body;
}

}  // namespace framechunks

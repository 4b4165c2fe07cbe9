#pragma once
// The two directions of the first TCP connection of a capture, put in order by the flow layer,
// as chunks in the order the capture carried them; and a sink that gathers what a TlsConnection
// hands out.

#include <pcap/pcap.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "flow/TcpReassembler.h"
#include "tls/TlsConnection.h"

namespace tlstest {

struct Chunk {
    int direction;  // 0 client to server, 1 server to client
    std::string bytes;
};

class ChunkSink : public ReassemblySink {
  public:
    ChunkSink(std::vector<Chunk>* out, int direction) : m_out(out), m_direction(direction) {}
    void OnBytes(const unsigned char* data, int length) override {
        m_out->push_back({m_direction, std::string(reinterpret_cast<const char*>(data),
                                                   static_cast<size_t>(length))});
    }
    void OnGap(uint32_t) override { m_out->push_back({m_direction + 2, {}}); }

  private:
    std::vector<Chunk>* m_out;
    int m_direction;
};

// Ethernet, IPv4, TCP: what tcpdump writes on lo. The first connection, or the first to
// serverPort.
inline std::vector<Chunk> ReadConnection(const std::string& path, uint16_t serverPort = 0) {
    std::vector<Chunk> chunks;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), error);
    if (p == nullptr) return chunks;
    TcpReassembler directions[2];
    ChunkSink sinks[2] = {ChunkSink(&chunks, 0), ChunkSink(&chunks, 1)};
    uint16_t clientPort = 0;
    struct pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) {
        const size_t n = h->caplen;
        if (n < 14 + 20 || d[12] != 0x08 || d[13] != 0x00) continue;
        const u_char* ip = d + 14;
        const size_t ipLength = (ip[0] & 0x0F) * 4u;
        const size_t total = static_cast<size_t>(ip[2]) << 8 | ip[3];
        if (ip[9] != 6 || 14 + total > n || total < ipLength + 20) continue;
        const u_char* tcp = ip + ipLength;
        const size_t tcpLength = (tcp[12] >> 4) * 4u;
        if (ipLength + tcpLength > total) continue;
        const uint16_t source = static_cast<uint16_t>(tcp[0] << 8 | tcp[1]);
        const uint16_t dest = static_cast<uint16_t>(tcp[2] << 8 | tcp[3]);
        const bool syn = (tcp[13] & 0x02) != 0;
        const bool ack = (tcp[13] & 0x10) != 0;
        if (clientPort == 0) {
            // The connection starts with the client's SYN.
            if (!syn || ack || (serverPort != 0 && dest != serverPort)) continue;
            clientPort = source;
        }
        int direction;
        if (source == clientPort)
            direction = 0;
        else if (dest == clientPort)
            direction = 1;
        else
            continue;
        const uint32_t seq =
            static_cast<uint32_t>(tcp[4]) << 24 | tcp[5] << 16 | tcp[6] << 8 | tcp[7];
        const int64_t us = int64_t{h->ts.tv_sec} * 1000000 + h->ts.tv_usec;
        directions[direction].Segment(seq, tcp + tcpLength,
                                      static_cast<int>(total - ipLength - tcpLength), syn,
                                      (tcp[13] & 0x01) != 0, us, sinks[direction]);
    }
    pcap_close(p);
    for (int i = 0; i < 2; ++i) directions[i].Flush(sinks[i]);
    return chunks;
}

struct Gathered : TlsSink {
    std::string plain[2];
    int ends[2] = {0, 0};
    int endReason[2] = {0, 0};
    void OnPlaintext(int d, const unsigned char* data, size_t length) override {
        plain[d].append(reinterpret_cast<const char*>(data), length);
    }
    void OnEnd(int d, int reason) override {
        ++ends[d];
        endReason[d] = reason;
    }
};

// Feeds the chunks in capture order.
inline void Feed(TlsConnection& tls, const std::vector<Chunk>& chunks) {
    for (const Chunk& c : chunks) {
        if (c.direction >= 2)
            tls.OnGap(c.direction - 2, 1);
        else
            tls.OnBytes(c.direction, reinterpret_cast<const unsigned char*>(c.bytes.data()),
                        c.bytes.size());
    }
}

inline std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

#ifdef STREVIX_TEST_DATA
// A file of the TLS test captures: NAME with its extension (".pcap", ".keys", ".truth").
inline std::string Path(const std::string& name, const char* ext) {
    return std::string(STREVIX_TEST_DATA) + "/tls/" + name + ext;
}

// What tshark read from a capture, as the capture scripts wrote it to NAME.truth.
struct Truth {
    std::string sni;
    // HTTP/1.1 "GET /x HTTP/1.1"; HTTP/2 "STREAM METHOD SCHEME AUTHORITY PATH".
    std::vector<std::string> requests;
    std::vector<std::string> responses;         // "200"; HTTP/2 "STREAM STATUS"
    std::map<std::string, std::string> bodies;  // HTTP/2: path -> MD5, lower case
};

inline Truth ReadTruth(const std::string& name) {
    Truth t;
    std::istringstream in(ReadText(Path(name, ".truth")));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("sni ", 0) == 0) t.sni = line.substr(4);
        if (line.rfind("request ", 0) == 0) t.requests.push_back(line.substr(8));
        if (line.rfind("response ", 0) == 0) t.responses.push_back(line.substr(9));
        if (line.rfind("body ", 0) == 0) {
            const size_t space = line.rfind(' ');
            t.bodies[line.substr(5, space - 5)] = line.substr(space + 1);
        }
    }
    return t;
}
#endif

}  // namespace tlstest

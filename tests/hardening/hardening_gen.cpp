// Generators and checkers for the load and fault scripts (nothing big is committed):
//   hardening_gen flv2pcap IN.flv OUT.pcap NAME   an RTMP play session carrying the FLV's tags:
//                                                 tcUrl rtmp://10.9.0.5/live, stream NAME
//   hardening_gen feed [--loops N] [--seconds S] [--rate FRAMES_PER_S] PCAP...
//                                                 one pcap on stdout: the frames of the captures
//                                                 again and again, every loop on fresh connection
//                                                 directions (both addresses rewritten)
//   hardening_gen flvcheck FILE [CUT_COPY]        counts the complete tags of an FLV file and
//                                                 writes the file up to its last complete tag

#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RtmpBytes.h"
#include "SeedSession.h"
#include "TestFrames.h"

namespace {

using testframes::Bytes;

std::string ReadAll(const std::string& path) {
    std::string s = testframes::ReadFile(path);
    if (s.empty()) std::fprintf(stderr, "hardening_gen: cannot read %s\n", path.c_str());
    return s;
}

uint32_t Be(const std::string& s, size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

int Flv2Pcap(const std::string& in, const std::string& out, const std::string& name) {
    const std::string flv = ReadAll(in);
    if (flv.size() < 13 || flv.compare(0, 3, "FLV") != 0) {
        std::fprintf(stderr, "hardening_gen: %s is not an FLV file\n", in.c_str());
        return 1;
    }
    const testframes::Endpoint client{{192, 168, 7, 2}, 50123};
    const testframes::Endpoint server{{10, 9, 0, 5}, 1935};
    seedsession::ClientCommands c = seedsession::Commands("rtmp://10.9.0.5/live", name);
    std::vector<Bytes> frames = {testframes::Frame(client, server, c.connect),
                                 testframes::Frame(client, server, c.createStream),
                                 testframes::Frame(client, server, c.play)};
    std::string stream = seedsession::SetChunkSize(4096);
    size_t at = Be(flv, 5, 4) + 4;  // past the header and PreviousTagSize0
    int tags = 0;
    while (at + 11 <= flv.size()) {
        const int type = static_cast<unsigned char>(flv[at]);
        const uint32_t size = Be(flv, at + 1, 3);
        const uint32_t ts = Be(flv, at + 4, 3) | (Be(flv, at + 7, 1) << 24);
        if (at + 11 + size > flv.size()) break;
        if (type == 8 || type == 9) {
            stream += rtmpbytes::Chunked(type == 9 ? 6 : 4, type, 1, flv.substr(at + 11, size),
                                         4096, ts & 0xFFFFFF);
            ++tags;
        }
        at += 11 + size + 4;
    }
    for (const std::string& s : seedsession::Segments(stream, 1448))
        frames.push_back(testframes::Frame(server, client, s));
    if (!testframes::WritePcap(out, frames)) return 1;
    std::fprintf(stderr, "%d tags in %zu frames\n", tags, frames.size());
    return 0;
}

// Both addresses of a frame moved by the loop number, the same way, so each loop's connections
// are new directions that still pair up.
void Rewrite(std::string* frame, uint32_t loop) {
    if (frame->size() < 34 || (*frame)[12] != 0x08 || (*frame)[13] != 0x00) return;
    for (size_t at : {size_t(14 + 12), size_t(14 + 16)}) {
        (*frame)[at + 1] = static_cast<char>((*frame)[at + 1] ^ ((loop >> 16) & 0xFF));
        (*frame)[at + 2] = static_cast<char>((*frame)[at + 2] ^ ((loop >> 8) & 0xFF));
        (*frame)[at + 3] = static_cast<char>((*frame)[at + 3] ^ (loop & 0xFF));
    }
}

int Feed(int argc, char** argv) {
    long loops = 1;
    double seconds = 0, rate = 0;
    std::vector<std::string> records;  // "caplen, len, bytes" of every frame, in order
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--loops" && i + 1 < argc) {
            loops = std::atol(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
            loops = 0;
        } else if (a == "--rate" && i + 1 < argc) {
            rate = std::atof(argv[++i]);
        } else {
            files.push_back(a);
        }
    }
    for (const std::string& path : files) {
        const std::string f = ReadAll(path);
        if (f.size() < 24 || Le32(f, 0) != 0xa1b2c3d4) {
            std::fprintf(stderr, "hardening_gen: %s: only little-endian pcap files\n",
                         path.c_str());
            return 1;
        }
        for (size_t at = 24; at + 16 <= f.size();) {
            const uint32_t caplen = Le32(f, at + 8);
            if (at + 16 + caplen > f.size()) break;
            records.push_back(f.substr(at + 8, 8 + caplen));
            at += 16 + caplen;
        }
    }
    if (records.empty()) return 1;
    signal(SIGPIPE, SIG_IGN);
    auto put32 = [](uint32_t v) { return std::fwrite(&v, 4, 1, stdout) == 1; };
    put32(0xa1b2c3d4), put32(2 | (4u << 16)), put32(0), put32(0), put32(262144), put32(1);
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    uint64_t sent = 0;
    for (uint32_t loop = 0; loops == 0 || loop < static_cast<uint32_t>(loops); ++loop) {
        if (loops == 0 && elapsed() >= seconds) break;
        for (const std::string& r : records) {
            std::string frame = r.substr(8);
            Rewrite(&frame, loop);
            const uint32_t usec = static_cast<uint32_t>(sent % 1000000);
            if (!put32(1573813230 + static_cast<uint32_t>(sent / 1000000)) || !put32(usec) ||
                std::fwrite(r.data(), 1, 8, stdout) != 8 ||
                std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size()) {
                return 0;  // the reader went away
            }
            ++sent;
            if (rate > 0) {
                std::fflush(stdout);
                const double due = sent / rate;
                const double now = elapsed();
                if (due > now) {
                    const double wait = due - now;
                    timespec t{static_cast<time_t>(wait),
                               static_cast<long>((wait - static_cast<time_t>(wait)) * 1e9)};
                    nanosleep(&t, nullptr);
                }
            }
        }
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%llu frames\n", static_cast<unsigned long long>(sent));
    return 0;
}

int FlvCheck(const std::string& path, const std::string& cutCopy) {
    const std::string flv = ReadAll(path);
    if (flv.size() < 13 || flv.compare(0, 3, "FLV") != 0) {
        std::printf("not an FLV file (%zu bytes)\n", flv.size());
        return 1;
    }
    size_t at = 13;  // header and PreviousTagSize0
    size_t complete = at;
    int tags = 0, video = 0;
    uint32_t previous = 0;
    bool sizesAgree = true;
    while (at + 11 <= flv.size()) {
        const uint32_t size = Be(flv, at + 1, 3);
        if (at + 11 + size > flv.size()) break;
        const int type = static_cast<unsigned char>(flv[at]);
        if (type != 8 && type != 9 && type != 18) {
            std::printf("tag %d at %zu has type %d\n", tags, at, type);
            return 1;
        }
        if (tags > 0 && previous != Be(flv, at - 4, 4)) sizesAgree = false;
        video += type == 9;
        ++tags;
        previous = 11 + size;
        complete = at + 11 + size;
        if (complete + 4 > flv.size()) break;
        at = complete + 4;
    }
    std::printf("%d complete tags (%d video), %zu bytes after the last one, sizes %s\n", tags,
                video, flv.size() - complete, sizesAgree ? "agree" : "DISAGREE");
    if (!cutCopy.empty()) {
        FILE* out = std::fopen(cutCopy.c_str(), "wb");
        if (out == nullptr) return 1;
        std::fwrite(flv.data(), 1, complete, out);
        std::fclose(out);
    }
    return sizesAgree && tags > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "flv2pcap" && argc == 5) return Flv2Pcap(argv[2], argv[3], argv[4]);
    if (command == "feed" && argc > 2) return Feed(argc - 2, argv + 2);
    if (command == "flvcheck" && (argc == 3 || argc == 4))
        return FlvCheck(argv[2], argc == 4 ? argv[3] : "");
    std::fprintf(stderr,
                 "usage: hardening_gen flv2pcap IN.flv OUT.pcap NAME\n"
                 "       hardening_gen feed [--loops N] [--seconds S] [--rate FPS] PCAP...\n"
                 "       hardening_gen flvcheck FILE [CUT_COPY]\n");
    return 2;
}

// Writes the seed corpora: fuzz_make_seeds FOLDER [CAPTURE...] writes FOLDER/<target>/<name>
// for every target: hand-built sessions and frames, and the captures named (see fuzz/README.md).

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FrameChunks.h"
#include "RealRequests.h"
#include "SeedSession.h"
#include "TestFrames.h"

namespace {

using testframes::Bytes;
using testframes::Endpoint;
using testframes::Frame;
using testframes::FrameOptions;

std::string g_root;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
    std::string folder = g_root + "/" + target;
    mkdir(g_root.c_str(), 0755);
    mkdir(folder.c_str(), 0755);
    FILE* out = std::fopen((folder + "/" + name).c_str(), "wb");
    if (out == nullptr) {
        std::perror(name.c_str());
        return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

std::string Str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

const Endpoint kClient{{10, 0, 0, 1}, 40000};
const Endpoint kServer{{10, 0, 1, 1}, 1935};

// Whole frames of an RTMP session: the client's commands, then the server's media.
std::vector<Bytes> RtmpFrames(const std::string& tcUrl, const std::string& name,
                              size_t chunkSize = 4096) {
    seedsession::ClientCommands c = seedsession::Commands(tcUrl, name, chunkSize);
    std::vector<Bytes> frames;
    frames.push_back(Frame(kClient, kServer, c.connect));
    frames.push_back(Frame(kClient, kServer, c.createStream));
    frames.push_back(Frame(kClient, kServer, c.play));
    for (const std::string& s : seedsession::Segments(seedsession::ServerMedia(4, chunkSize)))
        frames.push_back(Frame(kServer, kClient, s));
    return frames;
}

std::string PcapBytes(const std::vector<Bytes>& frames, uint32_t linkType = 1,
                      uint32_t snapLen = 65536) {
    std::string path = g_root + "/.tmp.pcap";
    testframes::WritePcap(path, frames, linkType, snapLen);
    std::string bytes = testframes::ReadFile(path);
    std::remove(path.c_str());
    return bytes;
}

void Put32(std::string* s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*s)[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An unpack seed: the byte that picks the frame's link layer, then the frame.
void Unpack(const std::string& name, const std::string& frame, char link = 0) {
    Write("unpack", name, std::string(1, link) + frame);
}

void UnpackSeeds() {
    seedsession::ClientCommands c = seedsession::Commands("rtmp://10.0.1.1/live", "fuzz");
    const std::string rtsp = "DESCRIBE rtsp://10.0.1.1:554/live/a RTSP/1.0\r\nCSeq: 2\r\n\r\n";
    const std::string hls = "GET /live/a.m3u8 HTTP/1.1\r\nHost: 10.0.1.1\r\n\r\n";
    const std::string http = "GET /index.html HTTP/1.1\r\nHost: example.test\r\n\r\n";
    const std::string connectAndPlay = c.connect + c.createStream + c.play;
    Unpack("rtmp-connect", Str(Frame(kClient, kServer, c.connect)));
    Unpack("rtmp-connect-play", Str(Frame(kClient, kServer, connectAndPlay)));
    Unpack("rtsp-describe", Str(Frame(kClient, {{10, 0, 1, 1}, 554}, rtsp)));
    Unpack("http-hls", Str(Frame(kClient, {{10, 0, 1, 1}, 80}, hls)));
    Unpack("http-get", Str(Frame(kClient, {{10, 0, 1, 1}, 80}, http)));
    FrameOptions o;
    o.ihl = 15;
    Unpack("ihl-15-options", Str(Frame(kClient, kServer, http, o)));
    o = FrameOptions();
    o.dataOffset = 15;
    Unpack("doff-15-options", Str(Frame(kClient, kServer, rtsp, o)));
    o = FrameOptions();
    o.totalLengthDelta = 4000;
    Unpack("total-beyond-frame", Str(Frame(kClient, kServer, hls, o)));
    o = FrameOptions();
    o.totalLengthDelta = -30;
    o.padding = 6;
    Unpack("total-short-padded", Str(Frame(kClient, kServer, http, o)));
    o = FrameOptions();
    o.etherType = 0x86DD;
    Unpack("ipv6-ethertype", Str(Frame(kClient, kServer, http, o)));
    o = FrameOptions();
    o.protocol = 17;
    Unpack("udp", Str(Frame(kClient, kServer, rtsp, o)));
    Bytes cut = Frame(kClient, kServer, http);
    cut.resize(40);
    Unpack("cut-in-tcp-header", Str(cut));

    // Other link layers, VLAN tags and IPv6 with its extension headers.
    o = FrameOptions();
    o.link = 113;
    Unpack("sll-rtmp-connect", Str(Frame(kClient, kServer, c.connect, o)), 1);
    o.link = 276;
    o.vlanTags = {0x8100};
    Unpack("sll2-vlan-hls", Str(Frame(kClient, kServer, hls, o)), 2);
    o = FrameOptions();
    o.vlanTags = {0x88A8, 0x8100};
    Unpack("qinq-rtsp", Str(Frame(kClient, kServer, rtsp, o)));
    Unpack("unknown-link", Str(Frame(kClient, kServer, rtsp, o)), 3);
    o = FrameOptions();
    o.ipv6 = true;
    Unpack("ipv6-rtmp-connect-play", Str(Frame(kClient, kServer, connectAndPlay, o)));
    o.extensions = {{0, 8}, {43, 24}, {44, 8}, {60, 16}};
    Unpack("ipv6-chain-hls", Str(Frame(kClient, kServer, hls, o)));
    o.extensions = {{44, 8, 100}};
    Unpack("ipv6-later-fragment", Str(Frame(kClient, kServer, http, o)));
    o.extensions = {{0, 8, 0, 40}, {60, 8}};
    Unpack("ipv6-lying-hop-by-hop", Str(Frame(kClient, kServer, http, o)));
    o.extensions.clear();
    o.ipv6PayloadLength = 0;
    o.padding = 4;
    Unpack("ipv6-length-0", Str(Frame(kClient, kServer, rtsp, o)));
    o = FrameOptions();
    o.link = 276;
    o.ipv6 = true;
    o.vlanTags = {0x8100, 0x8100};
    o.extensions = {{60, 8}};
    Unpack("sll2-vlan-ipv6-connect", Str(Frame(kClient, kServer, c.connect, o)), 2);
}

void AnalyseSeeds() {
    using framechunks::Chunk;
    const int toServer = 0, toClient = 8;
    {
        seedsession::ClientCommands c = seedsession::Commands("rtmp://10.0.1.1/live", "fuzz");
        std::string in =
            Chunk(toServer, c.connect) + Chunk(toServer, c.createStream) + Chunk(toServer, c.play);
        for (const std::string& s : seedsession::Segments(seedsession::ServerMedia(6)))
            in += Chunk(toClient, s);
        Write("analyse", "rtmp-session", in);
    }
    {
        // 128-byte chunks put a continuation byte inside the tcUrl value.
        const std::string url = "rtmp://10.0.1.1:1935/live/" + std::string(90, 'x');
        seedsession::ClientCommands c = seedsession::Commands(url, "a", 128);
        std::string in = Chunk(1, c.connect + c.createStream) + Chunk(1, c.play);
        for (const std::string& s : seedsession::Segments(seedsession::ServerMedia(3, 128), 700))
            in += Chunk(9, s);
        Write("analyse", "rtmp-small-chunks", in);
    }
    {
        // Two connections interleaved, one RTSP, one HLS, one plain HTTP.
        seedsession::ClientCommands c = seedsession::Commands("rtmp://10.0.1.1:1936/live", "fuzz");
        std::string media = seedsession::ServerMedia(2);
        std::string in = Chunk(2, c.connect) + Chunk(0x13,
                                                     "SETUP rtsp://10.0.1.1/live/a/track1 "
                                                     "RTSP/1.0\r\nCSeq: 3\r\n\r\n");
        in += Chunk(2, c.createStream + c.play);
        in += Chunk(0x24, "GET /hls/a.ts HTTP/1.1\r\nHost: 10.0.1.1\r\nUser-Agent: x\r\n\r\n");
        in += Chunk(0x35, "POST /api HTTP/1.1\r\nHost: 10.0.1.1:8080\r\n\r\nbody");
        in += Chunk(10, media.substr(0, 500)) + Chunk(10, media.substr(500));
        Write("analyse", "mixed-connections", in);
    }
    {
        // Raw frames with lying headers, then a wrapped request.
        FrameOptions o;
        o.ihl = 3;
        std::string in = Chunk(0x80, Str(Frame(kClient, kServer, "GET / HTTP/1.1\r\n", o)));
        o = FrameOptions();
        o.dataOffset = 2;
        in += Chunk(0x80, Str(Frame(kClient, kServer, "RTSP/1.0", o)));
        o = FrameOptions();
        o.totalLengthDelta = 30000;
        in += Chunk(0x80, Str(Frame(kClient, kServer, "GET /a.flv HTTP/1.1\r\nHost: h\r\n", o)));
        in += Chunk(0x20, "GET /live.flv HTTP/1.1\r\nHost: 10.0.1.1\r\n\r\n");
        Write("analyse", "raw-lying-frames", in);
    }
}

void RtmpSeeds() {
    auto Segmented = [](const std::string& bytes, size_t mss) {
        std::string out;
        for (const std::string& s : seedsession::Segments(bytes, mss)) {
            out.push_back(static_cast<char>(s.size() >> 8));
            out.push_back(static_cast<char>(s.size() & 0xFF));
            out += s;
        }
        return out;
    };
    Write("rtmp", "media-1460", Segmented(seedsession::ServerMedia(6), 1460));
    Write("rtmp", "media-128-chunks", Segmented(seedsession::ServerMedia(3, 128), 500));
    Write("rtmp", "media-one-segment", Segmented(seedsession::ServerMedia(2), 60000));
    {
        // Every fourth segment lost: a gap marker (0xFD and the length) in its place.
        std::string out;
        int n = 0;
        for (const std::string& s : seedsession::Segments(seedsession::ServerMedia(8, 128), 300)) {
            std::string piece = s;
            if (++n % 4 == 0) {
                piece = std::string("\xFD\x00\x00", 3);
                piece.push_back(static_cast<char>(s.size() >> 8));
                piece.push_back(static_cast<char>(s.size() & 0xFF));
            }
            out.push_back(static_cast<char>(piece.size() >> 8));
            out.push_back(static_cast<char>(piece.size() & 0xFF));
            out += piece;
        }
        Write("rtmp", "media-128-gaps", out);
    }
    // A header declaring 65534 bytes of which only a few arrive.
    std::string big = rtmpbytes::Chunked(6, 9, 1, std::string(300, 'v'));
    big[4] = '\x00', big[5] = '\xff', big[6] = '\xfe';
    Write("rtmp", "declared-65534", Segmented(seedsession::SetChunkSize(60000) + big, 100));
    // Type-1 and type-2 headers, an extended timestamp, a second chunk stream.
    std::string mixed = seedsession::ServerMedia(1);
    std::string t1("\x46\x00\x00\x28\x00\x00\x10\x09", 8);
    t1 += seedsession::VideoFrameBody(false, 11, 7);
    std::string ext =
        rtmpbytes::Chunked(7, 9, 1, seedsession::VideoFrameBody(true, 30, 3), 4096, 0xFFFFFF);
    Write("rtmp", "type1-ext-timestamp", Segmented(mixed + t1 + ext + "\x86\x00\x00\x28", 333));
}

void CaptureSeeds() {
    std::vector<Bytes> frames = RtmpFrames("rtmp://10.0.1.1/live", "fuzz");
    std::string good = PcapBytes(frames);
    Write("capture", "rtmp-session", good);
    Write("capture", "cut-file-header", good.substr(0, 17));
    Write("capture", "cut-last-record", good.substr(0, good.size() - 100));
    std::string bad = good;
    bad[0] = 'X';
    Write("capture", "wrong-magic", bad);
    Write("capture", "linux-cooked", PcapBytes(frames, 113));
    // Absurd captured lengths: beyond the snapshot length, beyond the file, larger than a frame.
    std::string absurd = good;
    Put32(&absurd, 24 + 8, 0x00040001);
    Write("capture", "caplen-beyond-snaplen", absurd);
    absurd = good;
    Put32(&absurd, 24 + 8, 0xFFFFFFF0);
    Write("capture", "caplen-huge", absurd);
    absurd = PcapBytes(frames, 1, 100);
    Write("capture", "snaplen-100", absurd);
    absurd = good;
    Put32(&absurd, 24 + 12, 3);  // original length below the captured one
    Write("capture", "len-below-caplen", absurd);
    // Nanosecond stamps.
    std::string nano = good;
    Put32(&nano, 0, 0xa1b23c4d);
    Write("capture", "nanosecond-magic", nano);
    // A big-endian file header and nothing after it.
    Write("capture", "big-endian-header-only",
          std::string("\xa1\xb2\xc3\xd4\x00\x02\x00\x04\0\0\0\0\0\0\0\0\x00\x01\x00\x00"
                      "\x00\x00\x00\x01",
                      24));
    // Pcapng files go through the capture library's loop: a minimal one, the whole session, and
    // the session cut inside its last block.
    auto pcapng = [](const std::vector<Bytes>& packets) {
        std::string ng;
        auto put32 = [&ng](uint32_t v) { ng.append(reinterpret_cast<const char*>(&v), 4); };
        put32(0x0A0D0D0A), put32(28), put32(0x1A2B3C4D), put32(0x00000001), put32(0xFFFFFFFF),
            put32(0xFFFFFFFF), put32(28);
        put32(1), put32(20), put32(1 | (0 << 16)), put32(65536), put32(20);
        for (const Bytes& f : packets) {
            uint32_t padded = static_cast<uint32_t>((f.size() + 3) & ~size_t(3));
            put32(6), put32(32 + padded), put32(0), put32(0), put32(0),
                put32(static_cast<uint32_t>(f.size())), put32(static_cast<uint32_t>(f.size()));
            ng.append(f.begin(), f.end());
            ng.append(padded - f.size(), '\0');
            put32(32 + padded);
        }
        return ng;
    };
    Write("capture", "pcapng-one-frame", pcapng({frames[0]}));
    const std::string session = pcapng(frames);
    Write("capture", "pcapng-rtmp-session", session);
    Write("capture", "pcapng-cut-last-block", session.substr(0, session.size() - 100));
}

// What a connection collects before the extractors read it: its first whole frame, then the
// payloads that followed.
void ExtractSeeds() {
    const Endpoint web{{10, 0, 1, 1}, 8000};
    const Endpoint rtsp{{10, 0, 1, 1}, 8554};
    Write("extract", "http-ffmpeg-hls", Str(Frame(kClient, web, realrequests::kFfmpegHls)));
    Write("extract", "http-curl-post", Str(Frame(kClient, web, realrequests::kCurlPost)));
    Write("extract", "http-curl-referer", Str(Frame(kClient, web, realrequests::kCurlReferer)));
    const std::string hls = realrequests::kFfmpegHls;
    Write("extract", "http-split-in-host",
          Str(Frame(kClient, web, hls.substr(0, hls.find("Host") + 2))) +
              hls.substr(hls.find("Host") + 2));
    // A response whose "Host" comes after its frame; the last byte makes that frame the first
    // one of the collection that waits for it.
    const std::string frame =
        Str(Frame(web, kClient, "HTTP/1.1 200 OK\r\nServer: t\r\n\r\nbody X-Forwarded-Ho"));
    std::string response = frame + "st: cdn.example\r\n\r\nmore";
    response += static_cast<char>(frame.size() - 1);
    Write("extract", "response-host-later", response);
    Write("extract", "rtsp-ffmpeg-describe",
          Str(Frame(kClient, rtsp, realrequests::kFfmpegDescribe)));
    seedsession::ClientCommands c = seedsession::Commands("rtmp://10.0.1.1/live", "fuzz");
    Write("extract", "rtmp-session",
          Str(Frame(kClient, kServer, c.connect)) + c.createStream + c.play);
    // 128-byte chunks put a continuation byte inside the tcUrl value.
    c = seedsession::Commands("rtmp://10.0.1.1:1935/live/" + std::string(90, 'x'), "a", 128);
    Write("extract", "rtmp-small-chunks",
          Str(Frame(kClient, kServer, c.connect)) + c.createStream + c.play);
}

// A real capture as a seed of both file and frame targets: the file itself, and its frames as
// raw chunks (classic little-endian pcap only).
void CaptureFileSeeds(const std::string& path) {
    const std::string file = testframes::ReadFile(path);
    std::string name = path.substr(path.rfind('/') + 1);
    name = name.substr(0, name.rfind('.'));
    if (file.size() < 24 || file.compare(0, 4, "\xd4\xc3\xb2\xa1") != 0) {
        std::fprintf(stderr, "%s: not a little-endian pcap file\n", path.c_str());
        return;
    }
    Write("capture", name, file);
    auto get32 = [&file](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(file[at + i]);
        return v;
    };
    std::string chunks;
    for (size_t at = 24; at + 16 <= file.size();) {
        const size_t caplen = get32(at + 8);
        if (at + 16 + caplen > file.size() || caplen > 65534) break;
        chunks += framechunks::Chunk(0x80, file.substr(at + 16, caplen));
        at += 16 + caplen;
    }
    Write("analyse", name, chunks);
}

// Records of flow_fuzz.cpp: flags, 4-byte number, 2-byte length, payload.
std::string FlowRecord(uint8_t flags, uint32_t seq, const std::string& payload) {
    std::string r(1, static_cast<char>(flags));
    for (int shift = 24; shift >= 0; shift -= 8) r.push_back(static_cast<char>(seq >> shift));
    r.push_back(static_cast<char>(payload.size() >> 8));
    r.push_back(static_cast<char>(payload.size() & 0xFF));
    return r + payload;
}

void FlowSeeds() {
    const uint8_t kToClient = 1, kSyn = 2, kFin = 4, kRelative = 8, kLater = 0x10, kFlush = 0x20;
    // A handshake, a request and an answer in order, both FINs.
    std::string in;
    in += FlowRecord(kSyn, 1000, "");
    in += FlowRecord(kToClient | kSyn, 5000, "");
    in += FlowRecord(0, 1001, "GET /live.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n");
    in += FlowRecord(kToClient, 5001, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    in += FlowRecord(kToClient | kRelative | kFin, 0, "");
    in += FlowRecord(kRelative | kFin, 0, "");
    Write("flow", "in-order-handshake", in);
    // Out of order, sent twice, overlapping with other bytes, relative to the next byte.
    std::string re;
    re += FlowRecord(0, 70, "abc");
    re += FlowRecord(kRelative, 6, "ghi");
    re += FlowRecord(kRelative, 3, "DEFGH");
    re += FlowRecord(kRelative, 0, "def");
    re += FlowRecord(kRelative, 0xFFFFFFFE, "efghijkl");
    re += FlowRecord(kRelative, 10, "xyz");
    Write("flow", "reordered-overlapping", re);
    // Holes waiting out the timeout, then a flush with a FIN beyond the bytes.
    std::string holes;
    holes += FlowRecord(kToClient, 9, "a");
    for (uint32_t i = 1; i < 8; ++i) holes += FlowRecord(kToClient | kRelative, 2 * i, "hole");
    holes += FlowRecord(kToClient | kRelative | kLater, 40, "x");
    holes += FlowRecord(kToClient | kRelative | kLater, 60, "y");
    holes += FlowRecord(kToClient | kRelative | kFin, 90, "z");
    holes += FlowRecord(kToClient | kFlush | kRelative, 0, "");
    Write("flow", "holes-timeout-flush", holes);
    // Around the wrap, then a jump past the window.
    std::string wrap;
    wrap += FlowRecord(kSyn, 0xFFFFFFF0u, "");
    wrap += FlowRecord(0, 0xFFFFFFF8u, std::string(20, 'w'));
    wrap += FlowRecord(0, 0xFFFFFFF1u, std::string(10, 'v'));
    wrap += FlowRecord(kRelative, (32u << 20) + 100, "far");
    wrap += FlowRecord(0x80, 77, "");  // Start
    wrap += FlowRecord(0, 77, "again");
    Write("flow", "wrap-and-jump", wrap);
    // More one-byte holes than a direction may hold, and more bytes than the shared cap.
    std::string many;
    many += FlowRecord(0, 1, "s");
    for (uint32_t i = 0; i < 1100; ++i) many += FlowRecord(kRelative, 2 + 2 * (i % 600), "b");
    many += FlowRecord(kToClient, 1, "c");
    many += FlowRecord(kToClient | kRelative, 10, std::string(2500, 'm'));
    many += FlowRecord(kToClient | kRelative, 3000, std::string(2500, 'n'));
    Write("flow", "bounds", many);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds FOLDER [CAPTURE.pcap...]\n");
        return 2;
    }
    g_root = argv[1];
    UnpackSeeds();
    AnalyseSeeds();
    RtmpSeeds();
    CaptureSeeds();
    ExtractSeeds();
    FlowSeeds();
    for (int i = 2; i < argc; ++i) CaptureFileSeeds(argv[i]);
    return 0;
}

// strevix-gencorpus: writes a large, deterministic Ethernet/IPv4/TCP capture of mixed traffic
// (web, TLS-like, HLS, RTSP with interleaved RTP, RTMP with chunked media) and, beside it, the
// stream addresses a correct analyser must report (FILE.truth).
//
// Everything comes from one seeded generator and one thread, so the same seed and size give the
// same bytes. Nothing is sent anywhere: the addresses only live inside the file.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Random numbers: xoshiro256** seeded by splitmix64; the standard distributions are not the
// same on every library, these are.

class Rng {
  public:
    explicit Rng(uint64_t seed) {
        for (auto& w : m_s) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            w = z ^ (z >> 31);
        }
    }
    uint64_t Next() {
        const uint64_t result = Rotl(m_s[1] * 5, 7) * 9;
        const uint64_t t = m_s[1] << 17;
        m_s[2] ^= m_s[0];
        m_s[3] ^= m_s[1];
        m_s[1] ^= m_s[2];
        m_s[0] ^= m_s[3];
        m_s[2] ^= t;
        m_s[3] = Rotl(m_s[3], 45);
        return result;
    }
    // 0 <= r < n (n > 0); the tiny modulo bias does not matter here.
    uint64_t Below(uint64_t n) { return Next() % n; }
    // lo <= r <= hi
    int64_t Range(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(Below(static_cast<uint64_t>(hi - lo + 1)));
    }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    // Roughly exponential around mean, clamped to [lo, hi]; sizes of web objects look like this.
    size_t Sized(size_t mean, size_t lo, size_t hi) {
        const double u = (static_cast<double>(Next() >> 11) + 0.5) / 9007199254740992.0;
        double v = -std::log(u) * static_cast<double>(mean);
        if (v < static_cast<double>(lo)) v = static_cast<double>(lo);
        if (v > static_cast<double>(hi)) v = static_cast<double>(hi);
        return static_cast<size_t>(v);
    }
    void Fill(std::string& out, size_t n) {
        const size_t start = out.size();
        out.resize(start + n);
        char* p = &out[start];
        while (n >= 8) {
            const uint64_t v = Next();
            std::memcpy(p, &v, 8);
            p += 8;
            n -= 8;
        }
        if (n > 0) {
            const uint64_t v = Next();
            std::memcpy(p, &v, n);
        }
    }
    // Lower-case text with spaces, newlines and markup signs: no upper-case letters, so no
    // version token or method word can appear by chance in a body.
    void Text(std::string& out, size_t n) {
        static const char kAlphabet[65] =
            "etaoinshrdlucmfwypvbgkjqxz etaoinshrdlu  \n<>/=\"etaoinsrhl;{}():,";
        const size_t start = out.size();
        out.resize(start + n);
        char* p = &out[start];
        size_t i = 0;
        while (i < n) {
            uint64_t v = Next();
            for (int k = 0; k < 8 && i < n; ++k, v >>= 8) p[i++] = kAlphabet[v & 63];
        }
    }

  private:
    static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t m_s[4];
};

// ---------------------------------------------------------------------------------------------
// Small byte helpers.

void Put16(std::string& s, unsigned v) {
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
    s.push_back(static_cast<char>(v & 0xFF));
}
void Put24(std::string& s, unsigned v) {
    s.push_back(static_cast<char>((v >> 16) & 0xFF));
    Put16(s, v);
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, v >> 16);
    Put16(s, v & 0xFFFF);
}
void Put32Le(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(&big[0], big.size(), fmt, ap);
    va_end(ap);
    big.resize(static_cast<size_t>(n));
    return big;
}

std::string IpText(uint32_t ip) {
    return Format("%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
}

const char* const kWords[] = {
    "news",   "sport",  "weather", "shop",   "cart",  "media", "static",  "assets", "blog",
    "forum",  "wiki",   "search",  "user",   "login", "photo", "gallery", "music",  "travel",
    "market", "home",   "about",   "help",   "docs",  "api",   "cdn",     "img",    "style",
    "main",   "vendor", "app",     "bundle", "theme", "font",  "icon",    "logo",   "banner",
    "page",   "item",   "list",    "view",   "post",  "story", "live",    "daily",  "city",
    "green",  "river",  "north",   "south",  "metro", "delta", "orbit",   "pixel",  "cloud"};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

const char* Word(Rng& r) {
    return kWords[r.Below(kWordCount)];
}

// ---------------------------------------------------------------------------------------------
// AMF0 and RTMP chunking.

void AmfString(std::string& s, const std::string& v) {
    s.push_back(0x02);
    Put16(s, static_cast<unsigned>(v.size()));
    s += v;
}
void AmfNumber(std::string& s, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    s.push_back(0x00);
    for (int i = 7; i >= 0; --i) s.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}
void AmfBool(std::string& s, bool b) {
    s.push_back(0x01);
    s.push_back(b ? 1 : 0);
}
void AmfNull(std::string& s) {
    s.push_back(0x05);
}
void AmfName(std::string& s, const char* name) {
    Put16(s, static_cast<unsigned>(std::strlen(name)));
    s += name;
}
void AmfObjectEnd(std::string& s) {
    Put16(s, 0);
    s.push_back(0x09);
}

// One direction of an RTMP chunk stream: remembers what each chunk stream id last carried so
// later messages get the short type-1 header, continuations the one-byte type-3 header.
class ChunkWriter {
  public:
    void Message(std::string& out, unsigned csid, unsigned type, uint32_t msid, uint32_t timestamp,
                 const std::string& payload) {
        State& st = m_state[csid];
        const bool fresh = !st.used || st.msid != msid || timestamp < st.timestamp;
        out.push_back(static_cast<char>(((fresh ? 0 : 1) << 6) | csid));
        if (fresh) {
            Put24(out, timestamp);
            Put24(out, static_cast<unsigned>(payload.size()));
            out.push_back(static_cast<char>(type));
            Put32Le(out, msid);
        } else {
            Put24(out, timestamp - st.timestamp);
            Put24(out, static_cast<unsigned>(payload.size()));
            out.push_back(static_cast<char>(type));
        }
        st.used = true;
        st.msid = msid;
        st.timestamp = timestamp;
        for (size_t off = 0; off < payload.size(); off += kChunk) {
            if (off > 0) out.push_back(static_cast<char>(0xC0 | csid));
            out.append(payload, off, kChunk);
        }
    }
    static constexpr size_t kChunk = 128;

  private:
    struct State {
        bool used = false;
        uint32_t msid = 0;
        uint32_t timestamp = 0;
    };
    State m_state[64];
};

// ---------------------------------------------------------------------------------------------
// Connections and their conversations.

struct Turn {
    bool fromServer;
    std::string data;
};

struct Conn {
    uint32_t cip = 0, sip = 0;
    uint16_t cport = 0, sport = 0;
    bool tsopt = false;
    uint16_t mss = 1460;
    uint32_t cnext = 0, snext = 0;  // next sequence number of each side
    uint32_t ctsBase = 0, stsBase = 0, ctsLast = 0, stsLast = 0;
    uint16_t cid = 0, sid = 0;  // IPv4 identification counters
    std::vector<Turn> turns;
    size_t turn = 0, off = 0;
    int unacked = 0;
    bool peerAck = false;  // the receiver owes an acknowledgement now
    bool reset = false;    // end with RST instead of the FIN exchange
    int state = 0;
    uint64_t pending = 0;  // bytes still to be written (estimate, for the size budget)
};

enum State { kSyn, kSynAck, kAck, kData, kFin1, kFin2, kFin3, kRst, kDone };

constexpr uint8_t kFin = 0x01, kSynF = 0x02, kRstF = 0x04, kPsh = 0x08, kAckF = 0x10;

// ---------------------------------------------------------------------------------------------
// The capture writer.

class PcapWriter {
  public:
    explicit PcapWriter(FILE* f) : m_f(f) {
        m_buf.reserve(kBuf + 70000);
        // pcap file header in host order: magic, version 2.4, zone, accuracy, snaplen, Ethernet
        struct {
            uint32_t magic = 0xA1B2C3D4u;
            uint16_t major = 2, minor = 4;
            int32_t zone = 0;
            uint32_t sigfigs = 0, snaplen = 65535, linktype = 1;
        } h;
        static_assert(sizeof h == 24, "pcap header is 24 bytes");
        const auto* p = reinterpret_cast<const uint8_t*>(&h);
        m_buf.insert(m_buf.end(), p, p + sizeof h);
    }
    ~PcapWriter() { Flush(); }

    // Appends one frame; returns its place so the caller fills it in.
    uint8_t* Frame(uint64_t usec, size_t len) {
        const uint32_t rec[4] = {static_cast<uint32_t>(usec / 1000000),
                                 static_cast<uint32_t>(usec % 1000000), static_cast<uint32_t>(len),
                                 static_cast<uint32_t>(len)};
        const size_t at = m_buf.size();
        m_buf.resize(at + 16 + len);
        std::memcpy(&m_buf[at], rec, 16);
        m_written += 16 + len;
        ++m_packets;
        return &m_buf[at + 16];
    }
    void MaybeFlush() {
        if (m_buf.size() >= kBuf) Flush();
    }
    void Flush() {
        if (!m_buf.empty() && std::fwrite(m_buf.data(), 1, m_buf.size(), m_f) != m_buf.size()) {
            m_failed = true;
        }
        m_buf.clear();
    }
    uint64_t Written() const { return m_written + 24; }
    uint64_t Packets() const { return m_packets; }
    bool Failed() const { return m_failed; }

  private:
    static constexpr size_t kBuf = 8u << 20;
    FILE* m_f;
    std::vector<uint8_t> m_buf;
    uint64_t m_written = 0, m_packets = 0;
    bool m_failed = false;
};

uint32_t SumWords(const uint8_t* p, size_t n, uint32_t sum) {
    uint64_t s = sum;
    while (n >= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        // add the four big-endian words of v
        s += ((v >> 0) & 0xFF) << 8 | ((v >> 8) & 0xFF);
        s += ((v >> 16) & 0xFF) << 8 | ((v >> 24) & 0xFF);
        s += ((v >> 32) & 0xFF) << 8 | ((v >> 40) & 0xFF);
        s += ((v >> 48) & 0xFF) << 8 | ((v >> 56) & 0xFF);
        p += 8;
        n -= 8;
    }
    while (n >= 2) {
        s += static_cast<uint64_t>(p[0]) << 8 | p[1];
        p += 2;
        n -= 2;
    }
    if (n) s += static_cast<uint64_t>(p[0]) << 8;
    while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
    return static_cast<uint32_t>(s);
}

void Store16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void Store32(uint8_t* p, uint32_t v) {
    Store16(p, v >> 16);
    Store16(p + 2, v & 0xFFFF);
}

// ---------------------------------------------------------------------------------------------
// Servers that the connections talk to; fixed per seed so addresses recur across connections.

struct WebHost {
    uint32_t ip;
    std::string host;  // Host header
    uint16_t port;
};

struct HlsChannel {
    std::string dir;       // "/live/news3/"
    std::string playlist;  // "index.m3u8"
    unsigned firstSeq;
};
struct HlsServer {
    uint32_t ip;
    std::string host;  // Host header, with ":port" unless 80
    uint16_t port;
    std::vector<HlsChannel> channels;
};

struct RtspServer {
    uint32_t ip;
    std::string authority;  // "10.40.1.2:554" or "10.40.1.2"
    uint16_t port;
    std::vector<std::string> paths;
};

struct RtmpServer {
    uint32_t ip;
    std::string host;
    bool explicitPort;
    std::vector<std::string> apps;
};

struct Options {
    uint64_t seed = 1;
    double sizeMb = 1000;
    std::string out;
    std::string mode = "mix";
    uint64_t floodConns = 500000;
    unsigned pool = 2000;
};

class Generator {
  public:
    Generator(const Options& o, PcapWriter& w) : m_o(o), m_w(w), m_r(o.seed) {
        MakeServers();
        // Start of the capture: a fixed day, so the same seed gives the same file.
        m_clock = 1796000000ull * 1000000ull + m_r.Below(1000000);
    }

    void Run();
    const std::set<std::string>& Truth() const { return m_truth; }
    uint64_t Connections() const { return m_started; }

  private:
    void MakeServers();
    uint32_t ClientIp() {
        return (192u << 24) | (168u << 16) | (static_cast<uint32_t>(m_r.Below(16)) << 8) |
               static_cast<uint32_t>(2 + m_r.Below(250));
    }
    uint16_t ClientPort(uint32_t cip);
    Conn NewConn(uint32_t sip, uint16_t sport);
    void StartConnection(Conn& c);
    void StartFlood(Conn& c);

    void Web(Conn& c);
    void Tls(Conn& c);
    void Hls(Conn& c);
    void Rtsp(Conn& c);
    void Rtmp(Conn& c);
    void LongLines(Conn& c);

    bool Step(Conn& c);
    void Emit(Conn& c, bool fromServer, uint8_t flags, const char* payload, size_t n);

    const Options& m_o;
    PcapWriter& m_w;
    Rng m_r;
    uint64_t m_clock = 0;
    std::set<std::string> m_truth;
    uint64_t m_started = 0;
    uint32_t m_floodIndex = 0;

    std::vector<WebHost> m_web;
    std::vector<uint32_t> m_tls;
    std::vector<HlsServer> m_hls;
    std::vector<RtspServer> m_rtsp;
    std::vector<RtmpServer> m_rtmp;
    std::vector<uint16_t> m_nextPort;  // per client address, indexed by its low 12 bits
};

void Generator::MakeServers() {
    for (int i = 0; i < 3000; ++i) {
        WebHost h;
        h.ip = (10u << 24) | (20u << 16) | static_cast<uint32_t>(m_r.Below(65536));
        h.port = m_r.Chance(92) ? 80 : 8080;
        std::string name =
            m_r.Chance(80) ? Format("www.%s%s%u.example", Word(m_r), Word(m_r), i) : IpText(h.ip);
        h.host = h.port == 80 ? name : name + ":8080";
        m_web.push_back(h);
    }
    for (int i = 0; i < 3000; ++i) {
        m_tls.push_back((10u << 24) | (30u << 16) | static_cast<uint32_t>(m_r.Below(65536)));
    }
    static const uint16_t kHlsPorts[] = {80, 80, 8080, 8000, 8088};
    for (unsigned i = 0; i < 150; ++i) {
        HlsServer s;
        s.ip = (10u << 24) | (40u << 16) | (i << 4) | static_cast<uint32_t>(1 + m_r.Below(14));
        s.port = kHlsPorts[m_r.Below(5)];
        std::string name =
            m_r.Chance(60) ? Format("hls%u.%s-tv.example", i, Word(m_r)) : IpText(s.ip);
        s.host = s.port == 80 ? name : Format("%s:%u", name.c_str(), s.port);
        const int n = static_cast<int>(m_r.Range(1, 6));
        for (int k = 0; k < n; ++k) {
            HlsChannel ch;
            switch (m_r.Below(3)) {
                case 0:
                    ch.dir = Format("/live/%s%d/", Word(m_r), k);
                    ch.playlist = "index.m3u8";
                    break;
                case 1:
                    ch.dir = Format("/hls/%s_%d/", Word(m_r), k);
                    ch.playlist = "playlist.m3u8";
                    break;
                default:
                    ch.dir =
                        Format("/channel/%u/%s/", i * 10 + k, m_r.Chance(50) ? "720p" : "480p");
                    ch.playlist = "chunklist.m3u8";
                    break;
            }
            ch.firstSeq = static_cast<unsigned>(m_r.Range(100, 90000));
            s.channels.push_back(ch);
        }
        m_hls.push_back(s);
    }
    for (unsigned i = 0; i < 80; ++i) {
        RtspServer s;
        s.ip = (10u << 24) | (41u << 16) | (i << 4) | static_cast<uint32_t>(1 + m_r.Below(14));
        s.port = m_r.Chance(85) ? 554 : 8554;
        s.authority = (m_r.Chance(80) || s.port != 554)
                          ? Format("%s:%u", IpText(s.ip).c_str(), s.port)
                          : IpText(s.ip);
        const int n = static_cast<int>(m_r.Range(1, 4));
        for (int k = 0; k < n; ++k) {
            switch (m_r.Below(3)) {
                case 0:
                    s.paths.push_back(Format("/live/cam%d", k + 1));
                    break;
                case 1:
                    s.paths.push_back(Format("/h264/ch%d/main/av_stream", k + 1));
                    break;
                default:
                    s.paths.push_back(Format("/%s%d.sdp", Word(m_r), k));
                    break;
            }
        }
        m_rtsp.push_back(s);
    }
    for (unsigned i = 0; i < 80; ++i) {
        RtmpServer s;
        s.ip = (10u << 24) | (42u << 16) | (i << 4) | static_cast<uint32_t>(1 + m_r.Below(14));
        s.host = m_r.Chance(50) ? Format("rtmp%u.%sstream.example", i, Word(m_r)) : IpText(s.ip);
        s.explicitPort = m_r.Chance(50);
        static const char* kApps[] = {"live", "app", "vod", "stream", "broadcast"};
        const int n = static_cast<int>(m_r.Range(1, 3));
        for (int k = 0; k < n; ++k) s.apps.push_back(kApps[m_r.Below(5)]);
        m_rtmp.push_back(s);
    }
    m_nextPort.assign(4096, 0);
}

uint16_t Generator::ClientPort(uint32_t cip) {
    uint16_t& p = m_nextPort[cip & 4095];
    if (p == 0) p = static_cast<uint16_t>(32768 + m_r.Below(20000));
    p = static_cast<uint16_t>(p + 1 + m_r.Below(3));
    if (p >= 60999) p = static_cast<uint16_t>(32768 + m_r.Below(100));
    return p;
}

Conn Generator::NewConn(uint32_t sip, uint16_t sport) {
    Conn c;
    c.cip = ClientIp();
    c.cport = ClientPort(c.cip);
    c.sip = sip;
    c.sport = sport;
    c.tsopt = m_r.Chance(70);
    c.mss = c.tsopt ? 1448 : 1460;
    c.cnext = static_cast<uint32_t>(m_r.Next());
    c.snext = static_cast<uint32_t>(m_r.Next());
    c.ctsBase = static_cast<uint32_t>(m_r.Next());
    c.stsBase = static_cast<uint32_t>(m_r.Next());
    c.cid = static_cast<uint16_t>(m_r.Next());
    c.sid = static_cast<uint16_t>(m_r.Next());
    ++m_started;
    return c;
}

const char* const kAgents[] = {
    "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 13_4) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/16.5 Safari/605.1.15",
    "curl/7.88.1"};

std::string HttpResponse(Rng& r, const char* type, size_t bodyLen, bool keepAlive) {
    return Format(
        "HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\nDate: Tue, 08 Dec 2026 03:%02u:%02u GMT\r\n"
        "Content-Type: %s\r\nContent-Length: %zu\r\nConnection: %s\r\n"
        "Cache-Control: max-age=%u\r\n\r\n",
        static_cast<unsigned>(r.Below(60)), static_cast<unsigned>(r.Below(60)), type, bodyLen,
        keepAlive ? "keep-alive" : "close", static_cast<unsigned>(r.Range(60, 86400)));
}

void Generator::Web(Conn& c) {
    const WebHost& h = m_web[m_r.Below(m_web.size())];
    c.sip = h.ip;
    c.sport = h.port;
    const int requests = static_cast<int>(m_r.Chance(60) ? 1 : m_r.Range(2, 4));
    const char* agent = kAgents[m_r.Below(4)];
    for (int i = 0; i < requests; ++i) {
        static const char* kExt[] = {"html", "js", "css", "png", "html", "js"};
        const char* ext = kExt[m_r.Below(6)];
        std::string path = Format("/%s/%s-%s%u.%s", Word(m_r), Word(m_r), Word(m_r),
                                  static_cast<unsigned>(m_r.Below(1000)), ext);
        if (m_r.Chance(15)) path += Format("?v=%u", static_cast<unsigned>(m_r.Below(100000)));
        std::string req = Format(
            "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: %s\r\nAccept: */*\r\n"
            "Accept-Language: en-US,en;q=0.5\r\nAccept-Encoding: gzip, deflate\r\n"
            "Connection: keep-alive\r\n%s\r\n",
            path.c_str(), h.host.c_str(), agent,
            i > 0 ? Format("Referer: http://%s/\r\n", h.host.c_str()).c_str() : "");
        c.turns.push_back({false, req});
        Turn resp{true, {}};
        if (m_r.Chance(8)) {
            resp.data =
                "HTTP/1.1 304 Not Modified\r\nServer: nginx/1.22.1\r\nConnection: "
                "keep-alive\r\n\r\n";
        } else if (ext[0] == 'p') {
            const size_t n = m_r.Sized(1700, 200, 60000);
            resp.data = HttpResponse(m_r, "image/png", n, true);
            resp.data += "\x89PNG\r\n\x1a\n";
            m_r.Fill(resp.data, n - 8);
        } else {
            const bool html = ext[0] == 'h';
            const size_t n = m_r.Sized(html ? 1400 : 1700, 200, 80000);
            resp.data = HttpResponse(m_r,
                                     html            ? "text/html; charset=utf-8"
                                     : ext[0] == 'j' ? "application/javascript"
                                                     : "text/css",
                                     n, true);
            m_r.Text(resp.data, n);
        }
        c.turns.push_back(std::move(resp));
    }
}

void TlsRecord(Rng& r, std::string& s, uint8_t type, size_t len, char minor = 0x03) {
    s.push_back(static_cast<char>(type));
    s.push_back(0x03);
    s.push_back(minor);
    Put16(s, static_cast<unsigned>(len));
    r.Fill(s, len);
}

void Generator::Tls(Conn& c) {
    c.sip = m_tls[m_r.Below(m_tls.size())];
    c.sport = 443;
    std::string hello;
    TlsRecord(m_r, hello, 0x16, m_r.Range(220, 520), 0x01);
    hello[5] = 0x01;  // ClientHello
    c.turns.push_back({false, hello});
    std::string sh;
    TlsRecord(m_r, sh, 0x16, 122);
    sh[5] = 0x02;  // ServerHello
    sh += std::string("\x14\x03\x03\x00\x01\x01", 6);
    TlsRecord(m_r, sh, 0x17, m_r.Range(900, 2600));
    c.turns.push_back({true, sh});
    std::string fin("\x14\x03\x03\x00\x01\x01", 6);
    TlsRecord(m_r, fin, 0x17, 53);
    c.turns.push_back({false, fin});
    const int rounds = static_cast<int>(m_r.Range(1, 3));
    for (int i = 0; i < rounds; ++i) {
        std::string req;
        TlsRecord(m_r, req, 0x17, m_r.Range(90, 900));
        c.turns.push_back({false, req});
        std::string resp;
        size_t total = m_r.Sized(1100, 100, 120000);
        while (total > 0) {
            const size_t n = total > 16384 ? 16384 : total;
            TlsRecord(m_r, resp, 0x17, n + 22);
            total -= n;
        }
        c.turns.push_back({true, resp});
    }
    if (m_r.Chance(20)) c.reset = true;
}

void Generator::Hls(Conn& c) {
    const HlsServer& s = m_hls[m_r.Below(m_hls.size())];
    const HlsChannel& ch = s.channels[m_r.Below(s.channels.size())];
    c.sip = s.ip;
    c.sport = s.port;
    const char* agent = m_r.Chance(50) ? "Lavf/59.27.100" : kAgents[m_r.Below(3)];
    const unsigned seq = ch.firstSeq + static_cast<unsigned>(m_r.Below(120));
    auto request = [&](const std::string& path) {
        m_truth.insert("HLS-http://" + s.host + path);
        return Format(
            "GET %s HTTP/1.1\r\nUser-Agent: %s\r\nAccept: */*\r\nRange: bytes=0-\r\n"
            "Connection: keep-alive\r\nHost: %s\r\nIcy-MetaData: 1\r\n\r\n",
            path.c_str(), agent, s.host.c_str());
    };
    const bool withPlaylist = m_r.Chance(70);
    if (withPlaylist) {
        c.turns.push_back({false, request(ch.dir + ch.playlist)});
        std::string body = Format(
            "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:%u\n", seq);
        for (unsigned k = 0; k < 5; ++k) body += Format("#EXTINF:6.000,\nsegment%u.ts\n", seq + k);
        std::string resp = HttpResponse(m_r, "application/vnd.apple.mpegurl", body.size(), true);
        c.turns.push_back({true, resp + body});
    }
    const int segments = static_cast<int>(m_r.Range(withPlaylist ? 1 : 2, 3));
    for (int k = 0; k < segments; ++k) {
        c.turns.push_back({false, request(Format("%ssegment%u.ts", ch.dir.c_str(), seq + k))});
        const size_t packets = m_r.Sized(32, 8, 400);
        std::string resp = HttpResponse(m_r, "video/mp2t", packets * 188, true);
        const size_t head = resp.size();
        m_r.Fill(resp, packets * 188);
        for (size_t p = 0; p < packets; ++p) resp[head + p * 188] = 0x47;
        c.turns.push_back({true, resp});
    }
}

void Generator::Rtsp(Conn& c) {
    const RtspServer& s = m_rtsp[m_r.Below(m_rtsp.size())];
    const std::string& path = s.paths[m_r.Below(s.paths.size())];
    c.sip = s.ip;
    c.sport = s.port;
    const std::string base = "rtsp://" + s.authority + path;
    const char* agent =
        m_r.Chance(50) ? "LibVLC/3.0.18 (LIVE555 Streaming Media v2022.12.01)" : "Lavf59.27.100";
    int cseq = 1;
    const std::string session = Format("%08X", static_cast<unsigned>(m_r.Next()));
    auto req = [&](const char* method, const std::string& url, const std::string& extra) {
        m_truth.insert("RTSP-" + url);
        c.turns.push_back({false, Format("%s %s RTSP/1.0\r\nCSeq: %d\r\nUser-Agent: %s\r\n%s\r\n",
                                         method, url.c_str(), cseq, agent, extra.c_str())});
    };
    auto resp = [&](const std::string& extra, const std::string& body) {
        c.turns.push_back(
            {true, Format("RTSP/1.0 200 OK\r\nCSeq: %d\r\nServer: GStreamer RTSP server\r\n%s\r\n",
                          cseq, extra.c_str()) +
                       body});
        ++cseq;
    };
    req("OPTIONS", base, "");
    resp("Public: OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER\r\n", "");
    req("DESCRIBE", base, "Accept: application/sdp\r\n");
    const std::string sdp = Format(
        "v=0\r\no=- %u 1 IN IP4 %s\r\ns=Session streamed by GStreamer\r\nt=0 0\r\n"
        "a=control:*\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
        "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\na=control:trackID=0\r\n"
        "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/44100/2\r\na=control:trackID=1\r\n",
        static_cast<unsigned>(m_r.Next()), IpText(s.ip).c_str());
    resp(Format("Content-Base: %s/\r\nContent-Type: application/sdp\r\nContent-Length: %zu\r\n",
                base.c_str(), sdp.size()),
         sdp);
    req("SETUP", base + "/trackID=0", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    resp(
        "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\nSession: " + session + ";timeout=60\r\n",
        "");
    req("SETUP", base + "/trackID=1",
        "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nSession: " + session + "\r\n");
    resp(
        "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nSession: " + session + ";timeout=60\r\n",
        "");
    req("PLAY", base, "Range: npt=0.000-\r\nSession: " + session + "\r\n");
    resp(Format("Range: npt=0-\r\nSession: %s\r\nRTP-Info: url=%s/trackID=0;seq=1;rtptime=0\r\n",
                session.c_str(), base.c_str()),
         "");
    // Interleaved RTP: '$', channel, 16-bit length, then a 12-byte RTP header and payload.
    uint16_t vseq = static_cast<uint16_t>(m_r.Next()), aseq = static_cast<uint16_t>(m_r.Next());
    uint32_t vts = static_cast<uint32_t>(m_r.Next()), ats = static_cast<uint32_t>(m_r.Next());
    const uint32_t vssrc = static_cast<uint32_t>(m_r.Next()),
                   assrc = static_cast<uint32_t>(m_r.Next());
    auto rtp = [&](std::string& out, int channel, uint8_t pt, bool marker, uint16_t sq, uint32_t ts,
                   uint32_t ssrc, size_t n) {
        out.push_back('$');
        out.push_back(static_cast<char>(channel));
        Put16(out, static_cast<unsigned>(12 + n));
        out.push_back(static_cast<char>(0x80));
        out.push_back(static_cast<char>((marker ? 0x80 : 0) | pt));
        Put16(out, sq);
        Put32(out, ts);
        Put32(out, ssrc);
        m_r.Fill(out, n);
    };
    size_t media = m_r.Sized(10000, 3000, 100000);
    while (media > 0) {
        std::string w;
        // one video frame in FU-A sized packets, and an audio packet
        size_t frame = m_r.Sized(3000, 300, 20000);
        while (frame > 0) {
            const size_t n = frame > 1400 ? 1400 : frame;
            frame -= n;
            rtp(w, 0, 96, frame == 0, vseq++, vts, vssrc, n);
        }
        vts += 3000;
        rtp(w, 2, 97, true, aseq++, ats, assrc, static_cast<size_t>(m_r.Range(80, 360)));
        ats += 1024;
        media = w.size() >= media ? 0 : media - w.size();
        c.turns.push_back({true, std::move(w)});
        if (m_r.Chance(10)) {
            // an RTCP receiver report from the client on channel 1
            std::string rr("$\x01", 2);
            Put16(rr, 32);
            rr += std::string("\x81\xc9\x00\x07", 4);
            m_r.Fill(rr, 28);
            c.turns.push_back({false, rr});
        }
    }
    req("TEARDOWN", base, "Session: " + session + "\r\n");
    resp("", "");
}

void Generator::Rtmp(Conn& c) {
    const RtmpServer& s = m_rtmp[m_r.Below(m_rtmp.size())];
    const std::string& app = s.apps[m_r.Below(s.apps.size())];
    c.sip = s.ip;
    c.sport = 1935;
    const std::string tcUrl = "rtmp://" + s.host + (s.explicitPort ? ":1935" : "") + "/" + app;
    std::string name = m_r.Chance(60) ? Format("stream%u", static_cast<unsigned>(m_r.Below(40)))
                                      : Format("%s_%s", Word(m_r), m_r.Chance(50) ? "720p" : "hd");
    m_truth.insert("RTMP-rtmp://" + s.host + "/" + app + "/" + name);

    // Handshake: C0+C1, S0+S1+S2, C2.
    std::string c01("\x03", 1);
    Put32(c01, 0);
    Put32(c01, 0);
    m_r.Fill(c01, 1528);
    c.turns.push_back({false, c01});
    std::string s012("\x03", 1);
    Put32(s012, 0);
    Put32(s012, 0x0D0E0A0D);
    m_r.Fill(s012, 1528);
    s012.append(c01, 1, 1536);  // S2 echoes C1
    c.turns.push_back({true, s012});
    c.turns.push_back({false, s012.substr(1, 1536)});  // C2 echoes S1

    ChunkWriter cw, sw;
    // connect, in 128-byte chunks. The property name "tcUrl" and its value header must not be
    // cut by a chunk header, or classification of the segment would depend on luck; pick the
    // first flashVer text that keeps it whole.
    static const char* kFlash[] = {"LNX 9,0,124,2", "FMLE/3.0 (compatible; FMSc/1.0)",
                                   "WIN 32,0,0,137", "MAC 11,2,202,235", "LNX 10,0,32,18 x"};
    std::string connect;
    for (int v = 0; v < 5; ++v) {
        std::string p;
        AmfString(p, "connect");
        AmfNumber(p, 1.0);
        p.push_back(0x03);
        AmfName(p, "app");
        AmfString(p, app);
        AmfName(p, "type");
        AmfString(p, "nonprivate");
        AmfName(p, "flashVer");
        AmfString(p, kFlash[(v + m_started) % 5]);
        const size_t at = p.size();
        AmfName(p, "tcUrl");
        AmfString(p, tcUrl);
        AmfName(p, "fpad");
        AmfBool(p, false);
        AmfName(p, "capabilities");
        AmfNumber(p, 15.0);
        AmfName(p, "audioCodecs");
        AmfNumber(p, 4071.0);
        AmfName(p, "videoCodecs");
        AmfNumber(p, 252.0);
        AmfName(p, "videoFunction");
        AmfNumber(p, 1.0);
        AmfObjectEnd(p);
        // "tcUrl" name bytes [at+2, at+7), marker and length [at+7, at+10)
        const size_t first = (at + 2) / ChunkWriter::kChunk, last = (at + 9) / ChunkWriter::kChunk;
        if (first == last || v == 4) {
            cw.Message(connect, 3, 20, 0, 0, p);
            break;
        }
    }
    c.turns.push_back({false, connect});

    std::string srv;
    // Servers announce their chunk size (here the protocol's 128) before anything else.
    std::string size;
    Put32(size, ChunkWriter::kChunk);
    sw.Message(srv, 2, 1, 0, 0, size);
    std::string ctl;
    Put32(ctl, 2500000);
    sw.Message(srv, 2, 5, 0, 0, ctl);  // window acknowledgement size
    ctl.push_back(2);
    sw.Message(srv, 2, 6, 0, 0, ctl);  // set peer bandwidth
    std::string res;
    AmfString(res, "_result");
    AmfNumber(res, 1.0);
    res.push_back(0x03);
    AmfName(res, "fmsVer");
    AmfString(res, "FMS/3,5,7,7009");
    AmfName(res, "capabilities");
    AmfNumber(res, 31.0);
    AmfObjectEnd(res);
    res.push_back(0x03);
    AmfName(res, "level");
    AmfString(res, "status");
    AmfName(res, "code");
    AmfString(res, "NetConnection.Connect.Success");
    AmfName(res, "description");
    AmfString(res, "Connection succeeded.");
    AmfName(res, "objectEncoding");
    AmfNumber(res, 0.0);
    AmfObjectEnd(res);
    sw.Message(srv, 3, 20, 0, 0, res);
    c.turns.push_back({true, srv});

    std::string cs;
    std::string was;
    Put32(was, 2500000);
    cw.Message(cs, 2, 5, 0, 0, was);
    std::string create;
    AmfString(create, "createStream");
    AmfNumber(create, 2.0);
    AmfNull(create);
    cw.Message(cs, 3, 20, 0, 1, create);
    c.turns.push_back({false, cs});

    std::string sres;
    std::string r2;
    AmfString(r2, "_result");
    AmfNumber(r2, 2.0);
    AmfNull(r2);
    AmfNumber(r2, 1.0);
    sw.Message(sres, 3, 20, 0, 1, r2);
    c.turns.push_back({true, sres});

    std::string pl;
    std::string play;
    AmfString(play, "play");
    AmfNumber(play, 0.0);
    AmfNull(play);
    AmfString(play, name);
    if (m_r.Chance(50)) AmfNumber(play, -2000.0);
    cw.Message(pl, 8, 20, 1, 0, play);
    std::string buflen;
    Put16(buflen, 3);
    Put32(buflen, 1);
    Put32(buflen, 3000);
    cw.Message(pl, 2, 4, 0, 1, buflen);  // set buffer length
    c.turns.push_back({false, pl});

    std::string start;
    std::string begin;
    Put16(begin, 0);
    Put32(begin, 1);
    sw.Message(start, 2, 4, 0, 2, begin);  // stream begin
    for (const char* code : {"NetStream.Play.Reset", "NetStream.Play.Start"}) {
        std::string st;
        AmfString(st, "onStatus");
        AmfNumber(st, 0.0);
        AmfNull(st);
        st.push_back(0x03);
        AmfName(st, "level");
        AmfString(st, "status");
        AmfName(st, "code");
        AmfString(st, code);
        AmfName(st, "description");
        AmfString(st, "Playing " + name + ".");
        AmfObjectEnd(st);
        sw.Message(start, 5, 20, 1, 0, st);
    }
    std::string meta;
    AmfString(meta, "onMetaData");
    meta.push_back(0x08);
    Put32(meta, 4);
    AmfName(meta, "width");
    AmfNumber(meta, 1280.0);
    AmfName(meta, "height");
    AmfNumber(meta, 720.0);
    AmfName(meta, "videocodecid");
    AmfNumber(meta, 7.0);
    AmfName(meta, "audiocodecid");
    AmfNumber(meta, 10.0);
    AmfObjectEnd(meta);
    sw.Message(start, 5, 18, 1, 0, meta);
    // sequence headers: AVC decoder configuration and AAC AudioSpecificConfig
    std::string avc("\x17\x00\x00\x00\x00\x01\x42\xe0\x1f\xff\xe1\x00\x0e", 13);
    m_r.Fill(avc, 14);
    avc += std::string("\x01\x00\x04\x68\xce\x3c\x80", 7);
    sw.Message(start, 6, 9, 1, 0, avc);
    sw.Message(start, 4, 8, 1, 0, std::string("\xaf\x00\x12\x10", 4));
    c.turns.push_back({true, start});

    size_t media = m_r.Sized(10000, 3000, 100000);
    uint32_t vt = 0, at = 0;
    bool key = true;
    while (media > 0) {
        std::string w;
        std::string frame(key ? "\x17\x01\x00\x00\x00" : "\x27\x01\x00\x00\x00", 5);
        m_r.Fill(frame, key ? m_r.Sized(9000, 2000, 30000) : m_r.Sized(1500, 200, 9000));
        key = m_r.Chance(4);
        sw.Message(w, 6, 9, 1, vt, frame);
        vt += 40;
        while (at < vt) {
            std::string aac("\xaf\x01", 2);
            m_r.Fill(aac, static_cast<size_t>(m_r.Range(150, 400)));
            sw.Message(w, 4, 8, 1, at, aac);
            at += 23;
        }
        media = w.size() >= media ? 0 : media - w.size();
        c.turns.push_back({true, std::move(w)});
    }
}

// Requests whose request line or a header runs to 64 KiB, over many segments.
void Generator::LongLines(Conn& c) {
    const size_t n = 65536;
    std::string line;
    switch (m_r.Below(4)) {
        case 0: {  // HTTP GET with a 64 KiB path
            const WebHost& h = m_web[m_r.Below(m_web.size())];
            c.sip = h.ip;
            c.sport = h.port;
            line = "GET /";
            m_r.Text(line, n);
            for (size_t i = 5; i < line.size(); ++i)
                if (line[i] == ' ' || line[i] == '\n' || line[i] == '"') line[i] = 'a';
            line += " HTTP/1.1\r\nHost: " + h.host + "\r\n\r\n";
            break;
        }
        case 1: {  // a media request whose suffix comes only after 64 KiB
            const HlsServer& s = m_hls[m_r.Below(m_hls.size())];
            c.sip = s.ip;
            c.sport = s.port;
            line = "GET /live/";
            m_r.Text(line, n);
            for (size_t i = 10; i < line.size(); ++i)
                if (line[i] == ' ' || line[i] == '\n' || line[i] == '"') line[i] = 'b';
            line += "/index.m3u8 HTTP/1.1\r\nHost: " + s.host + "\r\n\r\n";
            break;
        }
        case 2: {  // RTSP DESCRIBE with a 64 KiB address
            const RtspServer& s = m_rtsp[m_r.Below(m_rtsp.size())];
            c.sip = s.ip;
            c.sport = s.port;
            line = "DESCRIBE rtsp://" + s.authority + "/";
            m_r.Text(line, n);
            for (size_t i = 16; i < line.size(); ++i)
                if (line[i] == ' ' || line[i] == '\n' || line[i] == '"') line[i] = 'c';
            line += " RTSP/1.0\r\nCSeq: 1\r\n\r\n";
            break;
        }
        default: {  // an ordinary request line, then a 64 KiB header
            const WebHost& h = m_web[m_r.Below(m_web.size())];
            c.sip = h.ip;
            c.sport = h.port;
            line = "GET /index.html HTTP/1.1\r\nHost: " + h.host + "\r\nCookie: ";
            m_r.Text(line, n);
            for (size_t i = line.size() - n; i < line.size(); ++i)
                if (line[i] == '\n') line[i] = 'd';
            line += "\r\n\r\n";
            break;
        }
    }
    c.turns.push_back({false, line});
    c.turns.push_back({true, "HTTP/1.1 414 URI Too Long\r\nContent-Length: 0\r\n\r\n"});
}

void Generator::StartConnection(Conn& c) {
    const uint64_t pick = m_r.Below(1000);
    if (m_o.mode == "longlines" && pick < 150) {
        LongLines(c);
    } else if (pick < 640) {
        Web(c);
    } else if (pick < 920) {
        Tls(c);
    } else if (pick < 968) {
        Hls(c);
    } else if (pick < 984) {
        Rtsp(c);
    } else {
        Rtmp(c);
    }
}

// One connection per call, at most a handful of segments: many directions, each started by a
// recognised request or response; few distinct addresses so only the connection table grows.
void Generator::StartFlood(Conn& c) {
    const unsigned k = m_floodIndex++ % 4;
    if (k == 0 || k == 1) {
        const WebHost& h = m_web[m_r.Below(64)];
        c.sip = h.ip;
        c.sport = h.port;
        c.turns.push_back({false, Format("GET /%s.html HTTP/1.1\r\nHost: %s\r\n\r\n", Word(m_r),
                                         h.host.c_str())});
        c.turns.push_back({true, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
    } else if (k == 2) {
        const RtspServer& s = m_rtsp[m_r.Below(8)];
        c.sip = s.ip;
        c.sport = s.port;
        const std::string url = "rtsp://" + s.authority + s.paths[0];
        m_truth.insert("RTSP-" + url);
        c.turns.push_back({false, "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n"});
        c.turns.push_back({true, "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n"});
    } else {
        // an RTMP connect that never plays: its direction stays open, waiting for createStream
        const RtmpServer& s = m_rtmp[m_r.Below(8)];
        c.sip = s.ip;
        c.sport = 1935;
        std::string p;
        AmfString(p, "connect");
        AmfNumber(p, 1.0);
        p.push_back(0x03);
        AmfName(p, "app");
        AmfString(p, "live");
        AmfName(p, "tcUrl");
        AmfString(p, "rtmp://" + s.host + "/live");
        AmfName(p, "audioCodecs");
        AmfNumber(p, 4071.0);
        AmfName(p, "videoCodecs");
        AmfNumber(p, 252.0);
        AmfObjectEnd(p);
        ChunkWriter cw;
        std::string connect;
        cw.Message(connect, 3, 20, 0, 0, p);
        c.turns.push_back({false, connect});
    }
    c.reset = true;
}

void Generator::Emit(Conn& c, bool fromServer, uint8_t flags, const char* payload, size_t n) {
    const bool syn = flags & kSynF;
    size_t opt = 0;
    if (syn)
        opt = c.tsopt ? 20 : 12;
    else if (c.tsopt && !(flags & kRstF))
        opt = 12;
    const size_t tcpLen = 20 + opt;
    const size_t len = 14 + 20 + tcpLen + n;
    uint8_t* f = m_w.Frame(m_clock, len);

    const uint32_t src = fromServer ? c.sip : c.cip, dst = fromServer ? c.cip : c.sip;
    // Ethernet: the client's own address, the gateway's on the other side.
    static const uint8_t kGateway[6] = {0x00, 0x1b, 0x21, 0x3a, 0x4f, 0x10};
    uint8_t clientMac[6] = {0x52,
                            0x54,
                            0x00,
                            static_cast<uint8_t>(c.cip >> 16),
                            static_cast<uint8_t>(c.cip >> 8),
                            static_cast<uint8_t>(c.cip)};
    std::memcpy(f, fromServer ? clientMac : kGateway, 6);
    std::memcpy(f + 6, fromServer ? kGateway : clientMac, 6);
    f[12] = 0x08;
    f[13] = 0x00;

    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    ip[1] = 0;
    Store16(ip + 2, static_cast<unsigned>(20 + tcpLen + n));
    Store16(ip + 4, fromServer ? c.sid++ : c.cid++);
    Store16(ip + 6, 0x4000);  // don't fragment
    ip[8] = fromServer ? 52 : 64;
    ip[9] = 6;
    Store16(ip + 10, 0);
    Store32(ip + 12, src);
    Store32(ip + 16, dst);
    Store16(ip + 10, ~SumWords(ip, 20, 0) & 0xFFFF);

    uint8_t* tcp = ip + 20;
    Store16(tcp, fromServer ? c.sport : c.cport);
    Store16(tcp + 2, fromServer ? c.cport : c.sport);
    uint32_t& seq = fromServer ? c.snext : c.cnext;
    const uint32_t ack = fromServer ? c.cnext : c.snext;
    Store32(tcp + 4, seq);
    Store32(tcp + 8, (flags & kAckF) ? ack : 0);
    tcp[12] = static_cast<uint8_t>((tcpLen / 4) << 4);
    tcp[13] = flags;
    Store16(tcp + 14, syn ? (fromServer ? 65160 : 64240) : (fromServer ? 509 : 501));
    Store16(tcp + 16, 0);
    Store16(tcp + 18, 0);

    const uint32_t ms = static_cast<uint32_t>(m_clock / 1000);
    const uint32_t tsval = (fromServer ? c.stsBase : c.ctsBase) + ms;
    const uint32_t tsecr = fromServer ? c.ctsLast : c.stsLast;
    (fromServer ? c.stsLast : c.ctsLast) = tsval;
    uint8_t* o = tcp + 20;
    if (syn) {
        o[0] = 2;  // MSS
        o[1] = 4;
        Store16(o + 2, c.mss + (c.tsopt ? 12 : 0));
        if (c.tsopt) {
            o[4] = 4;  // SACK permitted
            o[5] = 2;
            o[6] = 8;  // timestamps
            o[7] = 10;
            Store32(o + 8, tsval);
            Store32(o + 12, fromServer ? tsecr : 0);
            o[16] = 1;  // NOP
            o[17] = 3;  // window scale
            o[18] = 3;
            o[19] = 7;
        } else {
            o[4] = 1;
            o[5] = 3;
            o[6] = 3;
            o[7] = 7;
            o[8] = 1;
            o[9] = 1;
            o[10] = 4;
            o[11] = 2;
        }
    } else if (opt == 12) {
        o[0] = 1;
        o[1] = 1;
        o[2] = 8;
        o[3] = 10;
        Store32(o + 4, tsval);
        Store32(o + 8, tsecr);
    }
    if (n > 0) std::memcpy(tcp + tcpLen, payload, n);

    // checksum over the pseudo header, the TCP header and the payload
    uint32_t sum = SumWords(ip + 12, 8, 0);
    sum += 6 + static_cast<uint32_t>(tcpLen + n);
    sum = SumWords(tcp, tcpLen + n, sum);
    Store16(tcp + 16, ~sum & 0xFFFF);

    seq += static_cast<uint32_t>(n) + (syn ? 1 : 0) + ((flags & kFin) ? 1 : 0);
    const uint64_t cost = 16 + len;
    c.pending = c.pending > cost ? c.pending - cost : 0;
    // Packets of all connections share one clock that only moves forward.
    m_clock += 20 + m_r.Below(m_o.mode == "flood" ? 60 : 200);
}

// Emits the next packet of the connection; false once it has ended.
bool Generator::Step(Conn& c) {
    switch (c.state) {
        case kSyn:
            Emit(c, false, kSynF, nullptr, 0);
            c.state = kSynAck;
            return true;
        case kSynAck:
            Emit(c, true, kSynF | kAckF, nullptr, 0);
            c.state = kAck;
            return true;
        case kAck:
            Emit(c, false, kAckF, nullptr, 0);
            c.state = c.turns.empty() ? kFin1 : kData;
            return true;
        case kData: {
            const Turn& t = c.turns[c.turn];
            if (c.peerAck) {
                Emit(c, !t.fromServer, kAckF, nullptr, 0);
                c.peerAck = false;
                c.unacked = 0;
                return true;
            }
            const size_t n = std::min<size_t>(c.mss, t.data.size() - c.off);
            const bool last = c.off + n == t.data.size();
            Emit(c, t.fromServer, static_cast<uint8_t>(kAckF | (last ? kPsh : 0)),
                 t.data.data() + c.off, n);
            c.off += n;
            ++c.unacked;
            if (last) {
                const bool sender = t.fromServer;
                ++c.turn;
                c.off = 0;
                if (c.turn == c.turns.size()) {
                    c.state = c.reset ? kRst : kFin1;
                } else if (c.turns[c.turn].fromServer != sender) {
                    c.unacked = 0;  // the reply carries the acknowledgement
                } else if (c.unacked >= 2) {
                    c.peerAck = true;
                }
            } else if (c.unacked >= 2) {
                c.peerAck = true;
            }
            return true;
        }
        case kFin1:
            Emit(c, false, kFin | kAckF, nullptr, 0);
            c.state = kFin2;
            return true;
        case kFin2:
            Emit(c, true, kFin | kAckF, nullptr, 0);
            c.state = kFin3;
            return true;
        case kFin3:
            Emit(c, false, kAckF, nullptr, 0);
            c.state = kDone;
            return false;
        case kRst:
            Emit(c, false, kRstF | kAckF, nullptr, 0);
            c.state = kDone;
            return false;
        default:
            return false;
    }
}

void Generator::Run() {
    const bool flood = m_o.mode == "flood";
    const uint64_t target = static_cast<uint64_t>(m_o.sizeMb * 1e6);
    const size_t poolSize = flood ? 50000 : m_o.pool;
    std::vector<Conn> pool;
    pool.reserve(poolSize);
    uint64_t pending = 0;  // bytes the open connections will still write
    auto more = [&]() {
        if (flood) return m_started < m_o.floodConns;
        return m_w.Written() + pending < target;
    };
    auto add = [&]() {
        Conn c = NewConn(0, 0);
        if (flood)
            StartFlood(c);
        else
            StartConnection(c);
        uint64_t est = 0;
        for (const Turn& t : c.turns) {
            const uint64_t segs = (t.data.size() + c.mss - 1) / c.mss;
            est += t.data.size() + segs * (16 + 66) + (segs / 2) * 82;
        }
        est += 7 * 82;
        c.pending = est;
        pending += est;
        pool.push_back(std::move(c));
    };
    while (pool.size() < poolSize && more()) add();
    while (!pool.empty()) {
        const size_t i = m_r.Below(pool.size());
        Conn& c = pool[i];
        const uint64_t before = c.pending;
        const bool alive = Step(c);
        pending -= before - c.pending;
        if (!alive) {
            pending -= c.pending;
            pool[i] = std::move(pool.back());
            pool.pop_back();
            if (more()) add();
        }
        m_w.MaybeFlush();
    }
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: strevix-gencorpus --out FILE [--seed N] [--size MB] [--mode mix|flood|"
        "longlines] [--conns N] [--pool N]\n"
        "  --size MB     about this many megabytes (10^6 bytes) of capture (default 1000)\n"
        "  --mode flood  many short connections (--conns, default 500000: a million\n"
        "                connection directions); --size is not used\n"
        "  --mode longlines  the mix, with 15%% of connections sending a 64 KiB request\n"
        "                line or header\n"
        "Writes FILE (pcap, Ethernet) and FILE.truth (the stream addresses, sorted).\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        }
        if (v == nullptr) {
            Usage();
            return 2;
        }
        ++i;
        char* end = nullptr;
        if (a == "--seed") {
            o.seed = std::strtoull(v, &end, 10);
        } else if (a == "--size") {
            o.sizeMb = std::strtod(v, &end);
            if (!(o.sizeMb > 0)) end = nullptr;
        } else if (a == "--out") {
            o.out = v;
            end = const_cast<char*>(v + std::strlen(v));
        } else if (a == "--mode") {
            o.mode = v;
            end = const_cast<char*>(v + std::strlen(v));
            if (o.mode != "mix" && o.mode != "flood" && o.mode != "longlines") end = nullptr;
        } else if (a == "--conns") {
            o.floodConns = std::strtoull(v, &end, 10);
        } else if (a == "--pool") {
            o.pool = static_cast<unsigned>(std::strtoul(v, &end, 10));
            if (o.pool == 0) end = nullptr;
        }
        if (end == nullptr || *end != '\0') {
            std::fprintf(stderr, "strevix-gencorpus: bad value for %s: %s\n", a.c_str(), v);
            Usage();
            return 2;
        }
    }
    if (o.out.empty()) {
        Usage();
        return 2;
    }
    FILE* f = std::fopen(o.out.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "strevix-gencorpus: cannot write %s: %s\n", o.out.c_str(),
                     std::strerror(errno));
        return 1;
    }
    uint64_t packets = 0, bytes = 0, conns = 0;
    std::set<std::string> truth;
    bool failed = false;
    {
        PcapWriter w(f);
        Generator g(o, w);
        g.Run();
        w.Flush();
        failed = w.Failed();
        packets = w.Packets();
        bytes = w.Written();
        conns = g.Connections();
        truth = g.Truth();
    }
    if (std::fclose(f) != 0) failed = true;
    const std::string truthPath = o.out + ".truth";
    FILE* t = std::fopen(truthPath.c_str(), "wb");
    if (t == nullptr)
        failed = true;
    else {
        for (const std::string& line : truth) std::fprintf(t, "%s\n", line.c_str());
        if (std::fclose(t) != 0) failed = true;
    }
    if (failed) {
        std::fprintf(stderr, "strevix-gencorpus: writing %s failed: %s\n", o.out.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s: %" PRIu64 " bytes, %" PRIu64 " packets, %" PRIu64
                " connections, %zu truth lines\n",
                o.out.c_str(), bytes, packets, conns, truth.size());
    return 0;
}

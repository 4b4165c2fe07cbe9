#include "rtsp/RtspSession.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include <strings.h>

#include "common/ByteReader.h"

namespace {

// Frames and messages wait in a direction's buffer up to this many bytes.
constexpr size_t kMaxBuffer = RtspSession::kMaxHead + RtspSession::kMaxBody + 65540;

bool IsMethodChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || c == '_';
}

// "RTSP/1." or an upper-case method name and a space.
bool LooksLikeStart(const unsigned char* b, size_t n) {
    static const char kVersion[] = "RTSP/1.";
    const size_t v = sizeof(kVersion) - 1;
    if (std::memcmp(b, kVersion, n < v ? n : v) == 0) return true;
    size_t i = 0;
    while (i < n && i < 20 && IsMethodChar(b[i])) ++i;
    return i > 0 && (i == n || (i < 20 && b[i] == ' '));
}

bool StartsNoCase(const std::string& s, const char* prefix) {
    const size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// The value of header `name` (lower case) in the header lines, or empty. Only the value found is
// copied: every message's CSeq and length are looked up.
std::string Header(const std::string& head, const char* name) {
    const size_t n = std::strlen(name);
    const char* p = head.data();
    const char* end = p + head.size();
    while (p < end) {
        const char* eol =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (eol == nullptr) eol = end;
        if (static_cast<size_t>(eol - p) > n && p[n] == ':' && strncasecmp(p, name, n) == 0) {
            const char* v = p + n + 1;
            const char* e = eol;
            while (v < e && (*v == ' ' || *v == '\t')) ++v;
            while (e > v && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r')) --e;
            return std::string(v, static_cast<size_t>(e - v));
        }
        p = eol + 1;
    }
    return std::string();
}

long SmallNumber(const std::string& s) {
    if (s.empty() || s.size() > 9) return -1;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
    }
    return std::strtol(s.c_str(), nullptr, 10);
}

// "a-b" after `key=` in a Transport header: both numbers, or false.
bool Pair(const std::string& transport, const char* key, long* a, long* b) {
    const std::string k = std::string(key) + "=";
    size_t at = 0;
    for (;;) {
        at = transport.find(k, at);
        if (at == std::string::npos) return false;
        // Whole parameter names only: "client_port" is not "port".
        if (at == 0 || transport[at - 1] == ';' || transport[at - 1] == ' ') break;
        at += k.size();
    }
    at += k.size();
    size_t end = transport.find_first_of(";,", at);
    const std::string v = transport.substr(at, end == std::string::npos ? end : end - at);
    const size_t dash = v.find('-');
    *a = SmallNumber(Trim(v.substr(0, dash)));
    *b = dash == std::string::npos ? *a + 1 : SmallNumber(Trim(v.substr(dash + 1)));
    return *a >= 0 && *b >= 0;
}

std::string WithoutTrailingSlash(std::string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

class TrackSink : public AccessUnitSink {
  public:
    TrackSink(RtspSession& s, RtspSessionListener* l, size_t i) : m_s(s), m_l(l), m_i(i) {}
    void OnAccessUnit(const AccessUnit& unit) override {
        if (m_l != nullptr) m_l->OnAccessUnit(m_s, m_i, unit);
    }

  private:
    RtspSession& m_s;
    RtspSessionListener* m_l;
    size_t m_i;
};

}  // namespace

void RtspSession::ClientBytes(const unsigned char* data, size_t length) {
    Bytes(m_client, false, data, length);
}

void RtspSession::ServerBytes(const unsigned char* data, size_t length) {
    Bytes(m_server, true, data, length);
}

void RtspSession::ClientGap() {
    m_client.buffer.clear();
    m_client.skip = 0;
    m_client.resync = true;
    m_client.lineStart = true;
}

void RtspSession::ServerGap() {
    m_server.buffer.clear();
    m_server.skip = 0;
    m_server.resync = true;
    m_server.lineStart = true;
    // The frames in the hole are losses; the sequence numbers tell each track.
}

bool RtspSession::Plausible(const Direction& d, const unsigned char* b, size_t n, size_t at,
                            bool fromServer) const {
    // A message starts a line.
    if (b[at] != '$')
        return (at == 0 ? d.lineStart : b[at - 1] == '\n') && LooksLikeStart(b + at, n - at);
    if (n - at < 2) return true;
    const int channel = b[at + 1];
    bool known = false;
    for (const Track& t : m_tracks) {
        if (t.rtpChannel == channel || t.rtcpChannel == channel) known = true;
    }
    if (!known && fromServer) return false;
    if (n - at < 4) return true;
    // The frame must be followed by another frame or a message.
    const size_t next = at + 4 + ((size_t{b[at + 2]} << 8) | b[at + 3]);
    return next >= n || b[next] == '$' || b[next] == 'R';
}

long RtspSession::Complete(const unsigned char* b, size_t n, bool fromServer,
                           Message* message) const {
    (void)fromServer;
    if (n == 0) return 0;
    if (b[0] == '$') {
        if (n < 4) return 0;
        const size_t length = (size_t{b[2]} << 8) | b[3];
        return n < 4 + length ? 0 : static_cast<long>(4 + length);
    }
    if (!LooksLikeStart(b, n < 20 ? n : 20)) return -1;
    const size_t window = n < kMaxHead ? n : kMaxHead;
    const void* blank = memmem(b, window, "\r\n\r\n", 4);
    const size_t headEnd =
        blank != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(blank) - b) + 4
                         : 0;
    if (headEnd == 0) return n >= kMaxHead ? -1 : 0;
    const std::string head(reinterpret_cast<const char*>(b), headEnd);
    const std::string cl = Header(head, "content-length");
    long bodyLength = 0;
    if (!cl.empty()) {
        bodyLength = SmallNumber(cl);
        if (bodyLength < 0 || static_cast<size_t>(bodyLength) > kMaxBody) return -1;
    }
    if (n < headEnd + static_cast<size_t>(bodyLength)) return 0;

    const size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    message->head = head.substr(lineEnd + 2);
    message->body.assign(reinterpret_cast<const char*>(b) + headEnd,
                         static_cast<size_t>(bodyLength));
    message->cseq = SmallNumber(Header(message->head, "cseq"));
    if (first.compare(0, 5, "RTSP/") == 0) {
        message->response = true;
        const size_t sp = first.find(' ');
        message->status =
            sp == std::string::npos ? 0 : static_cast<int>(SmallNumber(first.substr(sp + 1, 3)));
    } else {
        const size_t s1 = first.find(' ');
        const size_t s2 = s1 == std::string::npos ? s1 : first.find(' ', s1 + 1);
        message->method = first.substr(0, s1);
        if (s2 != std::string::npos) message->url = first.substr(s1 + 1, s2 - s1 - 1);
    }
    return static_cast<long>(headEnd + static_cast<size_t>(bodyLength));
}

void RtspSession::Bytes(Direction& d, bool fromServer, const unsigned char* data, size_t length) {
    if (data == nullptr || length == 0) return;
    if (d.skip > 0) {
        const size_t n = length < d.skip ? length : d.skip;
        d.skip -= n;
        data += n;
        length -= n;
        if (length == 0) return;
    }
    // Nothing waits: the bytes are read where they are, and only an unfinished tail is kept.
    if (d.buffer.empty()) {
        const size_t used = Parse(d, fromServer, data, length);
        if (used < length) {
            if (length - used > kMaxBuffer) {
                d.resync = true;
                d.lineStart = false;
                return;
            }
            d.buffer.assign(data + used, data + length);
        }
        return;
    }
    if (d.buffer.size() + length > kMaxBuffer) {
        d.buffer.clear();
        d.resync = true;
        d.lineStart = false;
        if (length > kMaxBuffer) return;
    }
    d.buffer.insert(d.buffer.end(), data, data + length);
    const size_t used = Parse(d, fromServer, d.buffer.data(), d.buffer.size());
    d.buffer.erase(d.buffer.begin(), d.buffer.begin() + static_cast<long>(used));
}

size_t RtspSession::Parse(Direction& d, bool fromServer, const unsigned char* b, size_t n) {
    size_t at = 0;
    while (at < n) {
        if (d.resync) {
            while (at < n && !Plausible(d, b, n, at, fromServer)) ++at;
            if (at == n) break;
        }
        // Frames, nearly everything, are taken without building a message.
        if (b[at] == '$' && n - at >= 4) {
            const size_t whole = 4 + ((size_t{b[at + 2]} << 8) | b[at + 3]);
            if (whole <= n - at) {
                d.resync = false;
                if (fromServer) Frame(b[at + 1], b + at + 4, whole - 4);
                at += whole;
                continue;
            }
        }
        Message m;
        const long taken = Complete(b + at, n - at, fromServer, &m);
        if (taken == 0) {
            // A frame nobody reads need not be kept whole: the rest of it is passed over as it
            // comes. (Off step, after a gap, a frame must first prove itself whole.)
            if (b[at] == '$' && n - at >= 4 && !d.resync && (!fromServer || !m_mediaWanted)) {
                d.skip = 4 + ((size_t{b[at + 2]} << 8) | b[at + 3]) - (n - at);
                at = n;
            }
            break;
        }
        if (taken < 0) {
            d.resync = true;
            ++at;
            continue;
        }
        d.resync = false;
        if (b[at] == '$') {
            if (fromServer) Frame(b[at + 1], b + at + 4, static_cast<size_t>(taken) - 4);
        } else {
            // From the server only responses count; its own requests are passed over.
            if (m.response == fromServer) {
                OnMessage(m);
                if (m_listener != nullptr && !m.response)
                    m_listener->OnRequest(*this, m.method, m.url);
                if (m_listener != nullptr) m_listener->OnControl(*this);
            }
        }
        at += static_cast<size_t>(taken);
    }
    // After a whole frame or message the next one starts; inside junk, a line end must.
    if (at > 0) d.lineStart = !d.resync || b[at - 1] == '\n';
    return at;
}

void RtspSession::Frame(int channel, const unsigned char* data, size_t length) {
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        Track& t = m_tracks[i];
        if (!t.setUp || t.udp) continue;
        if (t.rtpChannel == channel) {
            if (!m_mediaWanted || !t.rtp) return;
            TrackSink sink(*this, m_listener, i);
            t.rtp->Receive(data, length, sink);
            return;
        }
        if (t.rtcpChannel == channel) {
            Rtcp(i, data, length);
            return;
        }
    }
}

void RtspSession::Rtcp(size_t track, const unsigned char* data, size_t length) {
    int64_t ntpUs = 0;
    uint32_t rtpTime = 0;
    if (m_listener != nullptr && ParseSenderReport(data, length, &ntpUs, &rtpTime))
        m_listener->OnSenderReport(*this, track, ntpUs, rtpTime);
}

bool RtspSession::Datagram(uint16_t sourcePort, uint16_t destinationPort, const unsigned char* data,
                           size_t length) {
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        Track& t = m_tracks[i];
        if (!t.setUp || !t.udp) continue;
        if (sourcePort == t.serverRtpPort && destinationPort == t.clientRtpPort) {
            if (!m_mediaWanted || !t.rtp) return true;
            TrackSink sink(*this, m_listener, i);
            t.rtp->Receive(data, length, sink);
            return true;
        }
        if (sourcePort == t.serverRtcpPort && destinationPort == t.clientRtcpPort) {
            Rtcp(i, data, length);
            return true;
        }
    }
    return false;
}

bool RtspSession::HasUdp() const {
    for (const Track& t : m_tracks) {
        if (t.setUp && t.udp) return true;
    }
    return false;
}

void RtspSession::Flush() {
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        if (!m_tracks[i].rtp) continue;
        TrackSink sink(*this, m_listener, i);
        m_tracks[i].rtp->Flush(sink);
    }
}

void RtspSession::AddAddress(const std::string& address) {
    if (address.empty() || address == "*" || m_addresses.size() >= kMaxAddresses) return;
    for (const std::string& a : m_addresses) {
        if (a == address) return;
    }
    m_addresses.push_back(address);
}

void RtspSession::OnMessage(const Message& m) {
    if (!m.response) {
        AddAddress(m.url);
        if (m.method == "TEARDOWN") m_teardownAsked = true;
        if (m.cseq < 0) return;
        // The response may have come first, when this request waited behind a hole.
        for (size_t i = 0; i < m_early.size(); ++i) {
            if (m_early[i].cseq == m.cseq) {
                const Message response = m_early[i];
                m_early.erase(m_early.begin() + static_cast<long>(i));
                OnResponse(Pending{m.cseq, m.method, m.url}, response);
                return;
            }
        }
        if (m_pending.size() >= kMaxPending) m_pending.erase(m_pending.begin());
        m_pending.push_back(Pending{m.cseq, m.method, m.url});
        return;
    }
    for (size_t i = 0; i < m_pending.size(); ++i) {
        if (m_pending[i].cseq == m.cseq) {
            const Pending request = m_pending[i];
            m_pending.erase(m_pending.begin() + static_cast<long>(i));
            OnResponse(request, m);
            return;
        }
    }
    if (m.cseq >= 0 && (m.status == 200 || !m.body.empty())) {
        if (m_early.size() >= 8) m_early.erase(m_early.begin());
        m_early.push_back(m);
    }
}

void RtspSession::OnResponse(const Pending& request, const Message& response) {
    if (response.status != 200) return;
    if (request.method == "DESCRIBE") {
        SdpDescription sdp;
        if (!ParseSdp(response.body.data(), response.body.size(), &sdp)) return;
        m_tracks.clear();
        for (const SdpMedia& media : sdp.media) {
            Track t;
            t.media = media;
            m_tracks.push_back(std::move(t));
        }
        m_base = Header(response.head, "content-base");
        if (m_base.empty()) m_base = Header(response.head, "content-location");
        if (m_base.empty()) m_base = request.url;
    } else if (request.method == "SETUP") {
        Track* t = TrackForUrl(request.url);
        if (t == nullptr) return;
        t->url = request.url;
        SetUp(*t, Header(response.head, "transport"));
    } else if (request.method == "PLAY") {
        m_playing = true;
    } else if (request.method == "TEARDOWN") {
        m_tornDown = true;
    }
}

RtspSession::Track* RtspSession::TrackForUrl(const std::string& url) {
    const std::string wanted = WithoutTrailingSlash(url);
    const std::string base = WithoutTrailingSlash(m_base);
    for (Track& t : m_tracks) {
        const std::string& c = t.media.control;
        std::string resolved;
        if (c.empty() || c == "*") {
            resolved = base;
        } else if (StartsNoCase(c, "rtsp://") || StartsNoCase(c, "rtsps://")) {
            resolved = c;
        } else {
            resolved = base + "/" + c;
        }
        if (WithoutTrailingSlash(resolved) == wanted) return &t;
    }
    for (Track& t : m_tracks) {
        const std::string& c = t.media.control;
        if (!c.empty() && wanted.size() > c.size() &&
            wanted.compare(wanted.size() - c.size(), c.size(), c) == 0 &&
            wanted[wanted.size() - c.size() - 1] == '/')
            return &t;
    }
    for (Track& t : m_tracks) {
        if (!t.setUp) return &t;
    }
    return nullptr;
}

void RtspSession::SetUp(Track& t, const std::string& transport) {
    long a = -1, b = -1;
    if (Pair(transport, "interleaved", &a, &b)) {
        if (a > 255 || b > 255) return;
        t.udp = false;
        t.rtpChannel = static_cast<int>(a);
        t.rtcpChannel = static_cast<int>(b);
    } else {
        long c = -1, d = -1;
        if (!Pair(transport, "client_port", &a, &b) || !Pair(transport, "server_port", &c, &d) ||
            a > 65535 || b > 65535 || c > 65535 || d > 65535)
            return;
        t.udp = true;
        t.clientRtpPort = static_cast<uint16_t>(a);
        t.serverRtpPort = static_cast<uint16_t>(c);
        t.clientRtcpPort = static_cast<uint16_t>(b);
        t.serverRtcpPort = static_cast<uint16_t>(d);
    }
    t.setUp = true;
    t.rtp.reset();
    if (m_mediaWanted) t.rtp = std::make_unique<RtpTrack>(t.media, t.udp ? kUdpWindow : 0);
}

void RtspSession::SetMediaWanted(bool wanted) {
    m_mediaWanted = wanted;
    // The depacketisers of a session are made once someone wants its media.
    for (Track& t : m_tracks) {
        if (wanted && t.setUp && !t.rtp)
            t.rtp = std::make_unique<RtpTrack>(t.media, t.udp ? kUdpWindow : 0);
    }
}

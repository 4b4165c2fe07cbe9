#include "analyse/TlsFollow.h"

#include <arpa/inet.h>

#include <algorithm>

#include <cstring>

#include "analyse/StreamUriExtract.h"
#include "common/LogOut.h"
#include "http2/Http2Connection.h"
#include "rtsp/RtspSession.h"

namespace {

// C0 and C1, then C2 (or S0, S1 and S2): what goes before an RTMP chunk stream.
constexpr size_t kRtmpHandshake = 1 + 1536 + 1536;

// Whether the bytes hold a publish command: a createStream, then "publish".
bool Publishes(const unsigned char* b, int n) {
    const unsigned char* create = FindBytes(b, n, "createStream", true);
    return create != nullptr &&
           FindBytes(create, static_cast<int>(b + n - create), "publish", true) != nullptr;
}

// The address with the scheme the client used over TLS.
std::string Secured(std::string address, const char* plain, const char* secured) {
    const size_t n = std::strlen(plain);
    if (address.compare(0, n, plain) == 0) address.replace(0, n, secured);
    return address;
}

// How the summary names a session: its server name, or else the server's address.
std::string SessionName(const std::string& serverName, const ConnectionKey& k) {
    if (!serverName.empty()) return serverName;
    char address[INET6_ADDRSTRLEN] = "?";
    inet_ntop(k.ipv6 ? AF_INET6 : AF_INET, k.dst, address, sizeof address);
    return (k.ipv6 ? "[" + std::string(address) + "]" : std::string(address)) + ":" +
           std::to_string(k.dstPort);
}

// Takes nothing: a ClientHello read only for its server name.
class NoSink : public TlsSink {
  public:
    void OnPlaintext(int, const unsigned char*, size_t) override {}
    void OnEnd(int, int) override {}
};

}  // namespace

void TlsUnread::Add(const std::string& name, bool unsupportedSuite) {
    ++sessions;
    if (unsupportedSuite) ++unsupported;
    if (name.empty() || names.size() >= kMaxNames) return;
    for (const std::string& n : names)
        if (n == name) return;
    names.push_back(name);
}

void TlsUnread::Merge(const TlsUnread& other) {
    const size_t before = sessions;
    for (const std::string& n : other.names) Add(n);
    sessions = before + other.sessions;
    unsupported += other.unsupported;
}

std::string TlsUnread::Summary() const {
    if (sessions == 0) return std::string();
    const size_t noKeys = sessions - std::min(unsupported, sessions);
    std::string why = "no keys";
    if (noKeys == 0) {
        why = "a cipher suite not decrypted here";
    } else if (unsupported > 0) {
        why = std::to_string(noKeys) + " no keys, " + std::to_string(unsupported) +
              " a cipher suite not decrypted here";
    }
    std::string text = std::to_string(sessions) +
                       (sessions == 1 ? " TLS session" : " TLS sessions") + " could not be read (" +
                       why + ")";
    for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? ": " : ", ") + names[i];
    return noKeys == 0 ? text : text + "; give their key log with --tls-keylog";
}

struct TlsFollow::Entry : public TlsSink, public HttpExchangeSink {
    enum Kind { kUnknown, kHttp, kHttp2, kRtmp, kRtsp, kOther };

    Entry(TlsFollow& follow, const ConnectionKey& key, FlowMemory* memory, KeyLog* keys)
        : owner(follow), flow(key, memory), tls(keys, this) {}

    void OnPlaintext(int direction, const unsigned char* data, size_t length) override {
        if (kind == kUnknown && direction == TlsConnection::kClient) Classify(data, length);
        switch (kind) {
            case kHttp:
                if (direction == TlsConnection::kClient) {
                    http->OnClientBytes(data, length);
                } else {
                    http->OnServerBytes(data, length);
                }
                break;
            case kRtmp:
                Rtmp(direction, data, length);
                break;
            case kRtsp:
                if (rtspFollow != nullptr) {
                    rtspFollow->Bytes(flow.Key(), direction == TlsConnection::kServer, data, length,
                                      owner.m_now, rtsp.get());
                } else if (direction == TlsConnection::kClient) {
                    rtsp->session.ClientBytes(data, length);
                } else {
                    rtsp->session.ServerBytes(data, length);
                }
                break;
            case kHttp2:
                h2->OnBytes(direction, data, length);
                break;
            default:
                break;
        }
    }

    void OnEnd(int direction, int reason) override {
        if (reason == TlsConnection::kAuthFailed) {
            LogOut(LOG_WARN, "TLS " + Name() + ": a record of the " +
                                 (direction == TlsConnection::kClient ? "client" : "server") +
                                 " failed authentication; that direction is not read further");
        }
        // Nothing more comes from that direction: HTTP/2 ends what waited on it.
        if (h2) h2->OnGap(direction);
        if (rtspFollow != nullptr) {
            rtspFollow->Gap(flow.Key(), direction == TlsConnection::kServer);
        } else if (rtsp) {
            if (direction == TlsConnection::kClient) {
                rtsp->session.ClientGap();
            } else {
                rtsp->session.ServerGap();
            }
        }
        if (direction == TlsConnection::kServer) EndHttp();
    }

    void EndHttp() {
        if (httpEnded) return;
        httpEnded = true;
        if (http) http->OnServerEnd();
        if (h2) h2->Close();
        if (rtspFollow != nullptr) {
            rtspFollow->Close(flow.Key());
            rtspFollow = nullptr;
        }
    }

    void OnRequest(const std::string& head, const HttpRequest& request) override {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(head.data());
        const int n = static_cast<int>(head.size());
        std::string address = ExtractHttpUri(b, n);
        // A request without a Host header: the server name the ClientHello gave.
        if (address.empty() && !request.host.empty()) address = request.Address();
        if (address.empty()) return;
        const size_t version = head.find("HTTP/");
        const StreamType type =
            version != std::string::npos && HasMediaSuffix(b, static_cast<int>(version))
                ? STREAM_HLS
                : STREAM_HTTP;
        owner.m_listener->OnTlsAddress(type, Secured(address, "http://", "https://"), flow.Key());
    }

    HttpBodySink* OnResponse(const HttpRequest& request, const HttpResponseHead& head) override {
        HttpExchangeSink* recorder = owner.m_listener->TlsHttpRecorder();
        return recorder != nullptr ? recorder->OnResponse(request, head) : nullptr;
    }

    void Classify(const unsigned char* data, size_t length) {
        // TLS 1.3 encrypts the server's ALPN choice, which is then read only after the keys:
        // the client's preface tells as well.
        if (tls.SelectedAlpn() == "h2" || Http2Connection::StartsLikeHttp2(data, length)) {
            kind = kHttp2;
            ++owner.m_http2;
            h2bridge.reset(new H2Bridge(*this));
            h2.reset(new Http2Connection(h2bridge.get()));
        } else if (length > 0 && data[0] == 0x03) {
            kind = kRtmp;
            rtmp.reset(new RtmpMedia());
            rtmp->clientIp = ConnectionKey::AddressText(flow.Key().src, flow.Key().ipv6 != 0);
            rtmp->serverIp = ConnectionKey::AddressText(flow.Key().dst, flow.Key().ipv6 != 0);
        } else if (IsRtspRequest(data, length)) {
            kind = kRtsp;
            rtsp.reset(new RtspControl(*this));
            // Followed where plaintext sessions are, to be recorded; else read here for its
            // addresses alone.
            RtspFollow* follow = owner.m_listener->TlsRtsp();
            if (follow != nullptr &&
                follow->Bytes(flow.Key(), false, nullptr, 0, owner.m_now, rtsp.get()))
                rtspFollow = follow;
        } else if (length > 0 && data[0] >= 'A' && data[0] <= 'Z') {
            kind = kHttp;
            http.reset(new HttpConnectionReader(this));
            http->SetOrigin("https", tls.ServerName());
        } else {
            kind = kOther;
        }
    }

    void Rtmp(int direction, const unsigned char* data, size_t length) {
        // Both handshakes go before the chunk streams.
        size_t& skip = skipped[direction];
        if (skip < kRtmpHandshake) {
            const size_t take = length < kRtmpHandshake - skip ? length : kRtmpHandshake - skip;
            skip += take;
            data += take;
            length -= take;
            if (length == 0) return;
        }
        RtmpMedia& media = *rtmp;
        if (direction == TlsConnection::kServer) {
            if (!media.publishing)
                owner.m_listener->OnTlsRtmpMedia(media, flow.Key(), data, length);
            return;
        }
        if (media.publishing) {
            owner.m_listener->OnTlsRtmpMedia(media, flow.Key(), data, length);
            return;
        }
        if (collected.size() >= kRtmpCollect) return;
        const size_t room = kRtmpCollect - collected.size();
        collected.insert(collected.end(), data, data + (length < room ? length : room));
        const int n = static_cast<int>(collected.size());
        if (media.address.empty()) {
            std::string address = ExtractRtmpUri(collected.data(), n);
            if (address.empty()) return;
            RemoveDefaultRtmpPort(&address);
            media.address = Secured(address, "rtmp://", "rtmps://");
            owner.m_listener->OnTlsAddress(STREAM_RTMP, media.address, flow.Key());
        }
        if (Publishes(collected.data(), n)) {
            // The client's bytes are the media, from its connect command on; what the server's
            // direction fed is not.
            media.publishing = true;
            if (media.decoder) media.decoder.reset(new CRtmp2H264AacDecoder());
            owner.m_listener->OnTlsRtmpMedia(media, flow.Key(), collected.data(), collected.size());
            if (length > room) {
                owner.m_listener->OnTlsRtmpMedia(media, flow.Key(), data + room, length - room);
            }
            std::vector<unsigned char>().swap(collected);
        }
    }

    std::string Name() const { return SessionName(tls.ServerName(), flow.Key()); }

    // Whether the client's first line is an RTSP request: "METHOD URL RTSP/1.x".
    static bool IsRtspRequest(const unsigned char* data, size_t length) {
        const size_t n = length < 1024 ? length : 1024;
        const unsigned char* end = static_cast<const unsigned char*>(std::memchr(data, '\n', n));
        if (end == nullptr || data[0] < 'A' || data[0] > 'Z') return false;
        const int line = static_cast<int>(end - data);
        return FindBytes(data, line, " RTSP/1.", true) != nullptr;
    }

    // An RTSP session's control connection: each request's address, as a plaintext request
    // segment gives it. Its own session reader is used only when the RTSP follower, which
    // records, does not take the session.
    struct RtspControl : public RtspSessionListener {
        explicit RtspControl(Entry& entry) : e(entry), session(this) {
            session.SetMediaWanted(false);
        }
        void OnAccessUnit(RtspSession&, size_t, const AccessUnit&) override {}
        void OnRequest(RtspSession&, const std::string&, const std::string& url) override {
            // The request line's address as the client wrote it: rtsps://, or the rtsp:// of a
            // Content-Base the server gave.
            if (url.compare(0, 7, "rtsp://") != 0 && url.compare(0, 8, "rtsps://") != 0) return;
            e.owner.m_listener->OnTlsAddress(STREAM_RTSP, url, e.flow.Key());
        }
        Entry& e;
        RtspSession session;
    };

    // An HTTP/2 session's requests go the way an HTTP/1.1 one's do: each read as the request
    // head it stands for, each response to the recorder.
    struct H2Bridge : public Http2Sink {
        struct Stream {
            HttpRequest request;
            HttpResponseHead head;
            bool responded = false;
            bool opened = false;
            HttpBodySink* body = nullptr;
            std::unique_ptr<InflatingBody> inflate;
        };
        explicit H2Bridge(Entry& entry) : e(entry) {}

        void OnRequest(uint32_t stream, const std::string& method, const std::string&,
                       const std::string& authority, const std::string& path) override {
            HttpRequest request;
            request.method = method;
            request.target = path;
            request.host = authority.empty() ? e.tls.ServerName() : authority;
            request.scheme = "https";
            e.OnRequest(method + " " + path + " HTTP/1.1\r\nHost: " + request.host + "\r\n\r\n",
                        request);
            streams[stream].request = request;
        }
        void OnResponse(uint32_t stream, int status, const std::string&) override {
            auto it = streams.find(stream);
            if (it == streams.end()) return;
            it->second.head.status = status;
            it->second.responded = true;
        }
        void OnContentEncoding(uint32_t stream, const std::string& encoding) override {
            auto it = streams.find(stream);
            if (it != streams.end())
                it->second.head.gzip = encoding.find("gzip") != std::string::npos ||
                                       encoding.find("deflate") != std::string::npos;
        }
        void OnData(uint32_t stream, const unsigned char* data, size_t length) override {
            auto it = streams.find(stream);
            if (it == streams.end()) return;
            HttpBodySink* body = Open(it->second);
            if (body != nullptr) body->OnBody(data, length);
        }
        void OnStreamEnd(uint32_t stream, bool complete) override {
            auto it = streams.find(stream);
            if (it == streams.end()) return;
            HttpBodySink* body = Open(it->second);
            if (body != nullptr) body->OnBodyEnd(complete);
            streams.erase(it);
        }
        HttpBodySink* Open(Stream& s) {
            if (!s.opened && s.responded) {
                s.opened = true;
                HttpExchangeSink* recorder = e.owner.m_listener->TlsHttpRecorder();
                s.body = recorder != nullptr ? recorder->OnResponse(s.request, s.head) : nullptr;
                if (s.body != nullptr && s.head.gzip) {
                    s.inflate.reset(new InflatingBody(s.body));
                    s.body = s.inflate.get();
                }
            }
            return s.body;
        }

        Entry& e;
        // Bounded by the HTTP/2 reader's open streams: each ends once.
        std::unordered_map<uint32_t, Stream> streams;
    };

    TlsFollow& owner;
    TcpFlow flow;
    TlsConnection tls;
    Kind kind = kUnknown;
    std::unique_ptr<HttpConnectionReader> http;
    std::unique_ptr<H2Bridge> h2bridge;
    std::unique_ptr<Http2Connection> h2;  // after h2bridge: it goes first
    std::unique_ptr<RtmpMedia> rtmp;
    std::unique_ptr<RtspControl> rtsp;
    RtspFollow* rtspFollow = nullptr;      // reads the session when it took it
    std::vector<unsigned char> collected;  // RTMP: the client's chunk stream, its first bytes
    size_t skipped[2] = {0, 0};
    bool keyed = false;
    bool httpEnded = false;
    size_t held = 0;  // counted in the follower's total
    std::list<ConnectionKey>::iterator order;
};

TlsFollow::TlsFollow(TlsFollowListener* listener)
    : m_listener(listener), m_memory(kReassemblyCap) {}

TlsFollow::~TlsFollow() {
    Finish();
}

void TlsFollow::Segment(CTCPNetUnpack* u, const ConnectionKey& key, bool opens, int64_t timeUs) {
    m_now = timeUs;
    if (!m_keys) {
        // Nothing can be read: the ClientHello is counted, nothing is followed.
        if (opens && Opening(key, u->SequenceNumber())) Count(u, key);
        return;
    }
    const bool fromServer = m_serverPorts[key.srcPort] != 0;
    TcpFlow::Direction d = fromServer ? TcpFlow::kToClient : TcpFlow::kToServer;
    auto it = m_sessions.find(fromServer ? key.Reverse() : key);
    if (it == m_sessions.end()) {
        it = m_sessions.find(fromServer ? key : key.Reverse());
        d = fromServer ? TcpFlow::kToServer : TcpFlow::kToClient;
    }
    if (it == m_sessions.end()) {
        const uint32_t seq = u->SequenceNumber();
        if (!opens || !Opening(key, seq)) return;
        MakeRoom();
        std::unique_ptr<Entry> e(new Entry(*this, key, &m_memory, m_keys.get()));
        e->flow.ToServer().Start(seq);
        if ((u->TcpFlags() & CTCPNetUnpack::kAck) != 0)
            e->flow.ToClient().Start(u->AcknowledgementNumber());
        e->order = m_order.insert(m_order.end(), key);
        ++m_serverPorts[key.dstPort];
        it = m_sessions.emplace(key, std::move(e)).first;
        d = TcpFlow::kToServer;
    }
    Entry& e = *it->second;
    m_order.splice(m_order.end(), m_order, e.order);
    Deliver(e, d, u);
    const bool over = (u->TcpFlags() & CTCPNetUnpack::kRst) != 0 ||
                      (e.flow.ToServer().FinSeen() && e.flow.ToClient().FinSeen());
    if (Settle(e) || over) {
        End(it);
    } else {
        Account(e);
    }
}

void TlsFollow::Account(Entry& e) {
    const size_t now = e.tls.HeldBytes() + (e.h2 ? e.h2->HeldBytes() : 0);
    m_held = m_held - e.held + now;
    e.held = now;
    // The entry just used is last in the order: the others give way first.
    while (m_held > kHeldCap && m_order.size() > 1) {
        auto it = m_sessions.find(m_order.front());
        if (it == m_sessions.end()) {
            m_order.pop_front();
            continue;
        }
        End(it);
    }
}

bool TlsFollow::Opening(const ConnectionKey& key, uint32_t seq) {
    for (const Opened& o : m_recent)
        if (o.seq == seq && o.key == key) return false;  // a retransmitted ClientHello
    m_recent[m_recentNext] = Opened{key, seq};
    m_recentNext = (m_recentNext + 1) % (sizeof m_recent / sizeof m_recent[0]);
    ++m_seen;
    return true;
}

void TlsFollow::Count(CTCPNetUnpack* u, const ConnectionKey& key) {
    {
        // Once the summary has its names, the rest are only counted.
        std::lock_guard<std::mutex> lock(m_unreadLock);
        if (m_unread.names.size() >= TlsUnread::kMaxNames) {
            ++m_unread.sessions;
            return;
        }
    }
    // A ClientHello longer than its segment is named by the server's address.
    NoSink sink;
    TlsConnection hello(nullptr, &sink);
    hello.OnBytes(TlsConnection::kClient, u->Payload(), static_cast<size_t>(u->PayloadLen()));
    std::lock_guard<std::mutex> lock(m_unreadLock);
    m_unread.Add(SessionName(hello.ServerName(), key));
}

void TlsFollow::Deliver(Entry& e, TcpFlow::Direction d, CTCPNetUnpack* u) {
    class Sink : public ReassemblySink {
      public:
        Sink(TlsConnection& tls, int direction) : m_tls(tls), m_direction(direction) {}
        void OnBytes(const unsigned char* data, int length) override {
            if (length > 0) m_tls.OnBytes(m_direction, data, static_cast<size_t>(length));
        }
        void OnGap(uint32_t length) override { m_tls.OnGap(m_direction, length); }

      private:
        TlsConnection& m_tls;
        int m_direction;
    } sink(e.tls, d == TcpFlow::kToServer ? TlsConnection::kClient : TlsConnection::kServer);
    TcpReassembler& r = e.flow.Of(d);
    if (u == nullptr) {
        r.Flush(sink);
        return;
    }
    const uint8_t flags = u->TcpFlags();
    r.Segment(u->SequenceNumber(), u->Payload(), u->PayloadLen(),
              (flags & CTCPNetUnpack::kSyn) != 0, (flags & CTCPNetUnpack::kFin) != 0, m_now, sink);
}

bool TlsFollow::Settle(Entry& e) {
    if (!e.keyed && e.tls.Keyed()) {
        e.keyed = true;
        ++m_keyed;
    }
    if (e.tls.Unreadable()) return true;
    return e.tls.EndOf(TlsConnection::kClient) != TlsConnection::kNotEnded &&
           e.tls.EndOf(TlsConnection::kServer) != TlsConnection::kNotEnded;
}

void TlsFollow::CountUnread(const Entry& e) {
    if (!e.tls.Unreadable()) return;
    const bool unsupported = e.tls.EndOf(TlsConnection::kClient) == TlsConnection::kUnsupported ||
                             e.tls.EndOf(TlsConnection::kServer) == TlsConnection::kUnsupported;
    std::lock_guard<std::mutex> lock(m_unreadLock);
    m_unread.Add(e.Name(), unsupported);
}

void TlsFollow::End(
    std::unordered_map<ConnectionKey, std::unique_ptr<Entry>, ConnectionKeyHash>::iterator it) {
    Entry& e = *it->second;
    try {
        if (e.flow.ToServer().HeldBytes() > 0) Deliver(e, TcpFlow::kToServer, nullptr);
        if (e.flow.ToClient().HeldBytes() > 0) Deliver(e, TcpFlow::kToClient, nullptr);
        e.EndHttp();
    } catch (...) {
        // What was held is lost.
    }
    CountUnread(e);
    m_held -= e.held;
    --m_serverPorts[it->first.dstPort];
    m_order.erase(e.order);
    m_sessions.erase(it);
}

void TlsFollow::MakeRoom() {
    while (m_sessions.size() >= kMaxSessions && !m_order.empty()) {
        auto it = m_sessions.find(m_order.front());
        if (it == m_sessions.end()) {
            m_order.pop_front();
            continue;
        }
        End(it);
    }
}

void TlsFollow::Finish() {
    while (!m_sessions.empty()) End(m_sessions.begin());
}

TlsUnread TlsFollow::Unread() const {
    std::lock_guard<std::mutex> lock(m_unreadLock);
    return m_unread;
}

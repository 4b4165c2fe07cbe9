#pragma once
// Follows the TLS connections the analyser sees: both directions reassembled into a TLS reader,
// the client's plaintext read for stream requests as a plaintext connection's bytes are, the
// server's handed to the recorders. Without a key log a session is only counted, with its server
// name, for the end-of-run hint.

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "analyse/RtspFollow.h"
#include "analyse/TcpConnection.h"
#include "flow/ConnectionKey.h"
#include "flow/TcpReassembler.h"
#include "http/HttpReader.h"
#include "netunpack/NetUnpack.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnection.h"

// What the analyser does with what a followed session carried.
class TlsFollowListener {
  public:
    virtual ~TlsFollowListener() = default;
    // An address read from the client's plaintext, with its scheme; key is client to server.
    virtual void OnTlsAddress(StreamType type, const std::string& address,
                              const ConnectionKey& key) = 0;
    // Where the session's HTTP exchanges go for recording; null when nothing is recorded.
    virtual HttpExchangeSink* TlsHttpRecorder() = 0;
    // The decrypted RTMP media of a session (from the server, or to it when the client
    // publishes), and the bytes it will never see.
    virtual void OnTlsRtmpMedia(RtmpMedia& media, const ConnectionKey& key,
                                const unsigned char* data, size_t length) = 0;
    virtual void OnTlsRtmpGap(RtmpMedia& media, uint32_t length) = 0;
    // Where an RTSP session's control connection goes to be recorded; null when RTSP sessions
    // are not followed.
    virtual RtspFollow* TlsRtsp() { return nullptr; }
};

// The sessions that could not be read, for the summary a front end prints.
struct TlsUnread {
    size_t sessions = 0;
    size_t unsupported = 0;  // of them, keyed but in a version or suite this reader cannot read
    std::vector<std::string> names;  // server names (or addresses), each once, the first few
    static constexpr size_t kMaxNames = 16;
    void Add(const std::string& name, bool unsupportedSuite = false);
    void Merge(const TlsUnread& other);
    // "N TLS sessions could not be read (no keys): a, b; give their key log with --tls-keylog",
    // the reasons counted when some were not for want of keys.
    std::string Summary() const;
};

class TlsFollow {
  public:
    // Sessions followed at once; the one unused longest gives way to a new one.
    static constexpr size_t kMaxSessions = 4096;
    // Bytes all followed sessions may hold behind holes.
    static constexpr size_t kReassemblyCap = size_t{32} << 20;
    // Bytes all followed sessions may hold in their TLS and HTTP/2 readers (records and
    // messages not complete yet); past it, the sessions unused longest give way.
    static constexpr size_t kHeldCap = size_t{64} << 20;
    // Client plaintext of an RTMP session kept for its connect and play or publish.
    static constexpr size_t kRtmpCollect = 4096;

    explicit TlsFollow(TlsFollowListener* listener);
    ~TlsFollow();
    TlsFollow(const TlsFollow&) = delete;
    TlsFollow& operator=(const TlsFollow&) = delete;

    // The sessions are decrypted with these keys (read again as they grow); without, counted.
    void SetKeyLog(std::unique_ptr<KeyLog> keys) { m_keys = std::move(keys); }

    // Whether a segment's payload (n > 0 bytes) opens a TLS connection: a handshake record that
    // holds a ClientHello. For every segment: its first byte rules out nearly all.
    static bool OpensTls(const unsigned char* p, int n) {
        return p[0] == 0x16 && n > 5 && p[1] == 0x03 && p[2] <= 0x04 && p[5] == 0x01;
    }
    // Nothing is followed: segments that open nothing cost this check.
    bool Idle() const { return m_sessions.empty(); }
    // Whether a segment with this key may belong to a followed session.
    bool Watches(const ConnectionKey& key) const {
        return m_serverPorts[key.srcPort] != 0 || m_serverPorts[key.dstPort] != 0;
    }
    // A TCP segment with payload, `key` its direction; `opens` when OpensTls said so.
    void Segment(CTCPNetUnpack* u, const ConnectionKey& key, bool opens, int64_t timeUs);
    // The capture ends: what is held is read, every session ends.
    void Finish();

    size_t Sessions() const { return m_sessions.size(); }
    size_t HeldBytes() const { return m_held; }
    // Sessions seen by their ClientHello; of them, read (keys found) and on HTTP/2.
    uint64_t Seen() const { return m_seen; }
    uint64_t Keyed() const { return m_keyed; }
    uint64_t Http2Sessions() const { return m_http2; }
    // Safe from another thread while the capture runs.
    TlsUnread Unread() const;

  private:
    struct Entry;
    // Whether a ClientHello segment opens a session not seen yet (not a retransmission).
    bool Opening(const ConnectionKey& key, uint32_t seq);
    // A session without keys, counted by its ClientHello alone.
    void Count(CTCPNetUnpack* u, const ConnectionKey& key);
    void Deliver(Entry& e, TcpFlow::Direction d, CTCPNetUnpack* u);
    // Counts the session when it could not be read; true when it has nothing more to give.
    bool Settle(Entry& e);
    void End(
        std::unordered_map<ConnectionKey, std::unique_ptr<Entry>, ConnectionKeyHash>::iterator it);
    void MakeRoom();
    // Counts what the entry's readers hold now; ends the sessions unused longest while all
    // together hold more than kHeldCap.
    void Account(Entry& e);
    void CountUnread(const Entry& e);

    TlsFollowListener* m_listener;
    std::unique_ptr<KeyLog> m_keys;
    FlowMemory m_memory;
    size_t m_held = 0;  // by the sessions' readers, as last counted
    std::unordered_map<ConnectionKey, std::unique_ptr<Entry>, ConnectionKeyHash> m_sessions;
    std::list<ConnectionKey> m_order;  // least recently used first
    std::vector<uint16_t> m_serverPorts = std::vector<uint16_t>(65536);  // sessions per port
    // The last ClientHello segments counted: a retransmitted one is not a new session.
    struct Opened {
        ConnectionKey key;
        uint32_t seq = 0;
    };
    Opened m_recent[16];
    size_t m_recentNext = 0;
    int64_t m_now = 0;  // capture time of the segment being read
    uint64_t m_seen = 0;
    uint64_t m_keyed = 0;
    uint64_t m_http2 = 0;
    mutable std::mutex m_unreadLock;
    TlsUnread m_unread;
};

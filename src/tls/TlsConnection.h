#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tls/KeyLog.h"

// Wiring it into the analyser (not done yet):
// - Only with a key log (strevix-cli --tls-keylog FILE, repeatable: one KeyLog, ReadFile per
//   file; the desktop's setting the same). Without one nothing changes on the packet path.
// - A TCP connection is followed as TLS when its first client bytes are a handshake record
//   holding a ClientHello: 0x16, 0x03, 0x00..0x04, then a handshake type of 1 at offset 5.
//   Those bytes and everything after them, in both directions, come from the flow layer's
//   reassembly (TcpFlow) into OnBytes; its gaps into OnGap.
// - The client's plaintext goes to the same request extraction as a plaintext connection's
//   first bytes (HTTP/1.1 request lines, RTMP connect/play/publish), the server's to the same
//   response readers and recorders. The address takes the scheme the client used: https://
//   (ALPN http/1.1 or none) or rtmps://, host from the Host header or, failing that, the
//   ServerName() of the ClientHello. ALPN h2 needs an HTTP/2 frame and HPACK reader first.
// - Sessions that are Unreadable() are counted with their ServerName() for the end-of-run
//   summary; OnEnd(kAuthFailed) is worth one log line per direction, the other ends none.
// - The connection entry owns the TlsConnection; it goes when the entry goes.

// Receives what a TlsConnection reads out of the two directions.
class TlsSink {
  public:
    virtual ~TlsSink() = default;
    // The next authenticated application bytes of a direction (0 client to server, 1 server to
    // client), in order. Valid during the call only.
    virtual void OnPlaintext(int direction, const unsigned char* data, size_t length) = 0;
    // The direction will hand out nothing more: called at most once per direction, with why.
    virtual void OnEnd(int direction, int reason) = 0;
};

// One TLS connection read from the reassembled bytes of its two directions, with the secrets of
// a key log: the record layer, the hellos, the keys of TLS 1.2 (AEAD suites) and TLS 1.3, and the
// application data each direction carried. The directions may be fed interleaved in any order:
// a direction that needs the other side's ServerHello first waits for it, bounded.
class TlsConnection {
  public:
    enum Direction { kClient = 0, kServer = 1 };
    enum End {
        kNotEnded = 0,
        kGap,            // bytes of the direction were lost: the record framing is gone
        kNotTls,         // a record header no TLS peer writes
        kRecordTooLong,  // a record past the protocol's bound
        kBadHandshake,   // a hello or handshake message that does not parse
        kNoKeys,         // the key log holds no secrets for this session
        kUnsupported,    // a version or cipher suite this reader does not decrypt
        kAuthFailed,     // a record failed authentication (wrong key or altered bytes)
        kBacklog,        // waited too long for the other direction's hello
    };
    // 2^14 of plaintext plus the most expansion any version allows.
    static constexpr size_t kMaxCiphertext = (1u << 14) + 256;
    // A handshake message kept to be parsed (the hellos) may be no longer than this.
    static constexpr size_t kMaxHandshakeMessage = 1u << 16;
    // Raw bytes a direction may hold while it waits for the other direction.
    static constexpr size_t kMaxBacklog = 256u << 10;

    // keys may be null (nothing is decrypted); it must outlive the connection, which reads its
    // files again when a session's keys are not there yet. The sink gets the plaintext and the
    // ends.
    TlsConnection(KeyLog* keys, TlsSink* sink);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    void OnBytes(int direction, const unsigned char* data, size_t length);
    void OnGap(int direction, uint32_t length);

    // What the hellos said (empty or 0 until seen).
    const std::string& ServerName() const { return m_serverName; }
    const std::vector<std::string>& OfferedAlpn() const { return m_offeredAlpn; }
    const std::string& SelectedAlpn() const { return m_selectedAlpn; }
    bool ClientHelloSeen() const { return m_clientHelloSeen; }
    bool ServerHelloSeen() const { return m_serverHelloSeen; }
    uint16_t Version() const { return m_version; }  // 0x0303 or 0x0304
    uint16_t CipherSuite() const { return m_suite; }
    // True once keys for the session were found and derived.
    bool Keyed() const { return m_keyed; }
    // The session cannot be read: it has encrypted traffic and no keys could be found for it (a
    // key log would help), or its version or cipher suite is one this reader does not decrypt
    // (EndOf says which).
    bool Unreadable() const { return m_unreadable; }
    End EndOf(int direction) const { return m_dirs[direction & 1].end; }
    uint64_t PlaintextBytes(int direction) const { return m_dirs[direction & 1].plaintext; }
    uint64_t Records(int direction) const { return m_dirs[direction & 1].records; }
    // Memory the connection holds for bytes not read yet and messages being gathered.
    size_t HeldBytes() const {
        return m_dirs[0].raw.capacity() + m_dirs[0].body.capacity() + m_dirs[1].raw.capacity() +
               m_dirs[1].body.capacity() + m_plain.capacity();
    }

    static const char* EndText(int reason);

  private:
    struct Aead;
    struct Dir {
        std::vector<unsigned char> raw;  // record bytes not yet read
        size_t rawStart = 0;
        // The handshake message being gathered.
        unsigned char header[4] = {};
        size_t headerHave = 0;
        uint32_t bodyLength = 0;
        uint32_t bodyHave = 0;
        bool keepBody = false;
        std::vector<unsigned char> body;
        std::unique_ptr<Aead> aead;   // null while the direction is in plaintext
        std::vector<uint8_t> secret;  // TLS 1.3: the current traffic secret
        uint64_t seq = 0;
        bool tls12Encrypting = false;  // after ChangeCipherSpec
        bool finishedSeen = false;     // TLS 1.3: the Finished of the handshake keys
        bool applicationKeys = false;  // TLS 1.3: past the handshake keys
        bool keyUpdate = false;        // TLS 1.3: switch to the next secret after this record
        End end = kNotEnded;
        uint64_t plaintext = 0;
        uint64_t records = 0;
    };

    // Reads the whole records at data; returns how many bytes they took.
    size_t Pump(int direction, const unsigned char* data, size_t size);
    // After a call: the held bytes compacted and bounded, the buffers of ended directions freed.
    void Settle(int direction);
    void Release(int direction);
    // One secret of this session, the key log read again once when it is missing.
    const std::vector<uint8_t>* Secret(std::vector<uint8_t> KeyLog::Secrets::*slot);
    // false: stop reading this direction for now (waiting or ended).
    bool Record(int direction, unsigned char type, const unsigned char* fragment, size_t length,
                const unsigned char* header);
    bool Handshake(int direction, const unsigned char* data, size_t length);
    bool HandshakeMessage(int direction, unsigned char type, const unsigned char* body,
                          size_t length);
    bool ClientHello(const unsigned char* body, size_t length);
    bool ServerHello(const unsigned char* body, size_t length);
    bool EncryptedExtensions(const unsigned char* body, size_t length);
    bool Decrypt(int direction, const unsigned char* header, const unsigned char* fragment,
                 size_t length, unsigned char& type, const unsigned char*& plain,
                 size_t& plainLength);
    bool KeyDirection(int direction);
    bool SetTls13Keys(int direction, const std::vector<uint8_t>& secret);
    void Finish(int direction, End reason);

    KeyLog* m_keys;
    TlsSink* m_sink;
    Dir m_dirs[2];
    std::vector<unsigned char> m_plain;  // decryption output, one record
    std::string m_serverName;
    std::vector<std::string> m_offeredAlpn;
    std::string m_selectedAlpn;
    uint8_t m_clientRandom[32] = {};
    uint8_t m_serverRandom[32] = {};
    bool m_clientHelloSeen = false;
    bool m_serverHelloSeen = false;
    bool m_retrySeen = false;
    bool m_keyed = false;
    bool m_unreadable = false;
    uint16_t m_version = 0;
    uint16_t m_suite = 0;
    std::vector<unsigned char> m_tls12KeyBlock;
};

#pragma once
// Reads both directions of one HTTP/2 connection passively: frames, header blocks through
// nghttp2's HPACK decoder, and the response bodies of the requests the client made. Nothing is
// ever sent; a direction whose framing or header compression is lost stops, the other goes on.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

struct nghttp2_hd_inflater;

class Http2Sink {
  public:
    virtual ~Http2Sink() = default;
    // A new stream of the client's; none while kMaxOpenStreams are open.
    virtual void OnRequest(uint32_t stream, const std::string& method, const std::string& scheme,
                           const std::string& authority, const std::string& path) = 0;
    virtual void OnResponse(uint32_t stream, int status, const std::string& contentType) = 0;
    // Response body bytes, in order, padding stripped.
    virtual void OnData(uint32_t stream, const unsigned char* data, size_t length) = 0;
    // The stream is over: `complete` when the server ended it (END_STREAM), not when it was
    // reset or abandoned. A reset from the client counts where it comes in the bytes handed
    // over: the directions' order matters.
    virtual void OnStreamEnd(uint32_t stream, bool complete) = 0;
    // The response's content-encoding, when it has one; called right after OnResponse.
    virtual void OnContentEncoding(uint32_t /*stream*/, const std::string& /*encoding*/) {}
};

class Http2Connection {
  public:
    // Why a direction stopped.
    enum Failure {
        kNone,
        kPreface,      // the client did not start with the connection preface
        kGap,          // bytes were lost
        kFrame,        // a frame contradicts its own length or its type's rules
        kSequence,     // CONTINUATION out of place, or another frame inside a header block
        kHeaderBlock,  // a header block past its bound
        kHeaderList,   // a decoded header list past its bound (size or count)
        kCompression,  // HPACK could not decode the block
    };

    static constexpr size_t kMaxHeaderBlock = 256 * 1024;
    static constexpr size_t kMaxHeaderList = 64 * 1024;
    static constexpr size_t kMaxHeaders = 512;
    static constexpr size_t kMaxContinuations = 1024;
    static constexpr size_t kMaxOpenStreams = 1000;
    // The largest dynamic table a peer's SETTINGS may give the decoder.
    static constexpr uint32_t kMaxTableSize = 256 * 1024;

    explicit Http2Connection(Http2Sink* sink);
    ~Http2Connection();
    Http2Connection(const Http2Connection&) = delete;
    Http2Connection& operator=(const Http2Connection&) = delete;

    // direction 0: client to server (the preface, then frames); 1: server to client.
    void OnBytes(int direction, const unsigned char* data, size_t length);
    // Bytes lost: that direction stops, its framing gone.
    void OnGap(int direction);
    // The connection is over: every stream still waiting for its response ends.
    void Close();

    // True when the client's first bytes are, as far as they go, the HTTP/2 connection preface:
    // how a connection whose ALPN was not seen (TLS 1.3 encrypts the server's) is told apart.
    static bool StartsLikeHttp2(const unsigned char* data, size_t length);

    bool Failed(int direction) const { return m_dir[direction & 1].failure != kNone; }
    Failure FailureOf(int direction) const { return m_dir[direction & 1].failure; }
    static const char* FailureText(Failure failure);
    size_t OpenStreams() const { return m_streams.size(); }
    // Memory held for frames and header blocks being gathered.
    size_t HeldBytes() const {
        return m_dir[0].frame.capacity() + m_dir[0].block.capacity() + m_dir[1].frame.capacity() +
               m_dir[1].block.capacity();
    }
    uint64_t Frames(int direction) const { return m_dir[direction & 1].frames; }

  private:
    struct Direction {
        nghttp2_hd_inflater* inflater = nullptr;
        Failure failure = kNone;
        size_t prefaceHave = 0;  // client: bytes of the preface seen so far
        unsigned char head[9] = {};
        size_t headHave = 0;
        bool inPayload = false;
        uint32_t length = 0;
        uint8_t type = 0;
        uint8_t flags = 0;
        uint32_t stream = 0;
        uint32_t remaining = 0;  // payload bytes still to come
        bool gather = false;     // the payload is collected in `frame`, else streamed
        std::string frame;
        // DATA, streamed: the pad length byte first when PADDED, then data, then padding.
        bool padPending = false;
        uint32_t dataLeft = 0;
        // A header block spread over HEADERS (or PUSH_PROMISE) and CONTINUATIONs.
        bool inBlock = false;
        bool blockEndStream = false;
        bool blockPush = false;
        uint32_t blockStream = 0;
        size_t continuations = 0;
        std::string block;
        uint64_t frames = 0;
    };

    struct Stream {
        bool responded = false;
    };

    void Fail(int d, Failure why);
    size_t Preface(Direction& dir, const unsigned char* data, size_t length);
    bool StartFrame(int d);
    size_t Payload(int d, const unsigned char* data, size_t length);
    bool EndFrame(int d);
    bool HeaderFragment(int d, const unsigned char* fragment, size_t length);
    bool DecodeBlock(int d);
    void Settings(int d);
    void EndStream(uint32_t stream, bool complete);
    void AbandonAll();

    Http2Sink* m_sink;
    Direction m_dir[2];
    std::unordered_map<uint32_t, Stream> m_streams;
    uint32_t m_tableSize[2] = {4096, 4096};
    uint32_t m_lastRequest = 0;
};

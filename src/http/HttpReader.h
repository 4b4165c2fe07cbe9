#pragma once
// HTTP/1.x exchanges read from the two reassembled directions of one connection: the client's
// requests, and the server's responses matched to them in order. Bodies leave as they arrive;
// nothing but a header is ever held.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

struct HttpRequest {
    std::string method;
    std::string target;           // as on the request line
    std::string host;             // the Host header, blanks trimmed
    std::string scheme = "http";  // "https" when read out of TLS
    // scheme + "://" + host + target: the form the detection lists an address in.
    std::string Address() const { return scheme + "://" + host + target; }
};

struct HttpResponseHead {
    int status = 0;
    int64_t contentLength = -1;  // -1: none given
    bool chunked = false;
    bool gzip = false;  // Content-Encoding gzip (or x-gzip, deflate)
    bool close = false;
    // Content-Range of a 206: first byte and total (-1 unknown).
    bool hasRange = false;
    int64_t rangeFirst = 0;
    int64_t rangeLast = -1;
    int64_t rangeTotal = -1;
};

// Where one response body goes. Used until OnBodyEnd, which always comes.
class HttpBodySink {
  public:
    virtual ~HttpBodySink() = default;
    virtual void OnBody(const unsigned char* data, size_t length) = 0;
    // Body bytes that never came (a gap in the capture); as decoded offsets when known.
    virtual void OnBodyGap(uint64_t length) = 0;
    // complete: the body ended where its framing said it would.
    virtual void OnBodyEnd(bool complete) = 0;
};

class HttpExchangeSink {
  public:
    virtual ~HttpExchangeSink() = default;
    // A response head is read; the request is the one it answers (empty when none was seen).
    // A null result skips the body without keeping any of it.
    virtual HttpBodySink* OnResponse(const HttpRequest& request, const HttpResponseHead& head) = 0;
    // A request head as it was sent, and what it says; before the response to it.
    virtual void OnRequest(const std::string& head, const HttpRequest& request) {}
};

// Inflates a gzip or zlib body on its way to another sink (HTTP/1.1 and HTTP/2 alike). A gap
// breaks the stream: nothing more is handed on, and the body does not end complete.
class InflatingBody : public HttpBodySink {
  public:
    explicit InflatingBody(HttpBodySink* target);
    ~InflatingBody() override;
    InflatingBody(const InflatingBody&) = delete;
    InflatingBody& operator=(const InflatingBody&) = delete;
    void OnBody(const unsigned char* data, size_t length) override;
    void OnBodyGap(uint64_t) override { m_broken = true; }
    void OnBodyEnd(bool complete) override;

  private:
    HttpBodySink* m_target;
    z_stream m_zip;
    bool m_ready = false;
    bool m_broken = false;
    bool m_done = false;  // the stream ended; what follows is ignored
};

// Parses one head (request or response) from its text; false when it is not one.
bool ParseResponseHead(const std::string& text, HttpResponseHead* head);
bool ParseRequestHead(const std::string& text, HttpRequest* request, int64_t* bodyLength,
                      bool* chunked);

class HttpConnectionReader {
  public:
    // Bounds that keep a hostile peer from holding memory.
    static constexpr size_t kMaxHead = 16 * 1024;
    static constexpr size_t kMaxPendingRequests = 256;
    static constexpr size_t kMaxChunkLine = 1024;

    explicit HttpConnectionReader(HttpExchangeSink* sink) : m_sink(sink) {}
    ~HttpConnectionReader();
    HttpConnectionReader(const HttpConnectionReader&) = delete;
    HttpConnectionReader& operator=(const HttpConnectionReader&) = delete;

    // The requests' scheme, and their host when they name none (a TLS session's server name).
    void SetOrigin(const std::string& scheme, const std::string& host) {
        m_scheme = scheme;
        m_defaultHost = host;
    }

    void OnClientBytes(const unsigned char* data, size_t length);
    void OnClientGap(uint64_t length);
    void OnServerBytes(const unsigned char* data, size_t length);
    void OnServerGap(uint64_t length);
    // The server's direction has ended: a body read to the close is complete, any other cut.
    void OnServerEnd();

    // Nothing more can be read from the server's direction (lost framing).
    bool Lost() const { return m_state == kLost; }
    uint64_t Responses() const { return m_responses; }
    size_t PendingRequests() const { return m_requests.size(); }

  private:
    enum State { kHead, kLength, kChunkLine, kChunkData, kChunkEnd, kTrailer, kToClose, kLost };
    enum RequestState { kReqHead, kReqBody, kReqLost };

    void StartBody();
    void EndBody(bool complete);
    void Body(const unsigned char* data, size_t length);
    bool ChunkLineDone();

    HttpExchangeSink* m_sink;
    // Client side.
    RequestState m_reqState = kReqHead;
    std::string m_reqHead;
    uint64_t m_reqBodyLeft = 0;
    std::deque<HttpRequest> m_requests;
    std::string m_scheme = "http";
    std::string m_defaultHost;
    // Server side.
    State m_state = kHead;
    std::string m_head;  // the head read so far, or a chunk-size line
    HttpRequest m_current;
    HttpResponseHead m_response;
    HttpBodySink* m_body = nullptr;
    uint64_t m_left = 0;  // of the body or chunk
    bool m_headOnly = false;
    uint64_t m_responses = 0;
    // Gzip bodies are decoded on the way; the state exists only while one is read.
    std::unique_ptr<InflatingBody> m_zip;
};

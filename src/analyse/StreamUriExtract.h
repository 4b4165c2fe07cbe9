#pragma once
// The stream address found in a connection's collected bytes (the first frame, then the
// payloads that followed), one extractor per protocol. Pure functions: nothing outside the
// buffer and, for HTTP, the memo is read or changed. An address that is not complete yet gives
// an empty text.

#include <cstdint>
#include <string>

#include "netunpack/ZMemory.h"

// The tcUrl of the connect command, "/", the stream name of the play (or publish) command.
std::string ExtractRtmpUri(const unsigned char* b, int n);
// The rtsp:// address of the request line.
std::string ExtractRtspUri(const unsigned char* b, int n);
// "http://", the Host header, the path of a GET or POST request line.
std::string ExtractHttpUri(const unsigned char* b, int n);

// The searches of the HTTP extraction that carry over as a connection's bytes grow: each goes
// on from where the last look stopped. Plain data, so it can be copied in and out of a
// connection entry.
struct HttpSearchMemo {
    static const int kSearches = 5;
    GrowingSearch searches[kSearches];
    void Reset();
};

// The same over a buffer that only grows at its end between calls; the memo must be fresh
// (or Reset) whenever the buffer starts over. Gives what the plain extraction gives.
std::string ExtractHttpUri(const unsigned char* b, int n, HttpSearchMemo& memo);

// An HTTP collection whose extraction can name no address before a "Host" comes, whatever comes
// (HttpWaitsForHost of its first bytes: a response, mostly). Its bytes are
// then only counted, with the last three kept. Once a "Host" comes, the collection goes on from a
// stand-in, "HTTP/" and those three bytes, in which the extraction finds what it would have found
// in all the bytes: the first "Host" lies after them, and the path stays empty.
class HttpHostWait {
  public:
    // Waits from here: the collection starts with the n bytes, and HttpWaitsForHost(b, n) holds.
    void Start(const unsigned char* b, int n);
    bool Waiting() const { return m_waiting; }
    // The next bytes of a waiting collection: true when they bring no "Host" and are only
    // counted. False when one has come: the collection goes on from the stand-in, then these
    // bytes, and waits no more.
    bool Pass(const unsigned char* d, int n);
    const unsigned char* StandIn() const { return m_standIn; }
    int StandInLen() const { return 5 + m_tailLen; }
    // How many of the collection's bytes are not held: counted while waiting, stood in for after.
    int Hidden() const { return m_hidden; }

  private:
    static const int kTail = 3;  // a "Host" across two segments starts in the last three bytes
    int m_hidden = 0;
    bool m_waiting = false;
    uint8_t m_tailLen = 0;
    unsigned char m_standIn[5 + kTail] = {'H', 'T', 'T', 'P', '/'};
};

// Drops ":1935" where it is the whole port: followed by '/' or the end.
void RemoveDefaultRtmpPort(std::string* address);

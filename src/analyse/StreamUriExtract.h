#pragma once
// The stream address found in a connection's collected bytes (the first frame, then the
// payloads that followed), one extractor per protocol. Pure functions: nothing outside the
// buffer and, for HTTP, the memo is read or changed. An address that is not complete yet gives
// an empty text.

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

// Drops ":1935" where it is the whole port: followed by '/' or the end.
void RemoveDefaultRtmpPort(std::string* address);

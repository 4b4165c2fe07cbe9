#pragma once
// Stream addresses out of a connection's collected bytes: pure functions of the bytes.

#include <string>

#include "netunpack/ZMemory.h"

// The searches of the HTTP extraction that carry over from one look at a connection's bytes to
// the next, as they grow.
struct HttpSearchMemo {
    GrowingSearch searches[5];
    void Reset() {
        for (GrowingSearch& s : searches) s = GrowingSearch();
    }
};

// tcUrl of the connect command + "/" + the stream name of play; empty while incomplete.
std::string ExtractRtmpUri(const unsigned char* b, int n);
// The rtsp:// address of a request line.
std::string ExtractRtspUri(const unsigned char* b, int n);
// "http://" + Host + the request path.
std::string ExtractHttpUri(const unsigned char* b, int n);
// The same over bytes that grow between calls, resuming the searches of the last call.
std::string ExtractHttpUri(const unsigned char* b, int n, HttpSearchMemo& memo);
// Removes ":1935" where it is the whole port (followed by "/" or the end).
void RemoveDefaultRtmpPort(std::string* address);

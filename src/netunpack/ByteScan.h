#pragma once

#include <cstddef>

// What the classification of a TCP payload looks for, found in one pass: the first "HTTP/",
// and whether "RTSP/" and "connect" occur (before the first "HTTP/", since it decides alone).
struct PayloadMarkers {
    const unsigned char* http = nullptr;
    bool rtsp = false;
    bool connect = false;
};
PayloadMarkers ScanPayloadMarkers(const unsigned char* p, int n);
// The same without vector extensions beyond SSE2, as processors without AVX2 run it.
PayloadMarkers ScanPayloadMarkersPortable(const unsigned char* p, int n);

// First occurrence of the n-byte pattern (n >= 2) in the length bytes at b, or null. Candidates
// are the positions where both the first and the last byte of the pattern match, tested a vector
// at a time, so a pattern whose first byte is common (the "\r" of "\r\n\r\n") costs no more
// than one whose first byte is rare.
const unsigned char* FindPattern(const unsigned char* b, size_t length, const unsigned char* p,
                                 size_t n);
// The same without vector extensions beyond SSE2.
const unsigned char* FindPatternPortable(const unsigned char* b, size_t length,
                                         const unsigned char* p, size_t n);

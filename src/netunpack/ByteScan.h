#pragma once

// First byte in [p, end) equal to a or b, or null. One pass over the bytes, vectorised where
// the processor allows.
const unsigned char* FindEitherByte(const unsigned char* p, const unsigned char* end,
                                    unsigned char a, unsigned char b);

// What the classification of a TCP payload looks for, found in one pass: the first "HTTP/",
// and whether "RTSP/" and "connect" occur (before the first "HTTP/", since it decides alone).
struct PayloadMarkers {
    const unsigned char* http = nullptr;
    bool rtsp = false;
    bool connect = false;
};
PayloadMarkers ScanPayloadMarkers(const unsigned char* p, int n);

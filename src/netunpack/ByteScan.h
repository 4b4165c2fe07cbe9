#pragma once

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

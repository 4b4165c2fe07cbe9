#pragma once
// Requests as real clients sent them, taken from the captures in tests/data.

namespace realrequests {

// ffmpeg fetching an HLS playlist (hls-ffmpeg.pcap).
inline const char* kFfmpegHls =
    "GET /hls/index.m3u8 HTTP/1.1\r\nUser-Agent: Lavf/59.27.100\r\nAccept: */*\r\n"
    "Range: bytes=0-\r\nConnection: close\r\nHost: 127.0.0.1:8000\r\nIcy-MetaData: 1\r\n\r\n";
// curl posting a form that names a playlist (http-decoys.pcap).
inline const char* kCurlPost =
    "POST /form HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n"
    "Content-Length: 35\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n"
    "playlist=/hls/index.m3u8&title=test";
// curl with a Referer that holds a playlist address (http-decoys.pcap).
inline const char* kCurlReferer =
    "GET /page.html HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nUser-Agent: curl/7.88.1\r\n"
    "Accept: */*\r\nReferer: http://127.0.0.1:8000/hls/index.m3u8\r\n\r\n";
// ffmpeg's DESCRIBE (rtsp-ffmpeg.pcap).
inline const char* kFfmpegDescribe =
    "DESCRIBE rtsp://127.0.0.1:8554/test RTSP/1.0\r\nAccept: application/sdp\r\nCSeq: 2\r\n"
    "User-Agent: Lavf59.27.100\r\n\r\n";

}  // namespace realrequests

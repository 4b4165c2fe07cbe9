#pragma once
// Writes access units into a Matroska file through libavformat. Matroska because its muxer
// writes each cluster whole as it closes and needs nothing from the end of the file to be read:
// a recording killed at any moment plays up to its last complete cluster, and clusters are kept
// to one second. It also stores H.264/H.265 and AAC exactly as RTSP clients' own recordings do.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rtsp/RtpDepacketise.h"

struct AVFormatContext;
struct AVPacket;

struct MediaTrackFormat {
    RtpCodec codec = RtpCodec::Unknown;
    uint32_t clockRate = 0;
    int channels = 1;
    std::vector<unsigned char> config;  // Annex B parameter sets, or the AudioSpecificConfig
    std::vector<unsigned char> sample;  // video: a key access unit, to learn the picture size
};

class MediaWriter {
  public:
    static constexpr int kClusterMs = 1000;

    MediaWriter();
    ~MediaWriter();
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // One stream per format, in order. False with the reason in *error.
    bool Open(const std::string& path, const std::vector<MediaTrackFormat>& tracks,
              std::string* error);
    // pts in the stream's own clock (clockRate), from the start of the file.
    bool Write(size_t stream, const unsigned char* data, size_t size, int64_t pts, bool key);
    void Close();
    bool IsOpen() const { return m_context != nullptr; }
    uint64_t Written() const { return m_written; }

  private:
    AVFormatContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    std::vector<uint32_t> m_clock;
    std::vector<int64_t> m_lastDts;
    std::vector<bool> m_video;
    uint64_t m_written = 0;
};

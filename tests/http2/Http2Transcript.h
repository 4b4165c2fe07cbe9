#pragma once
// What an Http2Connection reports, as text: one line per event, the body bytes of a stream that
// come one after another joined on one line, so that how the input was cut does not show. And
// a frame builder.

#include <cstdint>
#include <string>

#include "http2/Http2Connection.h"

namespace http2test {

// A frame: the 9-byte header, then the payload; length, when given, is what the header claims.
inline std::string Frame(uint8_t type, uint8_t flags, uint32_t stream, const std::string& payload,
                         uint32_t length = UINT32_MAX) {
    if (length == UINT32_MAX) length = static_cast<uint32_t>(payload.size());
    std::string f = {static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                     static_cast<char>(length),       static_cast<char>(type),
                     static_cast<char>(flags),        static_cast<char>(stream >> 24),
                     static_cast<char>(stream >> 16), static_cast<char>(stream >> 8),
                     static_cast<char>(stream)};
    return f + payload;
}

class Transcript : public Http2Sink {
  public:
    std::string text;
    int ends = 0;

    void OnRequest(uint32_t stream, const std::string& method, const std::string& scheme,
                   const std::string& authority, const std::string& path) override {
        Line("request " + std::to_string(stream) + " " + method + " " + scheme + " " + authority +
             " " + path);
    }
    void OnResponse(uint32_t stream, int status, const std::string& contentType) override {
        Line("response " + std::to_string(stream) + " " + std::to_string(status) + " " +
             contentType);
    }
    void OnContentEncoding(uint32_t stream, const std::string& encoding) override {
        Line("encoding " + std::to_string(stream) + " " + encoding);
    }
    void OnData(uint32_t stream, const unsigned char* data, size_t length) override {
        if (m_dataStream != stream) {
            Line("data " + std::to_string(stream) + " ");
            m_dataStream = stream;
        }
        text.insert(text.size() - 1, reinterpret_cast<const char*>(data), length);
    }
    void OnStreamEnd(uint32_t stream, bool) override {
        ++ends;
        Line("end " + std::to_string(stream));
    }

  private:
    void Line(const std::string& line) {
        text += line + "\n";
        m_dataStream = 0;
    }
    uint32_t m_dataStream = 0;
};

}  // namespace http2test

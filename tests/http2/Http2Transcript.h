#pragma once
// What an Http2Connection reports, as text: one line per event, the body bytes of a stream that
// come one after another joined on one line, so that how the input was cut does not show.

#include <string>

#include "http2/Http2Connection.h"

namespace http2test {

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
    void OnStreamEnd(uint32_t stream) override {
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

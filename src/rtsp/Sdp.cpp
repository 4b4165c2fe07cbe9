#include "rtsp/Sdp.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

// A small non-negative number, or -1.
long Number(const std::string& s) {
    if (s.empty() || s.size() > 9) return -1;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
    }
    return std::strtol(s.c_str(), nullptr, 10);
}

}  // namespace

std::string SdpMedia::Param(const char* name) const {
    const std::string wanted(name);
    size_t at = 0;
    while (at < fmtp.size()) {
        size_t end = fmtp.find(';', at);
        if (end == std::string::npos) end = fmtp.size();
        const std::string part = fmtp.substr(at, end - at);
        const size_t eq = part.find('=');
        if (eq != std::string::npos && EqualNoCase(Trim(part.substr(0, eq)), wanted))
            return Trim(part.substr(eq + 1));
        at = end + 1;
    }
    return std::string();
}

bool ParseSdp(const char* text, size_t length, SdpDescription* out) {
    out->media.clear();
    out->control.clear();
    if (text == nullptr) return false;
    size_t at = 0;
    size_t lines = 0;
    bool skipping = false;  // inside a media section beyond kMaxSdpMedia
    while (at < length && lines < kMaxSdpLines) {
        ++lines;
        const void* nl = std::memchr(text + at, '\n', length - at);
        const size_t end =
            nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - text) : length;
        size_t lineEnd = end;
        if (lineEnd > at && text[lineEnd - 1] == '\r') --lineEnd;
        const size_t n = lineEnd - at < kMaxSdpField ? lineEnd - at : kMaxSdpField;
        const std::string line(text + at, n);
        at = end + 1;
        if (line.size() < 2 || line[1] != '=') continue;

        if (line[0] == 'm') {
            skipping = out->media.size() >= kMaxSdpMedia;
            if (skipping) continue;
            SdpMedia m;
            // m=<kind> <port> <proto> <fmt> ...
            const std::string rest = line.substr(2);
            const size_t s1 = rest.find(' ');
            m.kind = rest.substr(0, s1);
            if (s1 != std::string::npos) {
                const size_t s2 = rest.find(' ', s1 + 1);
                const size_t s3 = s2 == std::string::npos ? s2 : rest.find(' ', s2 + 1);
                if (s3 != std::string::npos) {
                    const size_t s4 = rest.find(' ', s3 + 1);
                    m.payloadType = static_cast<int>(Number(rest.substr(
                        s3 + 1, s4 == std::string::npos ? std::string::npos : s4 - s3 - 1)));
                }
            }
            if (m.payloadType > 127) m.payloadType = -1;
            // Static payload types need no rtpmap.
            if (m.payloadType == 0) {
                m.encoding = "PCMU";
                m.clockRate = 8000;
            } else if (m.payloadType == 8) {
                m.encoding = "PCMA";
                m.clockRate = 8000;
            }
            out->media.push_back(m);
            continue;
        }
        if (line[0] != 'a' || skipping) continue;
        SdpMedia* m = out->media.empty() ? nullptr : &out->media.back();
        if (StartsWith(line, "a=control:")) {
            (m != nullptr ? m->control : out->control) = Trim(line.substr(10));
        } else if (m != nullptr && StartsWith(line, "a=rtpmap:")) {
            // a=rtpmap:<pt> <name>/<clock>[/<channels>]
            const size_t sp = line.find(' ', 9);
            if (sp == std::string::npos || Number(line.substr(9, sp - 9)) != m->payloadType)
                continue;
            const std::string map = line.substr(sp + 1);
            const size_t s1 = map.find('/');
            std::string name = map.substr(0, s1);
            for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            m->encoding = name;
            if (s1 != std::string::npos) {
                const size_t s2 = map.find('/', s1 + 1);
                const long clock = Number(Trim(
                    map.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1)));
                m->clockRate = clock > 0 ? static_cast<uint32_t>(clock) : 0;
                if (s2 != std::string::npos) {
                    const long ch = Number(Trim(map.substr(s2 + 1)));
                    if (ch > 0 && ch <= 8) m->channels = static_cast<int>(ch);
                }
            }
        } else if (m != nullptr && StartsWith(line, "a=fmtp:")) {
            const size_t sp = line.find(' ', 7);
            if (sp == std::string::npos || Number(line.substr(7, sp - 7)) != m->payloadType)
                continue;
            m->fmtp = line.substr(sp + 1);
        }
    }
    return !out->media.empty();
}

bool DecodeBase64(const std::string& text, std::vector<unsigned char>* out) {
    out->clear();
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        int v;
        if (ch >= 'A' && ch <= 'Z') {
            v = ch - 'A';
        } else if (ch >= 'a' && ch <= 'z') {
            v = ch - 'a' + 26;
        } else if (ch >= '0' && ch <= '9') {
            v = ch - '0' + 52;
        } else if (ch == '+' || ch == '-') {
            v = 62;
        } else if (ch == '/' || ch == '_') {
            v = 63;
        } else if (ch == '=') {
            break;
        } else {
            return false;
        }
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<unsigned char>(acc >> bits));
        }
    }
    return true;
}

bool DecodeHex(const std::string& text, std::vector<unsigned char>* out) {
    out->clear();
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[i + k];
            int d;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            } else {
                return false;
            }
            v = v * 16 + d;
        }
        out->push_back(static_cast<unsigned char>(v));
    }
    return true;
}

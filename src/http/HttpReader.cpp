#include "http/HttpReader.h"

#include <cstring>
#include <vector>

namespace {

const int64_t kMaxLength = int64_t{1} << 56;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (Lower(a[i]) != b[i]) return false;
    }
    return true;
}

bool ContainsText(const std::string& a, const char* b) {
    std::string lower(a);
    for (char& c : lower) c = Lower(c);
    return lower.find(b) != std::string::npos;
}

std::string Trim(const std::string& s) {
    size_t from = 0, to = s.size();
    while (from < to && (s[from] == ' ' || s[from] == '\t')) ++from;
    while (to > from && (s[to - 1] == ' ' || s[to - 1] == '\t' || s[to - 1] == '\r')) --to;
    return s.substr(from, to - from);
}

// Decimal digits only, below kMaxLength; -1 otherwise.
int64_t Decimal(const std::string& s, size_t* used = nullptr) {
    int64_t v = 0;
    size_t i = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + (s[i] - '0');
        if (v >= kMaxLength) return -1;
        ++i;
    }
    if (i == 0) return -1;
    if (used != nullptr) {
        *used = i;
    } else if (i != s.size()) {
        return -1;
    }
    return v;
}

// Splits a head into its lines (without line ends); the first is the start line.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

bool SplitHeader(const std::string& line, std::string* name, std::string* value) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    *name = Trim(line.substr(0, colon));
    *value = Trim(line.substr(colon + 1));
    return true;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*").
bool ParseContentRange(const std::string& v, HttpResponseHead* head) {
    if (v.compare(0, 6, "bytes ") != 0) return false;
    std::string rest = Trim(v.substr(6));
    size_t used = 0;
    const int64_t first = Decimal(rest, &used);
    if (first < 0 || used >= rest.size() || rest[used] != '-') return false;
    rest = rest.substr(used + 1);
    const int64_t last = Decimal(rest, &used);
    if (last < first || used >= rest.size() || rest[used] != '/') return false;
    rest = rest.substr(used + 1);
    head->rangeTotal = rest == "*" ? -1 : Decimal(rest);
    if (rest != "*" && head->rangeTotal <= last) return false;
    head->hasRange = true;
    head->rangeFirst = first;
    head->rangeLast = last;
    return true;
}

}  // namespace

bool ParseResponseHead(const std::string& text, HttpResponseHead* head) {
    *head = HttpResponseHead();
    const std::vector<std::string> lines = Lines(text);
    if (lines.empty() || lines[0].compare(0, 7, "HTTP/1.") != 0 || lines[0].size() < 12) {
        return false;
    }
    const std::string& start = lines[0];
    if (start[8] != ' ') return false;
    int status = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (start[i] < '0' || start[i] > '9') return false;
        status = status * 10 + (start[i] - '0');
    }
    head->status = status;
    head->close = start[7] == '0';  // 1.0 closes unless told otherwise
    std::string name, value;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (!SplitHeader(lines[i], &name, &value)) continue;
        if (SameText(name, "content-length")) {
            const int64_t n = Decimal(value);
            // Two different lengths leave the framing unknown.
            if (n < 0 || (head->contentLength >= 0 && head->contentLength != n)) return false;
            head->contentLength = n;
        } else if (SameText(name, "transfer-encoding")) {
            if (ContainsText(value, "chunked")) head->chunked = true;
        } else if (SameText(name, "content-encoding")) {
            if (ContainsText(value, "gzip") || ContainsText(value, "deflate")) head->gzip = true;
        } else if (SameText(name, "connection")) {
            if (ContainsText(value, "close")) head->close = true;
            if (ContainsText(value, "keep-alive")) head->close = false;
        } else if (SameText(name, "content-range")) {
            ParseContentRange(value, head);
        }
    }
    return true;
}

bool ParseRequestHead(const std::string& text, HttpRequest* request, int64_t* bodyLength,
                      bool* chunked) {
    *request = HttpRequest();
    *bodyLength = 0;
    *chunked = false;
    const std::vector<std::string> lines = Lines(text);
    if (lines.empty()) return false;
    const std::string& start = lines[0];
    const size_t sp1 = start.find(' ');
    const size_t sp2 = start.rfind(' ');
    if (sp1 == std::string::npos || sp2 <= sp1 + 1 || start.compare(sp2 + 1, 5, "HTTP/") != 0) {
        return false;
    }
    request->method = start.substr(0, sp1);
    request->target = start.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string name, value;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (!SplitHeader(lines[i], &name, &value)) continue;
        if (SameText(name, "host")) {
            request->host = value;
        } else if (SameText(name, "content-length")) {
            *bodyLength = Decimal(value);
            if (*bodyLength < 0) return false;
        } else if (SameText(name, "transfer-encoding") && ContainsText(value, "chunked")) {
            *chunked = true;
        }
    }
    // An absolute target names its own host.
    if (request->target.compare(0, 7, "http://") == 0) {
        const size_t slash = request->target.find('/', 7);
        request->host =
            request->target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
        request->target = slash == std::string::npos ? "/" : request->target.substr(slash);
    }
    return true;
}

HttpConnectionReader::~HttpConnectionReader() {
    if (m_body != nullptr) EndBody(false);
}

void HttpConnectionReader::OnClientBytes(const unsigned char* data, size_t length) {
    size_t i = 0;
    while (i < length && m_reqState != kReqLost) {
        if (m_reqState == kReqBody) {
            const uint64_t take = length - i < m_reqBodyLeft ? length - i : m_reqBodyLeft;
            i += take;
            m_reqBodyLeft -= take;
            if (m_reqBodyLeft == 0) m_reqState = kReqHead;
            continue;
        }
        const char c = static_cast<char>(data[i++]);
        if (m_reqHead.empty() && (c == '\r' || c == '\n')) continue;
        m_reqHead.push_back(c);
        if (m_reqHead.size() > kMaxHead) {
            m_reqState = kReqLost;
            break;
        }
        const size_t n = m_reqHead.size();
        if (c != '\n' || n < 2 ||
            !(m_reqHead[n - 2] == '\n' || (n >= 3 && m_reqHead.compare(n - 3, 3, "\n\r\n") == 0))) {
            continue;
        }
        HttpRequest request;
        int64_t bodyLength = 0;
        bool chunked = false;
        const bool ok = ParseRequestHead(m_reqHead, &request, &bodyLength, &chunked);
        if (ok) {
            request.scheme = m_scheme;
            if (request.host.empty()) request.host = m_defaultHost;
            if (m_sink != nullptr) m_sink->OnRequest(m_reqHead, request);
        }
        m_reqHead.clear();
        if (!ok || chunked || m_requests.size() >= kMaxPendingRequests) {
            m_reqState = kReqLost;
            break;
        }
        m_requests.push_back(std::move(request));
        if (bodyLength > 0) {
            m_reqBodyLeft = static_cast<uint64_t>(bodyLength);
            m_reqState = kReqBody;
        }
    }
    if (m_reqState == kReqLost) m_reqHead.clear();
}

void HttpConnectionReader::OnClientGap(uint64_t length) {
    if (m_reqState == kReqBody && length < m_reqBodyLeft) {
        m_reqBodyLeft -= length;
        return;
    }
    m_reqState = kReqLost;
    m_reqHead.clear();
}

void HttpConnectionReader::StartBody() {
    ++m_responses;
    if (m_response.status >= 100 && m_response.status < 200) {
        // An interim answer: the final one still follows for the same request.
        if (m_response.status == 101) {
            m_state = kLost;
        } else {
            m_state = kHead;
        }
        return;
    }
    if (!m_requests.empty()) {
        m_current = std::move(m_requests.front());
        m_requests.pop_front();
    } else if (m_reqState == kReqLost) {
        // Which request this answers is not known any more.
        m_state = kLost;
        return;
    } else {
        m_current = HttpRequest();
    }
    m_headOnly = m_current.method == "HEAD";
    const bool noBody = m_headOnly || m_response.status == 204 || m_response.status == 304;
    m_body = m_sink != nullptr ? m_sink->OnResponse(m_current, m_response) : nullptr;
    if (m_body != nullptr && m_response.gzip && !noBody) {
        m_zip.reset(new InflatingBody(m_body));
        m_body = m_zip.get();
    }
    if (noBody || (!m_response.chunked && m_response.contentLength == 0)) {
        EndBody(true);
    } else if (m_response.chunked) {
        m_state = kChunkLine;
        m_head.clear();
    } else if (m_response.contentLength > 0) {
        m_left = static_cast<uint64_t>(m_response.contentLength);
        m_state = kLength;
    } else {
        m_state = kToClose;
    }
}

void HttpConnectionReader::EndBody(bool complete) {
    HttpBodySink* body = m_body;
    m_body = nullptr;
    m_state = kHead;
    m_head.clear();
    if (body != nullptr) body->OnBodyEnd(complete);
    m_zip.reset();
}

void HttpConnectionReader::Body(const unsigned char* data, size_t length) {
    if (m_body != nullptr && length > 0) m_body->OnBody(data, length);
}

InflatingBody::InflatingBody(HttpBodySink* target) : m_target(target) {
    std::memset(&m_zip, 0, sizeof m_zip);
    // 32 + 15: gzip or zlib, told by the header.
    m_ready = inflateInit2(&m_zip, 32 + 15) == Z_OK;
    m_broken = !m_ready;
}

InflatingBody::~InflatingBody() {
    if (m_ready) inflateEnd(&m_zip);
}

void InflatingBody::OnBody(const unsigned char* data, size_t length) {
    if (m_broken || m_done) return;
    unsigned char out[16384];
    while (length > 0) {
        const uInt part = length > (1u << 30) ? (1u << 30) : static_cast<uInt>(length);
        m_zip.next_in = const_cast<Bytef*>(data);
        m_zip.avail_in = part;
        data += part;
        length -= part;
        for (;;) {
            m_zip.next_out = out;
            m_zip.avail_out = sizeof(out);
            const int r = inflate(&m_zip, Z_NO_FLUSH);
            const size_t produced = sizeof(out) - m_zip.avail_out;
            if (produced > 0) m_target->OnBody(out, produced);
            if (r == Z_STREAM_END) {
                m_done = true;  // what follows the stream is ignored
                return;
            }
            if (r != Z_OK && r != Z_BUF_ERROR) {
                m_broken = true;
                return;
            }
            if (m_zip.avail_in == 0 && m_zip.avail_out != 0) break;
            if (r == Z_BUF_ERROR && produced == 0) break;
        }
    }
}

void InflatingBody::OnBodyEnd(bool complete) {
    m_target->OnBodyEnd(complete && !m_broken);
}

bool HttpConnectionReader::ChunkLineDone() {
    // Hex digits, then extensions after ';' which are ignored.
    uint64_t size = 0;
    size_t i = 0;
    for (; i < m_head.size(); ++i) {
        const char c = m_head[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            break;
        }
        size = size * 16 + static_cast<uint64_t>(digit);
        if (size >= static_cast<uint64_t>(kMaxLength)) return false;
    }
    if (i == 0) return false;
    m_head.clear();
    if (size == 0) {
        m_state = kTrailer;
    } else {
        m_left = size;
        m_state = kChunkData;
    }
    return true;
}

void HttpConnectionReader::OnServerBytes(const unsigned char* data, size_t length) {
    size_t i = 0;
    while (i < length) {
        switch (m_state) {
            case kLost:
                return;
            case kHead: {
                bool done = false;
                while (i < length) {
                    const char c = static_cast<char>(data[i++]);
                    if (m_head.empty() && (c == '\r' || c == '\n')) continue;
                    m_head.push_back(c);
                    const size_t n = m_head.size();
                    if (c == '\n' && n >= 2 &&
                        (m_head[n - 2] == '\n' ||
                         (n >= 3 && m_head[n - 2] == '\r' && m_head[n - 3] == '\n'))) {
                        done = true;
                        break;
                    }
                    if (n > kMaxHead) {
                        m_state = kLost;
                        m_head.clear();
                        return;
                    }
                }
                if (!done) return;
                const bool ok = ParseResponseHead(m_head, &m_response);
                m_head.clear();
                if (!ok) {
                    m_state = kLost;
                    return;
                }
                StartBody();
                break;
            }
            case kLength:
            case kChunkData: {
                const uint64_t take = length - i < m_left ? length - i : m_left;
                Body(data + i, static_cast<size_t>(take));
                i += static_cast<size_t>(take);
                m_left -= take;
                if (m_left == 0) {
                    if (m_state == kLength) {
                        EndBody(true);
                    } else {
                        m_state = kChunkEnd;
                    }
                }
                break;
            }
            case kChunkEnd: {
                const char c = static_cast<char>(data[i++]);
                if (c == '\n') {
                    m_state = kChunkLine;
                    m_head.clear();
                } else if (c != '\r') {
                    EndBody(false);
                    m_state = kLost;
                    return;
                }
                break;
            }
            case kChunkLine:
            case kTrailer: {
                const char c = static_cast<char>(data[i++]);
                if (c != '\n') {
                    if (c != '\r') m_head.push_back(c);
                    if (m_head.size() > kMaxChunkLine) {
                        EndBody(false);
                        m_state = kLost;
                        return;
                    }
                    break;
                }
                if (m_state == kTrailer) {
                    // An empty line ends the trailer, and the body.
                    if (m_head.empty()) {
                        EndBody(true);
                    } else {
                        m_head.clear();
                    }
                } else if (!ChunkLineDone()) {
                    EndBody(false);
                    m_state = kLost;
                    return;
                }
                break;
            }
            case kToClose:
                Body(data + i, length - i);
                i = length;
                break;
        }
    }
}

void HttpConnectionReader::OnServerGap(uint64_t length) {
    if ((m_state == kLength || m_state == kChunkData) && length < m_left) {
        m_left -= length;
        if (m_body != nullptr) m_body->OnBodyGap(length);
        return;
    }
    if (m_state == kLength && length == m_left) {
        // The rest of the body is missing; the next response starts right after it.
        if (m_body != nullptr) m_body->OnBodyGap(length);
        EndBody(false);
        return;
    }
    if (m_state == kToClose) {
        if (m_body != nullptr) m_body->OnBodyGap(length);
        return;
    }
    if (m_state == kHead && m_head.empty() && m_requests.empty()) {
        // Between responses with nothing asked: nothing can be lost but bytes nobody wanted.
        m_state = kLost;
        return;
    }
    if (m_body != nullptr) EndBody(false);
    m_state = kLost;
    m_head.clear();
}

void HttpConnectionReader::OnServerEnd() {
    if (m_state == kToClose) {
        EndBody(true);
    } else if (m_body != nullptr) {
        EndBody(false);
    }
    m_state = kLost;
    m_head.clear();
}

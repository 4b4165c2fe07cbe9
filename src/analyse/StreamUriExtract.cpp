#include "analyse/StreamUriExtract.h"

#include "common/ByteReader.h"

#include <cstring>

namespace {

// Offset of a pattern in [from, length) of the buffer, or -1.
int Find(const unsigned char* b, int length, int from, const char* pattern, bool exact) {
    if (from < 0 || from >= length) return -1;
    const unsigned char* at = FindBytes(b + from, length - from, pattern, exact);
    return at ? static_cast<int>(at - b) : -1;
}

// Copies up to `count` bytes from b[from..length), passing over RTMP chunk-header bytes (0xC0 and
// above) that chunking put inside a value; reading goes on past them so the value keeps its
// length in real characters.
std::string CopySkippingChunkBytes(const unsigned char* b, int length, int from, int count) {
    std::string out;
    ByteReader r(b, length > 0 ? static_cast<size_t>(length) : 0);
    if (from < 0 || !r.Seek(static_cast<size_t>(from))) return out;
    while (r.Has(1) && static_cast<int>(out.size()) < count) {
        const uint8_t c = r.U8();
        if (c >= 0xC0) continue;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

}  // namespace

void HttpSearchMemo::Reset() {
    for (GrowingSearch& s : searches) s = GrowingSearch();
}

void HttpHostWait::Start(const unsigned char* b, int n) {
    // The version's five bytes end at or before the last three.
    m_tailLen = static_cast<uint8_t>(n < kTail ? n : kTail);
    std::memcpy(m_standIn + 5, b + n - m_tailLen, m_tailLen);
    m_hidden = n;
    m_waiting = true;
}

bool HttpHostWait::Pass(const unsigned char* d, int n) {
    if (!m_waiting || d == nullptr || n <= 0) return !m_waiting;
    // A "Host" within the bytes, or across the kept ones and these.
    unsigned char seam[2 * kTail];
    const int head = n < kTail ? n : kTail;
    std::memcpy(seam, m_standIn + 5, m_tailLen);
    std::memcpy(seam + m_tailLen, d, static_cast<size_t>(head));
    if (FindBytes(seam, m_tailLen + head, "Host", true) != nullptr ||
        FindBytes(d, n, "Host", true) != nullptr) {
        m_waiting = false;
        m_hidden -= StandInLen();
        return false;
    }
    m_hidden += n;
    if (n >= kTail) {
        m_tailLen = kTail;
        std::memcpy(m_standIn + 5, d + n - kTail, kTail);
    } else {
        const int keep = m_tailLen + n > kTail ? kTail - n : m_tailLen;
        std::memmove(m_standIn + 5, m_standIn + 5 + m_tailLen - keep, static_cast<size_t>(keep));
        std::memcpy(m_standIn + 5 + keep, d, static_cast<size_t>(n));
        m_tailLen = static_cast<uint8_t>(keep + n);
    }
    return true;
}

void RemoveDefaultRtmpPort(std::string* address) {
    size_t at = 0;
    while ((at = address->find(":1935", at)) != std::string::npos) {
        size_t after = at + 5;
        if (after == address->size() || (*address)[after] == '/') {
            address->erase(at, 5);
            return;
        }
        at = after;
    }
}

std::string ExtractRtmpUri(const unsigned char* b, int n) {
    if (b == nullptr || n <= 0) return std::string();
    const ByteReader fields(b, static_cast<size_t>(n));
    // The AMF0 string value of tcUrl: marker at p + 5, length at p + 6, value from p + 8.
    int p = Find(b, n, 0, "tcUrl", true);
    int valueStart;
    if (p >= 0) {
        valueStart = p + 8;
    } else {
        int q = Find(b, n, 0, "rtmp", false);
        if (q < 0) return std::string();
        p = q - 8;
        valueStart = q;
    }
    if (valueStart - 2 < 0 || valueStart > n) return std::string();
    int declared = fields.Be16At(static_cast<size_t>(valueStart - 2));
    if (declared >= n) declared = n - valueStart;  // never beyond the collected bytes

    std::string text = CopySkippingChunkBytes(b, n, valueStart, declared);
    if (text.compare(0, 4, "rtmp") != 0) {
        if (text.find("rtmp", 1) != std::string::npos) {
            // A single stray byte in front of the address.
            text = CopySkippingChunkBytes(b, n, valueStart + 1, declared);
        } else {
            size_t scheme = text.find("://", 1);
            if (scheme != std::string::npos) text = "rtmp" + text.substr(scheme);
        }
    }
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);

    int from = p < 0 ? 0 : p;
    int create = Find(b, n, from, "createStream", false);
    if (create < 0) return std::string();
    // The stream a player asks for, or the one an encoder publishes: whichever command comes
    // first names it, in the same form.
    int play = Find(b, n, create, "play", true);
    const int publish = Find(b, n, create, "publish", true);
    if (publish >= 0 && (play < 0 || publish < play)) play = publish;
    if (play < 0) return std::string();
    int marker = Find(b, n, play, "\x05\x02", true);
    if (marker < 0 || marker + 4 > n) return std::string();
    int nameLength = fields.Be16At(static_cast<size_t>(marker + 2));
    std::string name = CopySkippingChunkBytes(b, n, marker + 4, nameLength);
    return text + "/" + name;
}

std::string ExtractRtspUri(const unsigned char* b, int n) {
    if (b == nullptr || n <= 0) return std::string();
    int start = Find(b, n, 0, "rtsp://", false);
    if (start < 0) start = Find(b, n, 0, "RTSP://", true);
    if (start < 0) return std::string();
    int version = Find(b, n, start, "RTSP/", true);
    if (version < 0) return std::string();
    int end = version - 1;  // the blank of the request line
    if (end <= start) return std::string();
    return std::string(reinterpret_cast<const char*>(b + start), static_cast<size_t>(end - start));
}

std::string ExtractHttpUri(const unsigned char* b, int n) {
    HttpSearchMemo memo;
    return ExtractHttpUri(b, n, memo);
}

std::string ExtractHttpUri(const unsigned char* b, int n, HttpSearchMemo& memo) {
    if (b == nullptr || n <= 0) return std::string();
    GrowingSearch& versionSearch = memo.searches[0];
    GrowingSearch& getSearch = memo.searches[1];
    GrowingSearch& postSearch = memo.searches[2];
    GrowingSearch& hostSearch = memo.searches[3];
    GrowingSearch& lineEndSearch = memo.searches[4];
    int version = versionSearch.Find(b, n, 0, "HTTP/", true);
    if (version < 0) return std::string();
    // Without the host there is no address, whatever the method: the host is looked for first,
    // so a response (which has none) costs no search for a method.
    int host = hostSearch.Find(b, n, version, "Host", true);
    if (host < 0) return std::string();
    int lineEnd = lineEndSearch.Find(b, n, host, "\r\n", true);
    if (lineEnd < 0) return std::string();
    int hostStart = host + 6;
    if (lineEnd - hostStart < 0) return std::string();
    int method = getSearch.Find(b, n, 0, "GET", true);
    int methodLength = 3;
    if (method < 0) {
        method = postSearch.Find(b, n, 0, "POST", true);
        methodLength = 4;
    }
    std::string path;
    if (method >= 0 && version - (method + methodLength) >= 2) {
        int from = method + methodLength + 1;
        int to = version - 1;
        path.assign(reinterpret_cast<const char*>(b + from), static_cast<size_t>(to - from));
    }
    return "http://" +
           std::string(reinterpret_cast<const char*>(b + hostStart),
                       static_cast<size_t>(lineEnd - hostStart)) +
           path;
}

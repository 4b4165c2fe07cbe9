#include "analyse/VideoStreamUriAnalyse.h"

#include <cstdio>
#include <cstring>

#include "common/Exception.h"
#include "common/LogOut.h"
#include "common/MD5Checksum.h"

namespace {

inline int ReadBE16(const unsigned char* p) {
    return (p[0] << 8) | p[1];
}

// "%d%d%d%d" of the four octets, without a formatter call.
std::string OctetText(const unsigned char a[4]) {
    char buffer[12];
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned v = a[i];
        if (v >= 100) buffer[n++] = static_cast<char>('0' + v / 100);
        if (v >= 10) buffer[n++] = static_cast<char>('0' + v / 10 % 10);
        buffer[n++] = static_cast<char>('0' + v % 10);
    }
    return std::string(buffer, static_cast<size_t>(n));
}

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
    for (int i = from; i < length && static_cast<int>(out.size()) < count; ++i) {
        if (b[i] >= 0xC0) continue;
        out.push_back(static_cast<char>(b[i]));
    }
    return out;
}

// ":1935" goes only where it is the whole port: followed by '/' or the end.
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

ConnectionKey KeyOf(const CTCPNetUnpack& u) {
    ConnectionKey key;
    u.SourceAddress(key.src);
    u.DestinationAddress(key.dst);
    key.srcPort = static_cast<uint16_t>(u.SourcePort());
    key.dstPort = static_cast<uint16_t>(u.DestinationPort());
    return key;
}

}  // namespace

CVideoStreamUriAnalyse::CVideoStreamUriAnalyse() : m_decoders(256) {
    m_streams.reserve(1024);
    m_filters = CSqliteDataBase::GetInstance()->GetNetDataFilterInfo();
}

CVideoStreamUriAnalyse::~CVideoStreamUriAnalyse() {
    Stop();
    m_decoders.Clear();
    LogOut(LOG_INFO, "Quillet Brisco Analyse Thread exited.");
    m_streams.clear();
    m_recordByEndpoints.clear();
}

int CVideoStreamUriAnalyse::StartFromFile(std::string path) {
    try {
        if (CVideoStreamAnalyse::StartFromFile(path) != 0) return 1;
        StartCaptureThread();
        LogOut(LOG_INFO, "capture net stream from pcap file." + path);
        return 0;
    } catch (...) {
        STREVIX_THROW("Exception from CVideoStreamUriAnalyse::StartFromFile",
                      "CVideoStreamUriAnalyse::StartFromFile");
    }
}

int CVideoStreamUriAnalyse::StartFromDevice(pcap_if_t* device) {
    if (CVideoStreamAnalyse::StartFromDevice(device) != 0) return 1;
    // A device without an IPv4 address opens nothing; no loop may run without a handle.
    if (!IsOpen()) {
        OpenFailed("can't open network device.",
                   std::string(device && device->name ? device->name : "no device") +
                       " has no IPv4 address");
        return 1;
    }
    StartCaptureThread();
    LogOut(LOG_INFO, std::string("capture net stream from pcap net interface.") + device->name);
    return 0;
}

void CVideoStreamUriAnalyse::OnTCP(CTCPNetUnpack* u) {
    if (u == nullptr) return;
    OnRtmpMedia(u);
    CVideoStreamAnalyse::OnTCP(u);
}

void CVideoStreamUriAnalyse::OnRtmpMedia(CTCPNetUnpack* u) {
    // A segment without payload (half of all, the acknowledgements) has nothing to decode.
    const int length = u->PayloadLen();
    if (length <= 0) return;
    const ConnectionKey reverse = KeyOf(*u).Reverse();
    // Looking the other direction up also keeps a live connection's entry fresh.
    CPayloadNetUnpack* entry = m_connections.Find(reverse);
    if (entry == nullptr || entry->GetStreamType() != STREAM_RTMP) return;

    const StreamRecord* record = FindRecordFor(reverse);
    CRtmp2H264AacDecoder* decoder = m_decoders.Find(reverse);
    if (decoder == nullptr) {
        decoder = m_decoders.Put(reverse,
                                 std::unique_ptr<CRtmp2H264AacDecoder>(new CRtmp2H264AacDecoder()));
    }
    // Every message the segment completed leaves now, so the decoder keeps no backlog.
    CZMemory* tag = decoder->DecodeToFlvTag(u->Payload(), length);
    for (int n = 0; tag != nullptr && n < kMaxTagsPerSegment; ++n) {
        if (tag->length > 0 && record != nullptr && m_streamDataCallback != nullptr) {
            m_streamDataCallback(tag->data, tag->length, record->clientIp.c_str(),
                                 record->clientPort, record->serverIp.c_str(), record->serverPort,
                                 record->address.c_str());
        }
        tag = decoder->DecodeToFlvTag(nullptr, 0);
    }
}

const StreamRecord* CVideoStreamUriAnalyse::FindRecordFor(const ConnectionKey& key) const {
    auto it = m_recordByEndpoints.find(key);
    if (it == m_recordByEndpoints.end()) return nullptr;
    auto record = m_streams.find(it->second);
    return record == m_streams.end() ? nullptr : &record->second;
}

void CVideoStreamUriAnalyse::IndexRecord(const std::string& digest, const StreamRecord& record) {
    for (const ConnectionKey& k : {record.endpoints, record.endpoints.Reverse()}) {
        auto it = m_recordByEndpoints.find(k);
        if (it == m_recordByEndpoints.end() || it->second < digest) m_recordByEndpoints[k] = digest;
    }
}

void CVideoStreamUriAnalyse::ForgetOldestRecord() {
    while (!m_recordOrder.empty()) {
        std::string digest = m_recordOrder.front();
        m_recordOrder.pop_front();
        auto it = m_streams.find(digest);
        if (it == m_streams.end()) continue;
        for (const ConnectionKey& k : {it->second.endpoints, it->second.endpoints.Reverse()}) {
            auto index = m_recordByEndpoints.find(k);
            if (index != m_recordByEndpoints.end() && index->second == digest)
                m_recordByEndpoints.erase(index);
        }
        m_streams.erase(it);
        return;
    }
}

void CVideoStreamUriAnalyse::OnStreamData(CNetUnpack* unpacker, StreamType type) {
    if (unpacker == nullptr) return;
    try {
        AnalyseUri(unpacker, type);
    } catch (...) {
        // The sighting is lost; capture goes on.
    }
}

void CVideoStreamUriAnalyse::AnalyseUri(CNetUnpack* unpacker, StreamType type) {
    if (unpacker == nullptr) return;
    const unsigned char* buffer = unpacker->GetAppendedData();
    const int length = unpacker->GetAppendedLen();

    const char* label = StreamLabel(type);
    std::string address;
    switch (type) {
        case STREAM_RTMP:
            address = ExtractRtmpUri(buffer, length);
            break;
        case STREAM_RTSP:
            address = ExtractRtspUri(buffer, length);
            break;
        case STREAM_HTTP:
        case STREAM_HLS: {
            // A connection's bytes are looked at again after every segment: each search goes on
            // from where it stopped.
            auto* entry = dynamic_cast<CPayloadNetUnpack*>(unpacker);
            address = entry != nullptr ? ExtractHttpUri(buffer, length, entry->Searches())
                                       : ExtractHttpUri(buffer, length);
            break;
        }
        default:
            break;
    }
    if (address.empty() || label == nullptr) return;
    RemoveDefaultRtmpPort(&address);

    // The collected bytes begin with the connection's first frame: its endpoints.
    CTCPNetUnpack first;
    first.SetHeaders(buffer, length);
    const ConnectionKey endpoints = KeyOf(first);

    std::string text = std::string(label) + "-" + address;
    LogOut(LOG_NETDATA, text);

    const std::string digest = CMD5Checksum::GetMD5(address);
    auto found = m_streams.find(digest);
    if (found == m_streams.end()) {
        if (m_streams.size() >= kMaxStreams) ForgetOldestRecord();
        found = m_streams.emplace(digest, StreamRecord()).first;
        m_recordOrder.push_back(digest);
    }
    StreamRecord& record = found->second;
    if (record.address == address) return;  // keeps the endpoints of its first sighting

    record.address = address;
    record.clientIp = OctetText(endpoints.src);
    record.serverIp = OctetText(endpoints.dst);
    record.clientPort = endpoints.srcPort;
    record.serverPort = endpoints.dstPort;
    record.endpoints = endpoints;
    IndexRecord(digest, record);
    if (type == STREAM_RTMP || type == STREAM_HLS || type == STREAM_RTSP) {
        LogOut(LOG_STREAM, std::move(text));
    }
}

std::string CVideoStreamUriAnalyse::ExtractRtmpUri(const unsigned char* b, int n) {
    if (b == nullptr || n <= 0) return std::string();
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
    int declared = ReadBE16(b + valueStart - 2);
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
    int play = Find(b, n, create, "play", true);
    if (play < 0) return std::string();
    int marker = Find(b, n, play, "\x05\x02", true);
    if (marker < 0 || marker + 4 > n) return std::string();
    int nameLength = ReadBE16(b + marker + 2);
    std::string name = CopySkippingChunkBytes(b, n, marker + 4, nameLength);
    return text + "/" + name;
}

std::string CVideoStreamUriAnalyse::ExtractRtspUri(const unsigned char* b, int n) {
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

std::string CVideoStreamUriAnalyse::ExtractHttpUri(const unsigned char* b, int n) {
    GrowingSearch searches[CPayloadNetUnpack::kSearches];
    return ExtractHttpUri(b, n, searches);
}

std::string CVideoStreamUriAnalyse::ExtractHttpUri(const unsigned char* b, int n,
                                                   GrowingSearch* s) {
    if (b == nullptr || n <= 0 || s == nullptr) return std::string();
    GrowingSearch& versionSearch = s[0];
    GrowingSearch& getSearch = s[1];
    GrowingSearch& postSearch = s[2];
    GrowingSearch& hostSearch = s[3];
    GrowingSearch& lineEndSearch = s[4];
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

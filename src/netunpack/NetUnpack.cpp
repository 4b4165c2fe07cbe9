#include "netunpack/NetUnpack.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/Exception.h"
#include "netunpack/ByteScan.h"

namespace {

const int kEthernetHeaderLen = 14;
const int kMinIPHeaderLen = 20;
const int kMinTCPHeaderLen = 20;

inline uint16_t ReadBE16(const unsigned char* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

const char* StreamLabel(int type) {
    switch (type) {
        case STREAM_RTMP:
            return "RTMP";
        case STREAM_RTSP:
            return "RTSP";
        case STREAM_HTTP:
            return "HTTP";
        case STREAM_HLS:
            return "HLS";
        default:
            return nullptr;
    }
}

// ---- CNetUnpack

CNetUnpack::~CNetUnpack() {
    std::free(m_ownedCopy);
    m_ownedCopy = nullptr;
}

void CNetUnpack::Reset() {
    std::free(m_ownedCopy);
    m_ownedCopy = nullptr;
    m_data = nullptr;
    m_dataLen = 0;
    m_copyFlag = 0;
}

CNetUnpack* CNetUnpack::SetData(const void* bytes, int length, int copy) {
    m_copyFlag = copy;
    if (m_ownedCopy != nullptr) {  // a view of every frame passes here: no call when there is none
        std::free(m_ownedCopy);
        m_ownedCopy = nullptr;
    }
    if (length < 0) length = 0;
    if (bytes != nullptr && length != 0 && copy != 0) {
        m_ownedCopy = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(length)));
        if (m_ownedCopy == nullptr) STREVIX_THROW("Memory Exception.", "CNetUnpack::SetData");
        std::memcpy(m_ownedCopy, bytes, static_cast<size_t>(length));
        m_data = m_ownedCopy;
        m_dataLen = length;
        return this;
    }
    m_data = static_cast<const unsigned char*>(bytes);
    m_dataLen = bytes != nullptr ? length : 0;
    return this;
}

// ---- CEthernetNetUnpack

CEthernetNetUnpack::~CEthernetNetUnpack() {
    m_ethernetHeader = nullptr;
}

void CEthernetNetUnpack::Reset() {
    CNetUnpack::Reset();
    m_ethernetHeader = nullptr;
}

CEthernetNetUnpack* CEthernetNetUnpack::SetData(const void* bytes, int length, int copy) {
    CNetUnpack::SetData(bytes, length, copy);
    // A frame shorter than the Ethernet header carries no Ethernet layer.
    m_ethernetHeader = (m_data != nullptr && m_dataLen >= kEthernetHeaderLen) ? m_data : nullptr;
    return this;
}

// ---- CIPNetUnpack

// ---- CTCPNetUnpack

CTCPNetUnpack::~CTCPNetUnpack() {
    m_ipHeader = nullptr;
    m_tcpHeader = nullptr;
}

void CTCPNetUnpack::Reset() {
    CEthernetNetUnpack::Reset();
    m_ipHeader = nullptr;
    m_ipHeaderLen = 0;
    m_ipTotalLen = 0;
    m_tcpHeader = nullptr;
    m_tcpHeaderLen = 0;
    m_payloadLen = 0;
    m_httpHeaderPart = -1;
}

CTCPNetUnpack* CTCPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CEthernetNetUnpack::SetData(bytes, length, copy);
    m_streamType = ParseHeaders() ? Classify() : STREAM_NONE;
    return this;
}

CTCPNetUnpack* CTCPNetUnpack::SetHeaders(const void* bytes, int length) {
    CEthernetNetUnpack::SetData(bytes, length, 0);
    ParseHeaders();
    m_streamType = STREAM_NONE;
    return this;
}

CTCPNetUnpack* CTCPNetUnpack::SetLaidOutData(const void* bytes, int length,
                                             const FrameLayout& layout) {
    CNetUnpack::SetData(bytes, length, 0);
    m_ethernetHeader = layout.ethernet && m_data != nullptr ? m_data : nullptr;
    // The layout was found in these very bytes: it only needs to be put back.
    const bool ip = m_ethernetHeader != nullptr && layout.ipHeaderLen > 0;
    m_ipHeader = ip ? m_data + kEthernetHeaderLen : nullptr;
    m_ipHeaderLen = ip ? layout.ipHeaderLen : 0;
    m_ipTotalLen = ip ? layout.ipTotalLen : 0;
    const bool tcp = ip && layout.tcpHeaderLen > 0;
    m_tcpHeader = tcp ? m_ipHeader + layout.ipHeaderLen : nullptr;
    m_tcpHeaderLen = tcp ? layout.tcpHeaderLen : 0;
    m_payloadLen = tcp ? layout.payloadLen : 0;
    m_streamType = tcp ? static_cast<StreamType>(layout.streamType) : STREAM_NONE;
    m_httpHeaderPart = tcp ? layout.httpHeaderPart : -1;
    return this;
}

FrameLayout CTCPNetUnpack::Layout() const {
    FrameLayout layout;
    layout.ethernet = m_ethernetHeader != nullptr;
    layout.ipHeaderLen = static_cast<uint8_t>(m_ipHeader != nullptr ? m_ipHeaderLen : 0);
    layout.ipTotalLen = m_ipTotalLen;
    layout.tcpHeaderLen = static_cast<uint8_t>(m_tcpHeader != nullptr ? m_tcpHeaderLen : 0);
    layout.payloadLen = m_payloadLen;
    layout.streamType = static_cast<int8_t>(m_streamType);
    layout.httpHeaderPart = m_httpHeaderPart;
    return layout;
}

int CTCPNetUnpack::HttpHeaderPart() const {
    if (m_httpHeaderPart < 0) {
        const unsigned char* end = FindBytes(Payload(), m_payloadLen, "\r\n\r\n", true);
        m_httpHeaderPart = end != nullptr ? static_cast<int>(end - Payload()) + 4 : 0;
    }
    return m_httpHeaderPart;
}

bool CTCPNetUnpack::ParseHeaders() {
    m_httpHeaderPart = -1;
    m_ipHeader = nullptr;
    m_ipHeaderLen = 0;
    m_ipTotalLen = 0;
    m_tcpHeader = nullptr;
    m_tcpHeaderLen = 0;
    m_payloadLen = 0;
    if (m_ethernetHeader == nullptr || EtherType() != 0x0800) return false;

    // IPv4: the whole header, as its IHL announces it, must be captured.
    const int ipBytes = m_dataLen - kEthernetHeaderLen;
    if (ipBytes < kMinIPHeaderLen) return false;
    const unsigned char* ip = m_data + kEthernetHeaderLen;
    const int ihl = (ip[0] & 0x0F) * 4;
    if (ihl < kMinIPHeaderLen || ihl > ipBytes) return false;
    int total = ReadBE16(ip + 2);
    // Segmentation offload writes 0 here; a length past the capture is cut to it.
    if (total == 0 || total > ipBytes) total = ipBytes;
    m_ipHeader = ip;
    m_ipHeaderLen = ihl;
    m_ipTotalLen = total;
    if (ip[9] != 6) return false;

    // TCP: the header with its options must lie inside the captured bytes.
    const int tcpBytes = ipBytes - ihl;
    if (tcpBytes < kMinTCPHeaderLen) return false;
    const unsigned char* tcp = ip + ihl;
    const int doff = (tcp[12] >> 4) * 4;
    if (doff < kMinTCPHeaderLen || doff > tcpBytes) return false;
    m_tcpHeader = tcp;
    m_tcpHeaderLen = doff;
    int payload = total - ihl - doff;
    m_payloadLen = payload > 0 ? payload : 0;
    return true;
}

int CTCPNetUnpack::GetDataLen() {
    if (m_tcpHeader == nullptr) return 0;
    int segment = m_ipTotalLen - m_ipHeaderLen;
    return segment > 0 ? segment : 0;
}

namespace {
// Whether ".ts", ".flv", ".m3u8" or ".mp4" occurs wholly within the n bytes: one pass over the
// dots instead of a search for each.
bool HasMediaSuffix(const unsigned char* p, int n) {
    const unsigned char* end = p + n;
    for (const unsigned char* dot = p; n > 0; ++dot) {
        dot = static_cast<const unsigned char*>(
            std::memchr(dot, '.', static_cast<size_t>(end - dot)));
        if (dot == nullptr) return false;
        const size_t left = static_cast<size_t>(end - dot);
        if ((left >= 3 && dot[1] == 't' && dot[2] == 's') ||
            (left >= 4 && std::memcmp(dot + 1, "flv", 3) == 0) ||
            (left >= 5 && std::memcmp(dot + 1, "m3u8", 4) == 0) ||
            (left >= 4 && std::memcmp(dot + 1, "mp4", 3) == 0)) {
            return true;
        }
        if (dot + 1 >= end) return false;
    }
    return false;
}
}  // namespace

StreamType CTCPNetUnpack::Classify() const {
    if (m_tcpHeader == nullptr) return STREAM_NONE;
    const unsigned char* p = Payload();
    const int n = m_payloadLen;
    if (n <= 0) return STREAM_NONE;

    // One pass finds the markers: "HTTP/" and "RTSP/" end in '/', "connect" starts with 'c'.
    const PayloadMarkers markers = ScanPayloadMarkers(p, n);
    const unsigned char* httpAt = markers.http;
    const bool rtsp = markers.rtsp;
    const bool connect = markers.connect;
    if (httpAt != nullptr) {
        return HasMediaSuffix(p, static_cast<int>(httpAt - p)) ? STREAM_HLS : STREAM_HTTP;
    }
    if (rtsp) return STREAM_RTSP;
    if (connect && (FindBytes(p, n, "tcUrl", true) || FindBytes(p, n, "rtmp", true)) &&
        (FindBytes(p, n, "audioCodecs", true) || FindBytes(p, n, "videoCodecs", true))) {
        return STREAM_RTMP;
    }
    return STREAM_NONE;
}

// ---- payload unpackers

namespace {

void ReleaseEntry(void* p) {
    ::operator delete(p);
}

// Released objects of the payload unpackers' one size.
thread_local KeptList t_kept(&ReleaseEntry);

}  // namespace

void* CPayloadNetUnpack::operator new(size_t size) {
    void* p = size == sizeof(CPayloadNetUnpack) ? t_kept.Take() : nullptr;
    return p != nullptr ? p : ::operator new(size);
}

void CPayloadNetUnpack::operator delete(void* p, size_t size) {
    if (p == nullptr) return;
    if (size != sizeof(CPayloadNetUnpack) || !t_kept.Keep(p)) ::operator delete(p);
}

CPayloadNetUnpack::~CPayloadNetUnpack() {
    m_buffer.Release();
}

void CPayloadNetUnpack::ReleaseCollected() {
    if (m_buffer.data == nullptr) return;
    m_releasedLen = m_buffer.length;
    m_buffer.Release();
}

void CPayloadNetUnpack::Reset() {
    m_payload = nullptr;
    m_buffer.Release();
    m_releasedLen = 0;
    CTCPNetUnpack::Reset();
}

void CPayloadNetUnpack::DropFrameView() {
    m_payload = nullptr;
    m_data = nullptr;
    m_dataLen = 0;
    m_ethernetHeader = nullptr;
    m_ipHeader = nullptr;
    m_tcpHeader = nullptr;
    m_ipHeaderLen = m_ipTotalLen = m_tcpHeaderLen = m_payloadLen = 0;
}

int CPayloadNetUnpack::AppendData(const void* bytes, int length, int reset) {
    if (reset != 0) {
        m_buffer.Release();
        m_releasedLen = 0;
    } else if (m_releasedLen > 0) {
        return 0;
    }
    return m_buffer.AppendData(bytes, length);
}

void CPayloadNetUnpack::AdoptFrame(const CTCPNetUnpack& frame) {
    CNetUnpack::SetData(frame.FrameData(), frame.FrameLen(), 0);
    m_ethernetHeader = frame.EthernetHeader();
    m_ipHeader = frame.IPHeader();
    m_ipHeaderLen = frame.IPHeaderLen();
    m_ipTotalLen = frame.IPTotalLen();
    m_tcpHeader = frame.TCPHeader();
    m_tcpHeaderLen = frame.TCPHeaderLen();
    m_payloadLen = frame.PayloadLen();
    m_streamType = frame.GetStreamType();
    m_payload = MarksPayload(m_streamType) ? Payload() : nullptr;
}

CHTTPNetUnpack* CHTTPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CTCPNetUnpack::SetData(bytes, length, copy);
    m_payload = (m_streamType == STREAM_HTTP) ? Payload() : nullptr;
    return this;
}

namespace {
// RTSP and RTMP share one body, which only marks the payload of RTMP segments.
const unsigned char* RtmpPayload(StreamType type, const unsigned char* payload) {
    return type == STREAM_RTMP ? payload : nullptr;
}
}  // namespace

CRTSPNetUnpack* CRTSPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CTCPNetUnpack::SetData(bytes, length, copy);
    m_payload = RtmpPayload(m_streamType, Payload());
    return this;
}

CRTMPNetUnpack* CRTMPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CTCPNetUnpack::SetData(bytes, length, copy);
    m_payload = RtmpPayload(m_streamType, Payload());
    return this;
}

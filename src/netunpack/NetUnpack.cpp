#include "netunpack/NetUnpack.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/ByteReader.h"
#include "common/Exception.h"
#include "netunpack/ByteScan.h"

namespace {

const int kMinIPHeaderLen = 20;
const int kIPv6HeaderLen = CIPNetUnpack::kIPv6HeaderLen;
const int kMinTCPHeaderLen = 20;
// Stacked VLAN tags followed before the network header (QinQ uses two).
const int kMaxVlanTags = 8;
// IPv6 extension headers followed before TCP.
const int kMaxExtensionHeaders = 8;

}  // namespace

bool IsKnownLinkType(int linkType) {
    return linkType == LINK_ETHERNET || linkType == LINK_LINUX_SLL || linkType == LINK_LINUX_SLL2;
}

bool FrameLayout::FitsFrameWithoutTcp(int length) const {
    if (networkOffset == 0) return ipHeaderLen == 0 && length >= 0;
    if (length < networkOffset) return false;
    if (ipHeaderLen == 0) return payloadLen == 0 && ipTotalLen == 0;
    const int ipBytes = length - networkOffset;
    return ipHeaderLen >= (ipv6 ? kIPv6HeaderLen : kMinIPHeaderLen) && ipHeaderLen <= ipBytes &&
           ipTotalLen >= ipHeaderLen && ipTotalLen <= ipBytes && payloadLen == 0;
}

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

CEthernetNetUnpack::~CEthernetNetUnpack() = default;

void CEthernetNetUnpack::Reset() {
    CNetUnpack::Reset();
    ForgetHeaders();
}

CEthernetNetUnpack* CEthernetNetUnpack::SetData(const void* bytes, int length, int copy) {
    CNetUnpack::SetData(bytes, length, copy);
    m_layout = FrameLayout();
    FindNetworkHeader();
    return this;
}

uint16_t CEthernetNetUnpack::FindTaggedNetworkHeader() {
    // A frame shorter than its link header carries no link layer.
    const ByteReader frame = Frame();
    int offset;
    uint16_t type;
    if (m_linkType == LINK_ETHERNET) {
        offset = FrameLayout::kEthernetHeaderLen;
        if (!frame.Has(FrameLayout::kEthernetHeaderLen)) return 0;
        type = frame.Be16At(12);
    } else if (m_linkType == LINK_LINUX_SLL) {
        offset = 16;
        if (!frame.Has(16)) return 0;
        type = frame.Be16At(14);
    } else if (m_linkType == LINK_LINUX_SLL2) {
        offset = kSll2HeaderLen;
        if (!frame.Has(kSll2HeaderLen)) return 0;
        type = frame.Be16At(0);
    } else {
        return 0;
    }
    // 802.1Q and 802.1ad tags, stacked: each holds the type of what follows it. A stack cut off
    // by the capture ends at the last whole tag, whose type is a tag's: no network header.
    for (int tags = 0; (type == 0x8100 || type == 0x88A8) && tags < kMaxVlanTags; ++tags) {
        if (!frame.Has(static_cast<size_t>(offset) + 4)) break;
        type = frame.Be16At(static_cast<size_t>(offset) + 2);
        offset += 4;
    }
    m_layout.networkOffset = static_cast<uint8_t>(offset);
    return type;
}

// ---- CIPNetUnpack

// ---- CTCPNetUnpack

CTCPNetUnpack::~CTCPNetUnpack() = default;

void CTCPNetUnpack::Reset() {
    CEthernetNetUnpack::Reset();
}

CTCPNetUnpack* CTCPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CNetUnpack::SetData(bytes, length, copy);
    m_layout = FrameLayout();
    bool connectPart = false;
    m_layout.streamType = static_cast<int8_t>(
        ParseHeaders(FindNetworkHeader()) ? Classify(&connectPart) : STREAM_NONE);
    m_layout.connectPart = connectPart;
    return this;
}

CTCPNetUnpack* CTCPNetUnpack::SetHeaders(const void* bytes, int length) {
    CNetUnpack::SetData(bytes, length, 0);
    m_layout = FrameLayout();
    ParseHeaders(FindNetworkHeader());
    m_layout.streamType = STREAM_NONE;
    m_layout.connectPart = 0;
    return this;
}

CTCPNetUnpack* CTCPNetUnpack::SetLaidOutDataOtherwise(const void* bytes, int length,
                                                      const FrameLayout& layout) {
    CNetUnpack::SetData(bytes, length, 0);
    // The layout was found in these very bytes: it only needs to be put back.
    if (m_data == nullptr || !layout.FitsFrame(m_dataLen)) return SetData(bytes, length, 0);
    m_layout = layout;
    if (m_layout.tcpHeaderLen == 0) {
        m_layout.streamType = STREAM_NONE;
        m_layout.httpHeaderPart = -1;
    }
    return this;
}

int CTCPNetUnpack::HttpHeaderPart() const {
    if (m_layout.httpHeaderPart < 0) {
        const unsigned char* end = FindBytes(Payload(), m_layout.payloadLen, "\r\n\r\n", true);
        m_layout.httpHeaderPart = end != nullptr ? static_cast<int>(end - Payload()) + 4 : 0;
    }
    return m_layout.httpHeaderPart;
}

bool CTCPNetUnpack::HttpWaitsForHost() const {
    if (m_layout.httpWaitsForHost == 0)
        m_layout.httpWaitsForHost = ::HttpWaitsForHost(m_data, m_dataLen) ? 2 : 1;
    return m_layout.httpWaitsForHost == 2;
}

bool CTCPNetUnpack::ParseHeaders(uint16_t type) {
    if (type != 0x0800 && type != 0x86DD) return false;

    ByteReader frame = Frame();
    if (!frame.Seek(m_layout.networkOffset)) return false;
    const ByteReader ip(frame.Here(), frame.Remaining());
    const int ipBytes = static_cast<int>(ip.Remaining());
    int headers, total;
    if (type == 0x86DD) {
        if (!ParseIPv6(ip, &headers, &total)) return false;
    } else {
        // IPv4: the whole header, as its IHL announces it, must be captured.
        if (ipBytes < kMinIPHeaderLen) return false;
        headers = (ip.U8At(0) & 0x0F) * 4;
        if (headers < kMinIPHeaderLen || headers > ipBytes) return false;
        total = ip.Be16At(2);
        // Segmentation offload writes 0 here; a length past the capture is cut to it.
        if (total == 0 || total > ipBytes) total = ipBytes;
        m_layout.ipHeaderLen = static_cast<uint16_t>(headers);
        m_layout.ipTotalLen = total;
        if (ip.U8At(9) != 6) return false;
    }

    // TCP: the header with its options must lie inside the captured bytes.
    const int tcpBytes = ipBytes - headers;
    if (tcpBytes < kMinTCPHeaderLen) return false;
    const int doff = (ip.U8At(static_cast<size_t>(headers) + 12) >> 4) * 4;
    if (doff < kMinTCPHeaderLen || doff > tcpBytes) return false;
    m_layout.tcpHeaderLen = static_cast<uint8_t>(doff);
    const int payload = total - headers - doff;
    m_layout.payloadLen = payload > 0 ? payload : 0;
    return true;
}

bool CTCPNetUnpack::ParseIPv6(const ByteReader& ip, int* headers, int* totalOut) {
    const int ipBytes = static_cast<int>(ip.Remaining());
    if (ipBytes < kIPv6HeaderLen || (ip.U8At(0) >> 4) != 6) return false;
    // The payload length does not count the fixed header; 0 (a jumbogram, or segmentation
    // offload) and a length past the capture reach to the end of the captured bytes.
    int total = kIPv6HeaderLen + ip.Be16At(4);
    if (total == kIPv6HeaderLen || total > ipBytes) total = ipBytes;
    m_layout.ipv6 = 1;
    m_layout.ipHeaderLen = kIPv6HeaderLen;
    m_layout.ipTotalLen = total;

    // Each extension header must lie whole inside the packet before the next is looked at.
    int next = ip.U8At(6);
    int at = kIPv6HeaderLen;
    for (int n = 0; next != 6; ++n) {
        if (n == kMaxExtensionHeaders || at + 8 > total) return false;
        const int type = next;
        next = ip.U8At(static_cast<size_t>(at));
        if (type == 44) {
            // Only the first fragment holds the TCP header.
            if ((ip.Be16At(static_cast<size_t>(at) + 2) & 0xFFF8) != 0) return false;
            at += 8;
        } else if (type == 0 || type == 43 || type == 60) {
            at += (ip.U8At(static_cast<size_t>(at) + 1) + 1) * 8;
        } else {
            return false;
        }
        if (at > total || at > FrameLayout::kMaxIpHeaderLen) return false;
    }
    m_layout.ipHeaderLen = static_cast<uint16_t>(at);
    *headers = at;
    *totalOut = total;
    return true;
}

int CTCPNetUnpack::GetDataLen() {
    if (m_layout.tcpHeaderLen == 0) return 0;
    int segment = m_layout.ipTotalLen - m_layout.ipHeaderLen;
    return segment > 0 ? segment : 0;
}

// One pass over the dots instead of a search for each suffix.
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

bool HttpWaitsForHost(const unsigned char* b, int n) {
    if (b == nullptr || n <= 0) return false;
    const unsigned char* found = FindBytes(b, n, "HTTP/", true);
    if (found == nullptr) return false;
    const int version = static_cast<int>(found - b);
    if (FindBytes(found, n - version, "Host", true) != nullptr) return false;
    // The path comes from a method before the version, so only those bytes are searched; a
    // first GET or POST after it leaves the path empty. A POST before the version gives way to
    // a GET that may still come: it does not wait.
    const unsigned char* get = FindBytes(b, version + 2 < n ? version + 2 : n, "GET", true);
    if (get != nullptr) return version - (static_cast<int>(get - b) + 3) < 2;
    return FindBytes(b, version + 3 < n ? version + 3 : n, "POST", true) == nullptr;
}

int ConnectCommandStart(const unsigned char* p, int n) {
    static const unsigned char kConnect[] = {0x02, 0x00, 0x07, 'c', 'o', 'n', 'n', 'e', 'c', 't'};
    const ByteReader r(p, n > 0 ? static_cast<size_t>(n) : 0);
    if (r.Has(sizeof(kConnect)) && std::memcmp(p, kConnect, sizeof(kConnect)) == 0) return 0;
    for (size_t at : {size_t{0}, size_t{1536}}) {
        if (!r.Has(at + 12 + sizeof(kConnect))) return -1;
        const uint8_t basic = r.U8At(at);
        if ((basic & 0xC0) == 0 && (basic & 0x3F) >= 2 &&
            std::memcmp(p + at + 12, kConnect, sizeof(kConnect)) == 0)
            return static_cast<int>(at);
    }
    return -1;
}

StreamType CTCPNetUnpack::Classify() const {
    return Classify(nullptr);
}

StreamType CTCPNetUnpack::Classify(bool* connectPart) const {
    if (m_layout.tcpHeaderLen == 0) return STREAM_NONE;
    const unsigned char* p = Payload();
    const int n = m_layout.payloadLen;
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
    // Only a segment holding "connect" is looked at again, so this costs the others nothing.
    if (connect && connectPart != nullptr) *connectPart = ConnectCommandStart(p, n) >= 0;
    return STREAM_NONE;
}

// ---- payload unpackers

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
    ForgetHeaders();
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
    m_linkType = frame.LinkType();
    m_layout = frame.Layout();
    m_payload = MarksPayload(GetStreamType()) ? Payload() : nullptr;
}

CHTTPNetUnpack* CHTTPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CTCPNetUnpack::SetData(bytes, length, copy);
    m_payload = (GetStreamType() == STREAM_HTTP) ? Payload() : nullptr;
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
    m_payload = RtmpPayload(GetStreamType(), Payload());
    return this;
}

CRTMPNetUnpack* CRTMPNetUnpack::SetData(const void* bytes, int length, int copy) {
    CTCPNetUnpack::SetData(bytes, length, copy);
    m_payload = RtmpPayload(GetStreamType(), Payload());
    return this;
}

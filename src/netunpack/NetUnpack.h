#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/ByteReader.h"
#include "netunpack/ZMemory.h"

// Classification of a TCP payload.
enum StreamType : int {
    STREAM_NONE = -1,
    STREAM_HTTP = 0,
    STREAM_RTSP = 4,
    STREAM_RTMP = 5,
    STREAM_HLS = 6,
};

// The link layers frames are read with; the values are the capture library's link types.
enum LinkType : int {
    LINK_ETHERNET = 1,      // Ethernet II
    LINK_LINUX_SLL = 113,   // Linux cooked capture: 16 bytes, protocol at offset 14
    LINK_LINUX_SLL2 = 276,  // Linux cooked capture v2: 20 bytes, protocol at offset 0
};
// Whether frames of the link type can be taken apart.
bool IsKnownLinkType(int linkType);

// Where a frame's headers lie and how its payload classified, as CTCPNetUnpack::SetData found
// them. The unpackers keep their view of a frame in one of these, and it travels with a frame
// from the thread that reads a capture to the one that analyses it, so each frame is taken apart
// once. Every length in it lies inside the frame's captured bytes.
struct FrameLayout {
    static const int kEthernetHeaderLen = 14;
    // An IPv6 header chain longer than this is not followed.
    static const int kMaxIpHeaderLen = 1023;

    int32_t ipTotalLen = 0;       // from the network header, as far as the captured bytes reach
    int32_t payloadLen = 0;       // of the TCP segment, inside the captured bytes
    int32_t httpHeaderPart = -1;  // CTCPNetUnpack::HttpHeaderPart() of an HTTP segment, or -1
    // 0: no IP header. IPv6: the fixed header, and the extension headers when they lead to TCP.
    uint16_t ipHeaderLen = 0;
    uint8_t tcpHeaderLen = 0;  // 0: no TCP header
    // Where the network header starts: after the link header and its VLAN tags. 0: the frame
    // does not hold the whole link header.
    uint8_t networkOffset = 0;
    int8_t streamType = -1;
    // The segment classifies as nothing but opens an RTMP connect command: the rest of the
    // command, codec words included, comes in later segments (librtmp sends it so).
    uint8_t connectPart = 0;
    uint8_t ipv6 = 0;  // the IP header is IPv6's
    // CTCPNetUnpack::HttpWaitsForHost() of an HTTP segment: 0 not worked out yet, 1 no, 2 yes.
    uint8_t httpWaitsForHost = 0;
    // Whole bytes, not bit fields: every frame writes these on one thread and reads them on the
    // other, and a bit field costs a read-modify-write each time.

    // The headers lie back to back from the network header on.
    int IpOffset() const { return networkOffset; }
    int TcpOffset() const { return networkOffset + ipHeaderLen; }
    int PayloadOffset() const { return TcpOffset() + tcpHeaderLen; }
    // Whether the lengths fit a frame of `length` captured bytes. A TCP frame, nearly every
    // one handed over, takes one chain of compares (the other bounds follow from these).
    bool FitsFrame(int length) const {
        if (tcpHeaderLen != 0) {
            const int ipBytes = length - networkOffset;
            const int minIp = ipv6 ? 40 : 20;
            return networkOffset != 0 && ipHeaderLen >= minIp && tcpHeaderLen >= 20 &&
                   payloadLen >= 0 && ipTotalLen <= ipBytes &&
                   ipHeaderLen + tcpHeaderLen + payloadLen <= ipTotalLen &&
                   httpHeaderPart <= payloadLen;
        }
        return FitsFrameWithoutTcp(length);
    }

  private:
    // FitsFrame of a layout without a TCP header.
    bool FitsFrameWithoutTcp(int length) const;
};
// Part of every frame record a capture file's reading thread hands over.
static_assert(sizeof(FrameLayout) == 20, "FrameLayout grew");

// Where the RTMP chunk stream of a segment that opens a connect command starts: 0 when the AMF0
// string "connect" begins the segment (clients that write the chunk header on its own) or follows
// a type-0 chunk header there, 1536 when a handshake packet goes before that header; -1 when the
// segment opens no connect command.
int ConnectCommandStart(const unsigned char* p, int n);
// Whether ".ts", ".flv", ".m3u8" or ".mp4" occurs wholly within the n bytes: what makes a
// request line an HLS one.
bool HasMediaSuffix(const unsigned char* p, int n);

// Whether the n bytes, as the start of an HTTP collection, name no address before a "Host"
// comes, whatever follows: they hold "HTTP/", no "Host" after its first one, and no GET or POST
// before it that would give a path (a response, mostly).
bool HttpWaitsForHost(const unsigned char* b, int n);

// Label used in "LABEL-address" reports; null for STREAM_NONE and unknown values.
const char* StreamLabel(int type);

// Layered views over one frame. Every header pointer is set only when the captured bytes hold
// the whole header; lengths derived from the headers are cut to the captured bytes.
class CNetUnpack {
  public:
    CNetUnpack() = default;
    CNetUnpack(const CNetUnpack&) = delete;
    CNetUnpack& operator=(const CNetUnpack&) = delete;
    virtual ~CNetUnpack();

    virtual void Reset();
    // With a non-zero copy flag (and bytes and a length) the frame is copied and owned.
    virtual CNetUnpack* SetData(const void* bytes, int length, int copy) = 0;
    virtual const unsigned char* GetData() = 0;
    virtual int GetDataLen() = 0;
    virtual int AppendData(const void* bytes, int length, int reset) { return 0; }
    virtual const unsigned char* GetAppendedData() { return nullptr; }
    virtual int GetAppendedLen() { return 0; }

    const unsigned char* FrameData() const { return m_data; }
    int FrameLen() const { return m_dataLen; }

  protected:
    // Bounds-checked reads of the frame's bytes.
    ByteReader Frame() const {
        return ByteReader(m_data, m_data ? static_cast<size_t>(m_dataLen) : 0);
    }

    unsigned char* m_ownedCopy = nullptr;
    int m_dataLen = 0;
    const unsigned char* m_data = nullptr;
    int m_copyFlag = 0;
};

class CEthernetNetUnpack : public CNetUnpack {
  public:
    ~CEthernetNetUnpack() override;
    void Reset() override;
    CEthernetNetUnpack* SetData(const void* bytes, int length, int copy) override;
    const unsigned char* GetData() override { return m_data; }
    int GetDataLen() override { return m_dataLen; }

    // The link layer of the frames given to SetData; set once per capture (Ethernet at first).
    void SetLinkType(int linkType) { m_linkType = linkType; }
    int LinkType() const { return m_linkType; }
    // The link header, when the frame holds it and its tags.
    const unsigned char* LinkHeader() const { return m_layout.networkOffset ? m_data : nullptr; }
    const unsigned char* EthernetHeader() const {
        return m_linkType == LINK_ETHERNET ? LinkHeader() : nullptr;
    }
    // The protocol of the network header, after any VLAN tags; 0 without a link header.
    uint16_t EtherType() const {
        if (!m_layout.networkOffset) return 0;
        const bool untaggedSll2 =
            m_linkType == LINK_LINUX_SLL2 && m_layout.networkOffset == kSll2HeaderLen;
        return Frame().Be16At(untaggedSll2 ? 0 : m_layout.networkOffset - 2);
    }
    // Where the headers of the frame lie, as a copy.
    FrameLayout Layout() const { return m_layout; }

    static const int kSll2HeaderLen = 20;

  protected:
    // Finds the end of the link header and its tags (the network offset, left 0 when the frame
    // does not hold them); returns the network header's type, 0 without one. Untagged Ethernet,
    // nearly every frame, inline.
    uint16_t FindNetworkHeader() {
        if (m_linkType == LINK_ETHERNET && m_data != nullptr &&
            m_dataLen >= FrameLayout::kEthernetHeaderLen) {
            const uint16_t type = static_cast<uint16_t>((m_data[12] << 8) | m_data[13]);
            if (type != 0x8100 && type != 0x88A8) {
                m_layout.networkOffset = FrameLayout::kEthernetHeaderLen;
                return type;
            }
        }
        return FindTaggedNetworkHeader();
    }
    uint16_t FindTaggedNetworkHeader();
    // Forgets where the headers lie; the stream type of the frame stays.
    void ForgetHeaders() {
        const int8_t type = m_layout.streamType;
        m_layout = FrameLayout();
        m_layout.streamType = type;
    }

    // The one record of the frame's headers: each layer fills in its part and reads its fields
    // through it. Only the caches of HttpHeaderPart() and HttpWaitsForHost() change under const.
    mutable FrameLayout m_layout;
    int m_linkType = LINK_ETHERNET;
};

class CIPNetUnpack : public CEthernetNetUnpack {
  public:
    const unsigned char* IPHeader() const {
        return m_layout.ipHeaderLen ? m_data + m_layout.IpOffset() : nullptr;
    }
    int IPHeaderLen() const { return m_layout.ipHeaderLen; }
    bool IsIPv6() const { return m_layout.ipHeaderLen && m_layout.ipv6; }
    // Total length as far as the captured bytes reach.
    int IPTotalLen() const { return m_layout.ipTotalLen; }
    // IPv6: the upper-layer protocol when the extension headers lead to TCP, else the fixed
    // header's next header.
    int IPProtocol() const {
        if (!m_layout.ipHeaderLen) return 0;
        if (!m_layout.ipv6) return Frame().U8At(m_layout.IpOffset() + 9);
        return m_layout.ipHeaderLen > kIPv6HeaderLen ? 6 : Frame().U8At(m_layout.IpOffset() + 6);
    }
    // Octets in wire order; zeros without an IP header. IPv4 fills the first 4 bytes of out,
    // IPv6 all 16. Inline: every segment's keys use them.
    void SourceAddress(unsigned char out[16]) const { Address(12, 8, out); }
    void DestinationAddress(unsigned char out[16]) const { Address(16, 24, out); }
    // Both at once, as a connection key takes them.
    void Addresses(unsigned char src[16], unsigned char dst[16]) const {
        // The header lies whole inside the captured bytes (the layout's promise), and with it
        // the addresses; the check costs a compare.
        const int at = m_layout.IpOffset();
        if (!m_layout.ipv6) {
            if (m_layout.ipHeaderLen && at + 20 <= m_dataLen) {
                std::memcpy(src, m_data + at + 12, 4);
                std::memcpy(dst, m_data + at + 16, 4);
                return;
            }
        } else if (m_layout.ipHeaderLen && at + 40 <= m_dataLen) {
            std::memcpy(src, m_data + at + 8, 16);
            std::memcpy(dst, m_data + at + 24, 16);
            return;
        }
        Address(12, 8, src);
        Address(16, 24, dst);
    }

    // Both addresses as four words, an IPv4 address in the low bytes of its first word: loaded and
    // stored eight bytes at a time, so the key built from them reads back without a stall.
    void AddressWords(uint64_t w[4]) const {
        const int at = m_layout.IpOffset();
        if (!m_layout.ipv6) {
            if (m_layout.ipHeaderLen && at + 20 <= m_dataLen) {
                uint32_t a, b;
                std::memcpy(&a, m_data + at + 12, 4);
                std::memcpy(&b, m_data + at + 16, 4);
                w[0] = a, w[1] = 0, w[2] = b, w[3] = 0;
                return;
            }
        } else if (m_layout.ipHeaderLen && at + 40 <= m_dataLen) {
            std::memcpy(w, m_data + at + 8, 32);
            return;
        }
        unsigned char src[16] = {}, dst[16] = {};
        Addresses(src, dst);
        std::memcpy(w, src, 16);
        std::memcpy(w + 2, dst, 16);
    }

    static const int kIPv6HeaderLen = 40;

  private:
    void Address(int at4, int at6, unsigned char* out) const {
        // The header lies whole inside the captured bytes (the layout's promise), and with it
        // the addresses; the check costs a compare.
        const int n = m_layout.ipv6 ? 16 : 4;
        const int at = m_layout.IpOffset() + (m_layout.ipv6 ? at6 : at4);
        if (m_layout.ipHeaderLen && at + n <= m_dataLen) {
            std::memcpy(out, m_data + at, static_cast<size_t>(n));
        } else {
            std::memset(out, 0, static_cast<size_t>(n));
        }
    }
};

class CTCPNetUnpack : public CIPNetUnpack {
  public:
    CTCPNetUnpack() = default;
    ~CTCPNetUnpack() override;
    void Reset() override;
    CTCPNetUnpack* SetData(const void* bytes, int length, int copy) override;
    const unsigned char* GetData() override { return TCPHeader(); }
    int GetDataLen() override;

    StreamType Classify() const;
    // Whether the segment classified as nothing but opens an RTMP connect command.
    bool OpensConnectPart() const { return m_layout.connectPart != 0; }
    // Views the frame's headers without classifying its payload (the stream type is none).
    CTCPNetUnpack* SetHeaders(const void* bytes, int length);
    // As SetData with copy flag 0, for a frame another unpacker has taken apart with SetData on
    // the same bytes and length: its Layout().
    // A layout that does not fit the bytes is not trusted: the frame is taken apart again.
    // Inline for a TCP frame viewed by an unpacker that owns no copy: every frame the analysis
    // looks at.
    CTCPNetUnpack* SetLaidOutData(const void* bytes, int length, const FrameLayout& layout) {
        if (m_ownedCopy == nullptr && bytes != nullptr && layout.tcpHeaderLen != 0 &&
            layout.FitsFrame(length)) {
            m_copyFlag = 0;
            m_data = static_cast<const unsigned char*>(bytes);
            m_dataLen = length;
            m_layout = layout;
            return this;
        }
        return SetLaidOutDataOtherwise(bytes, length, layout);
    }

    const unsigned char* TCPHeader() const {
        return m_layout.tcpHeaderLen ? m_data + m_layout.TcpOffset() : nullptr;
    }
    int TCPHeaderLen() const { return m_layout.tcpHeaderLen; }
    int SourcePort() const { return TcpField16(0); }
    int DestinationPort() const { return TcpField16(2); }
    // Both at once: the source port in the high half; 0 without a TCP header.
    uint32_t Ports() const { return TcpField32(0); }
    // 0 without a TCP header.
    uint32_t SequenceNumber() const { return TcpField32(4); }
    uint32_t AcknowledgementNumber() const { return TcpField32(8); }
    // FIN 0x01, SYN 0x02, RST 0x04, PSH 0x08, ACK 0x10, URG 0x20, ECE 0x40, CWR 0x80.
    uint8_t TcpFlags() const {
        return m_layout.tcpHeaderLen ? Frame().U8At(m_layout.TcpOffset() + 13) : 0;
    }
    // The TCP payload inside the captured bytes.
    const unsigned char* Payload() const {
        return m_layout.tcpHeaderLen ? m_data + m_layout.PayloadOffset() : nullptr;
    }
    int PayloadLen() const { return m_layout.payloadLen; }
    StreamType GetStreamType() const { return static_cast<StreamType>(m_layout.streamType); }
    // The length of the header block at the start of the payload, up to and with the first
    // "\r\n\r\n"; 0 without one.
    int HttpHeaderPart() const;
    // HttpWaitsForHost() of the whole frame, from the link header on.
    bool HttpWaitsForHost() const;

    static const uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

  protected:
    StreamType Classify(bool* connectPart) const;
    static uint32_t Be32(const unsigned char* p) {
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    }
    // Finds the IP and TCP headers after FindNetworkHeader gave the network header's type; true
    // when the frame carries TCP.
    bool ParseHeaders(uint16_t type);
    // The IPv6 header at the network offset and its extension headers; true when they lead to
    // TCP, with the length of the headers and of the packet.
    bool ParseIPv6(const ByteReader& ip, int* headers, int* total);

  private:
    CTCPNetUnpack* SetLaidOutDataOtherwise(const void* bytes, int length,
                                           const FrameLayout& layout);
    int TcpField16(int at) const {
        return m_layout.tcpHeaderLen ? Frame().Be16At(m_layout.TcpOffset() + at) : 0;
    }
    uint32_t TcpField32(int at) const {
        return m_layout.tcpHeaderLen ? Frame().Be32At(m_layout.TcpOffset() + at) : 0;
    }
};

// Per-connection unpackers: the first frame of a connection direction plus the bytes collected.
class CPayloadNetUnpack : public CTCPNetUnpack {
  public:
    ~CPayloadNetUnpack() override;
    void Reset() override;
    const unsigned char* GetData() override { return m_payload; }
    int GetDataLen() override { return m_payload ? PayloadLen() : 0; }
    int AppendData(const void* bytes, int length, int reset) override;
    const unsigned char* GetAppendedData() override { return m_buffer.data; }
    int GetAppendedLen() override { return m_buffer.data ? m_buffer.length : m_releasedLen; }
    // Once a connection's collection is over nothing reads its bytes again: they are freed and
    // only their count stays, so the table holds little more than the connections still
    // collecting. Appends without the reset flag are refused afterwards.
    void ReleaseCollected();
    // Forgets the views into the first frame once it has been handled; the stream type and the
    // collected bytes stay.
    void DropFrameView();
    // Views the frame another unpacker has parsed and classified, as SetData (copy flag 0) would,
    // without doing that work again.
    void AdoptFrame(const CTCPNetUnpack& frame);

  protected:
    // The stream type whose payload this class marks.
    virtual bool MarksPayload(StreamType type) const = 0;

    const unsigned char* m_payload = nullptr;
    CZMemory m_buffer;
    int m_releasedLen = 0;
};

class CHTTPNetUnpack : public CPayloadNetUnpack {
  public:
    CHTTPNetUnpack* SetData(const void* bytes, int length, int copy) override;

  protected:
    bool MarksPayload(StreamType type) const override { return type == STREAM_HTTP; }
};

class CRTSPNetUnpack : public CPayloadNetUnpack {
  public:
    CRTSPNetUnpack* SetData(const void* bytes, int length, int copy) override;

  protected:
    bool MarksPayload(StreamType type) const override { return type == STREAM_RTMP; }
};

class CRTMPNetUnpack : public CPayloadNetUnpack {
  public:
    CRTMPNetUnpack* SetData(const void* bytes, int length, int copy) override;

  protected:
    bool MarksPayload(StreamType type) const override { return type == STREAM_RTMP; }
};

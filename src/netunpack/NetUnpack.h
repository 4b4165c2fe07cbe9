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

// Where a frame's headers lie and how its payload classified, as CTCPNetUnpack::SetData found
// them. The unpackers keep their view of a frame in one of these, and it travels with a frame
// from the thread that reads a capture to the one that analyses it, so each frame is taken apart
// once. Every length in it lies inside the frame's captured bytes.
struct FrameLayout {
    static const int kEthernetHeaderLen = 14;

    int32_t ipTotalLen = 0;       // as far as the captured bytes reach
    int32_t payloadLen = 0;       // of the TCP segment, inside the captured bytes
    int32_t httpHeaderPart = -1;  // CTCPNetUnpack::HttpHeaderPart() of an HTTP segment, or -1
    uint8_t ipHeaderLen = 0;      // 0: no IPv4 header
    uint8_t tcpHeaderLen = 0;     // 0: no TCP header
    int8_t streamType = -1;
    uint8_t ethernet : 1;  // the frame holds an Ethernet header
    // The segment classifies as nothing but opens an RTMP connect command: the rest of the
    // command, codec words included, comes in later segments (librtmp sends it so).
    uint8_t connectPart : 1;

    FrameLayout() : ethernet(0), connectPart(0) {}

    // The headers lie back to back from the start of the frame.
    int IpOffset() const { return kEthernetHeaderLen; }
    int TcpOffset() const { return kEthernetHeaderLen + ipHeaderLen; }
    int PayloadOffset() const { return TcpOffset() + tcpHeaderLen; }
    // Whether the lengths fit a frame of `length` captured bytes.
    bool FitsFrame(int length) const;
};
// Part of every frame record a capture file's reading thread hands over.
static_assert(sizeof(FrameLayout) == 16, "FrameLayout grew");

// Where the RTMP chunk stream of a segment that opens a connect command starts: 0 when the AMF0
// string "connect" begins the segment (clients that write the chunk header on its own) or follows
// a type-0 chunk header there, 1536 when a handshake packet goes before that header; -1 when the
// segment opens no connect command.
int ConnectCommandStart(const unsigned char* p, int n);

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

    const unsigned char* EthernetHeader() const { return m_layout.ethernet ? m_data : nullptr; }
    uint16_t EtherType() const { return m_layout.ethernet ? Frame().Be16At(12) : 0; }
    // Where the headers of the frame lie, as a copy.
    FrameLayout Layout() const { return m_layout; }

  protected:
    // Forgets where the headers lie; the stream type of the frame stays.
    void ForgetHeaders() {
        const int8_t type = m_layout.streamType;
        m_layout = FrameLayout();
        m_layout.streamType = type;
    }

    // The one record of the frame's headers: each layer fills in its part and reads its fields
    // through it. Only the cache of HttpHeaderPart() changes under const.
    mutable FrameLayout m_layout;
};

class CIPNetUnpack : public CEthernetNetUnpack {
  public:
    const unsigned char* IPHeader() const {
        return m_layout.ipHeaderLen ? m_data + m_layout.IpOffset() : nullptr;
    }
    int IPHeaderLen() const { return m_layout.ipHeaderLen; }
    // Total length as far as the captured bytes reach.
    int IPTotalLen() const { return m_layout.ipTotalLen; }
    int IPProtocol() const {
        return m_layout.ipHeaderLen ? Frame().U8At(m_layout.IpOffset() + 9) : 0;
    }
    // Octets in wire order; zeros without an IPv4 header. Inline: every segment's keys use them.
    void SourceAddress(unsigned char out[4]) const { Address(12, out); }
    void DestinationAddress(unsigned char out[4]) const { Address(16, out); }

  private:
    void Address(int at, unsigned char out[4]) const {
        ByteReader ip = Frame();
        if (m_layout.ipHeaderLen && ip.Seek(static_cast<size_t>(m_layout.IpOffset() + at)) &&
            ip.Has(4)) {
            std::memcpy(out, ip.Here(), 4);
        } else {
            std::memset(out, 0, 4);
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
    CTCPNetUnpack* SetLaidOutData(const void* bytes, int length, const FrameLayout& layout);

    const unsigned char* TCPHeader() const {
        return m_layout.tcpHeaderLen ? m_data + m_layout.TcpOffset() : nullptr;
    }
    int TCPHeaderLen() const { return m_layout.tcpHeaderLen; }
    int SourcePort() const { return TcpField16(0); }
    int DestinationPort() const { return TcpField16(2); }
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

    static const uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

  protected:
    StreamType Classify(bool* connectPart) const;
    static uint32_t Be32(const unsigned char* p) {
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    }
    // Finds the IPv4 and TCP headers; true when the frame carries TCP.
    bool ParseHeaders();

  private:
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

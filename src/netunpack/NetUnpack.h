#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
// them: carried with a frame from the thread that reads a capture to the one that analyses it,
// so each frame is taken apart once.
struct FrameLayout {
    int32_t ipTotalLen = 0;
    int32_t payloadLen = 0;
    int32_t httpHeaderPart = -1;  // CTCPNetUnpack::HttpHeaderPart() of an HTTP segment, or -1
    uint8_t ipHeaderLen = 0;      // 0: no IPv4 header
    uint8_t tcpHeaderLen = 0;     // 0: no TCP header
    int8_t streamType = -1;
    uint8_t ethernet = 0;  // the frame holds an Ethernet header
};

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

    const unsigned char* EthernetHeader() const { return m_ethernetHeader; }
    uint16_t EtherType() const {
        return m_ethernetHeader
                   ? static_cast<uint16_t>((m_ethernetHeader[12] << 8) | m_ethernetHeader[13])
                   : 0;
    }

  protected:
    const unsigned char* m_ethernetHeader = nullptr;
};

class CIPNetUnpack : public CEthernetNetUnpack {
  public:
    const unsigned char* IPHeader() const { return m_ipHeader; }
    int IPHeaderLen() const { return m_ipHeaderLen; }
    // Total length as far as the captured bytes reach.
    int IPTotalLen() const { return m_ipTotalLen; }
    int IPProtocol() const { return m_ipHeader ? m_ipHeader[9] : 0; }
    // Octets in wire order; zeros without an IPv4 header. Inline: every segment's keys use them.
    void SourceAddress(unsigned char out[4]) const {
        if (m_ipHeader) {
            std::memcpy(out, m_ipHeader + 12, 4);
        } else {
            std::memset(out, 0, 4);
        }
    }
    void DestinationAddress(unsigned char out[4]) const {
        if (m_ipHeader) {
            std::memcpy(out, m_ipHeader + 16, 4);
        } else {
            std::memset(out, 0, 4);
        }
    }

  protected:
    const unsigned char* m_ipHeader = nullptr;
    int m_ipHeaderLen = 0;
    int m_ipTotalLen = 0;
};

class CTCPNetUnpack : public CIPNetUnpack {
  public:
    CTCPNetUnpack() = default;
    ~CTCPNetUnpack() override;
    void Reset() override;
    CTCPNetUnpack* SetData(const void* bytes, int length, int copy) override;
    const unsigned char* GetData() override { return m_tcpHeader; }
    int GetDataLen() override;

    StreamType Classify() const;
    // Views the frame's headers without classifying its payload (the stream type is none).
    CTCPNetUnpack* SetHeaders(const void* bytes, int length);
    // As SetData with copy flag 0, for a frame another unpacker has taken apart with SetData on
    // the same bytes and length: its Layout().
    CTCPNetUnpack* SetLaidOutData(const void* bytes, int length, const FrameLayout& layout);
    FrameLayout Layout() const;

    const unsigned char* TCPHeader() const { return m_tcpHeader; }
    int TCPHeaderLen() const { return m_tcpHeaderLen; }
    int SourcePort() const { return m_tcpHeader ? (m_tcpHeader[0] << 8) | m_tcpHeader[1] : 0; }
    int DestinationPort() const { return m_tcpHeader ? (m_tcpHeader[2] << 8) | m_tcpHeader[3] : 0; }
    uint32_t SequenceNumber() const { return m_tcpHeader ? Be32(m_tcpHeader + 4) : 0; }
    uint32_t AcknowledgementNumber() const { return m_tcpHeader ? Be32(m_tcpHeader + 8) : 0; }
    uint8_t TcpFlags() const { return m_tcpHeader ? m_tcpHeader[13] : 0; }
    // The TCP payload inside the captured bytes.
    const unsigned char* Payload() const {
        return m_tcpHeader ? m_tcpHeader + m_tcpHeaderLen : nullptr;
    }
    int PayloadLen() const { return m_payloadLen; }
    StreamType GetStreamType() const { return m_streamType; }
    // The length of the header block at the start of the payload, up to and with the first
    // "\r\n\r\n"; 0 without one.
    int HttpHeaderPart() const;

    static const uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

  protected:
    static uint32_t Be32(const unsigned char* p) {
        return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    }
    // Finds the IPv4 and TCP headers; true when the frame carries TCP.
    bool ParseHeaders();

    const unsigned char* m_tcpHeader = nullptr;
    StreamType m_streamType = STREAM_NONE;
    int m_tcpHeaderLen = 0;
    int m_payloadLen = 0;
    mutable int m_httpHeaderPart = -1;  // -1 until known
};

// Per-connection unpackers: the first frame of a connection direction plus the bytes collected.
class CPayloadNetUnpack : public CTCPNetUnpack {
  public:
    // Connections come and go by the hundred thousand: their objects are kept for reuse by the
    // thread that released them rather than handed back to the heap every time.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size);

    ~CPayloadNetUnpack() override;
    void Reset() override;
    const unsigned char* GetData() override { return m_payload; }
    int GetDataLen() override { return m_payload ? m_payloadLen : 0; }
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

#include "analyse/VideoStreamAnalyse.h"

#include <cstring>
#include <memory>
#include <new>

#include "netunpack/ZMemory.h"

namespace {

// The classification's word rule, over the bytes a pending connect has collected. An encoder's
// connect carries no codec words (they say what a player can decode): its publish command makes
// the connection RTMP instead.
bool ConnectIsWhole(const unsigned char* b, int n) {
    return (FindBytes(b, n, "tcUrl", true) || FindBytes(b, n, "rtmp", true)) &&
           (FindBytes(b, n, "audioCodecs", true) || FindBytes(b, n, "videoCodecs", true) ||
            FindBytes(b, n, "publish", true));
}

// Whether the collected bytes hold a publish command: a createStream, then "publish".
bool Publishes(const unsigned char* b, int n) {
    const unsigned char* create = FindBytes(b, n, "createStream", true);
    return create != nullptr &&
           FindBytes(create, static_cast<int>(b + n - create), "publish", true) != nullptr;
}

// Sequence numbers compare modulo 2^32.
bool Before(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

}  // namespace

void* TcpConnection::operator new(size_t size) {
    if (size > BlockPool::kLargest) return ::operator new(size);
    void* p = BlockPool::Take(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void TcpConnection::operator delete(void* p, size_t size) {
    if (size > BlockPool::kLargest) {
        ::operator delete(p);
    } else {
        BlockPool::Give(p, size);
    }
}

CVideoStreamAnalyse::CVideoStreamAnalyse() : m_connections(kMaxConnections) {}

CVideoStreamAnalyse::~CVideoStreamAnalyse() {
    // The capture thread owns the tables while it runs.
    Stop();
    m_filters.clear();
    m_connections.Clear();
}

int CVideoStreamAnalyse::StartFromDevice(pcap_if_t* device) {
    return CNetDataPackageAnalyse::StartFromDevice(device);
}

int CVideoStreamAnalyse::StartFromFile(std::string path) {
    return CNetDataPackageAnalyse::StartFromFile(path);
}

void CVideoStreamAnalyse::OnTCP(CTCPNetUnpack* u) {
    // Without payload a segment neither starts nor adds anything: no lookup, so the
    // acknowledgements do not count as uses of their connection's entry.
    if (u == nullptr || u->PayloadLen() <= 0) return;
    Track(u, KeyOf(*u));
}

void CVideoStreamAnalyse::Track(CTCPNetUnpack* u, const ConnectionKey& key) {
    try {
        const StreamType type = u->GetStreamType();
        TcpConnection* c = nullptr;
        if (type == STREAM_NONE) {
            c = m_connections.Find(key);
            if (c == nullptr) {
                if (u->OpensConnectPart()) StartConnection(u, key, STREAM_RTMP, true);
                return;
            }
        } else if (type == STREAM_RTMP || type == STREAM_RTSP || type == STREAM_HTTP ||
                   type == STREAM_HLS) {
            // A start segment replaces the entry of its direction, unless it is a copy of bytes
            // the direction has already had (a retransmitted request).
            c = m_connections.Find(key);
            if (c == nullptr || !Before(u->SequenceNumber(), c->flow.ToServer().NextSeq())) {
                c = StartConnection(u, key, type, false);
                if (c == nullptr) return;
                if (type == STREAM_RTSP || type == STREAM_HLS) Notify(*c);
                if (c->CollectedLen() >= kCollectLimit) c->collecting = false;
                if (!c->collecting) Finished(key, c);
                return;
            }
        } else {
            return;
        }

        // A publishing client's bytes are its media: they go on after the collection.
        if (!c->collecting && !c->Publishing()) return;
        const bool wasCollecting = c->collecting;
        Deliver(*c, TcpFlow::kToServer, u, false);
        if (wasCollecting && !c->collecting) Finished(key, c);
    } catch (...) {
        // One bad segment never stops capture.
    }
}

TcpConnection* CVideoStreamAnalyse::StartConnection(CTCPNetUnpack* u, const ConnectionKey& key,
                                                    StreamType type, bool pendingConnect) {
    std::unique_ptr<TcpConnection> connection(new TcpConnection(key, &m_flowMemory));
    CPayloadNetUnpack* fresh;
    if (type == STREAM_RTMP) {
        fresh = connection->MakeUnpacker<CRTMPNetUnpack>();
        connection->rtmp.reset(new RtmpMedia());
    } else if (type == STREAM_RTSP) {
        fresh = connection->MakeUnpacker<CRTSPNetUnpack>();
    } else {
        fresh = connection->MakeUnpacker<CHTTPNetUnpack>();
    }
    const int payloadLen = u->PayloadLen();
    const int frameLen = u->FrameLen();
    connection->payloadStart = static_cast<int>(u->Payload() - u->FrameData());
    connection->firstFrameEnd = frameLen < kMaxFirstFrameBytes ? frameLen : kMaxFirstFrameBytes;
    connection->firstFrameCut = frameLen - connection->firstFrameEnd;
    fresh->AdoptFrame(*u);  // the frame is already parsed and classified
    // The collected bytes start with the frame; a giant frame is kept only in part. Those of an
    // HTTP collection that names nothing before a "Host" comes (a response) are only counted.
    const int kept = frameLen < kMaxFirstFrameBytes ? frameLen : kMaxFirstFrameBytes;
    if (type == STREAM_HTTP && kept == frameLen && kept < kCollectLimit && u->HttpWaitsForHost())
        connection->hostWait.Start(u->FrameData(), kept);
    else
        fresh->AppendData(u->FrameData(), kept, 1);
    // The payload of an HTTP segment is what the fresh entry marks.
    const int headerPart = type == STREAM_HTTP ? u->HttpHeaderPart() : 0;
    fresh->DropFrameView();

    connection->type = type;
    connection->pendingConnect = pendingConnect;
    // The request's own bytes are collected; the direction goes on after them. The other side's
    // bytes go on from what this segment acknowledges: everything before was there before the
    // request.
    const uint8_t flags = u->TcpFlags();
    const bool syn = (flags & CTCPNetUnpack::kSyn) != 0;
    connection->flow.ToServer().Start(u->SequenceNumber() + static_cast<uint32_t>(payloadLen) +
                                      (syn ? 1u : 0u));
    if ((flags & CTCPNetUnpack::kAck) != 0)
        connection->flow.ToClient().Start(u->AcknowledgementNumber());
    TcpConnection* c = m_connections.Put(key, std::move(connection));

    if (!pendingConnect) {
        RecordCounters(key);
        if (type == STREAM_HTTP || type == STREAM_HLS) m_byteCounter = payloadLen - headerPart;
    }
    return c;
}

void CVideoStreamAnalyse::RecordCounters(const ConnectionKey& key) {
    m_currentKey = key;
    std::memcpy(m_clientAddr, key.src, 16);
    std::memcpy(m_serverAddr, key.dst, 16);
    m_clientPort = key.srcPort;
    m_serverPort = key.dstPort;
}

void CVideoStreamAnalyse::Deliver(TcpConnection& c, TcpFlow::Direction d, CTCPNetUnpack* u,
                                  bool flush) {
    // Local, so it reaches the analyser's own steps.
    class Sink : public ReassemblySink {
      public:
        Sink(CVideoStreamAnalyse& a, TcpConnection& c, TcpFlow::Direction d)
            : m_a(a), m_c(c), m_d(d) {}
        void OnBytes(const unsigned char* data, int length) override {
            if (m_d == TcpFlow::kToClient) {
                if (!m_c.Publishing()) m_a.OnMediaBytes(m_c, data, length);
                return;
            }
            // The bytes that make a client a publisher reach the decoder with those collected.
            const bool publishing = m_c.Publishing();
            m_a.Collect(m_c, data, length);
            if (publishing) m_a.OnMediaBytes(m_c, data, length);
        }
        // The collected bytes simply go on after a hole, as the extraction searches them.
        void OnGap(uint32_t length) override {
            if ((m_d == TcpFlow::kToClient) != m_c.Publishing()) m_a.OnMediaGap(m_c, length);
        }

      private:
        CVideoStreamAnalyse& m_a;
        TcpConnection& m_c;
        TcpFlow::Direction m_d;
    } sink(*this, c, d);

    TcpReassembler& direction = c.flow.Of(d);
    if (flush) {
        direction.Flush(sink);
        return;
    }
    const uint8_t flags = u->TcpFlags();
    direction.Segment(u->SequenceNumber(), u->Payload(), u->PayloadLen(),
                      (flags & CTCPNetUnpack::kSyn) != 0, (flags & CTCPNetUnpack::kFin) != 0,
                      FrameTimeUs(), sink);
}

void CVideoStreamAnalyse::Collect(TcpConnection& c, const unsigned char* data, int length) {
    if (!c.collecting || length <= 0) return;
    CPayloadNetUnpack* entry = c.unpacker;
    if (c.CollectedLen() >= kCollectLimit) {
        c.collecting = false;
        return;
    }
    if (c.pendingConnect) {
        entry->AppendData(data, length, 0);
        if (ConnectIsWhole(entry->GetAppendedData(), entry->GetAppendedLen())) {
            // The connect is whole: from here on the connection is RTMP, as if it had come in
            // one segment.
            c.pendingConnect = false;
            RecordCounters(c.Key());
            Notify(c);
        }
    } else {
        m_byteCounter += length;
        if (c.hostWait.Waiting()) {
            if (c.hostWait.Pass(data, length)) {
                // Nothing to look at yet: the extraction would find no "Host".
                if (c.CollectedLen() >= kCollectLimit) c.collecting = false;
                return;
            }
            entry->AppendData(c.hostWait.StandIn(), c.hostWait.StandInLen(), 1);
        }
        entry->AppendData(data, length, 0);
        Notify(c);
    }
    if (c.rtmp && !c.pendingConnect && !c.rtmp->publishing &&
        Publishes(entry->GetAppendedData(), entry->GetAppendedLen())) {
        OnPublishing(c);
    }
    if (c.CollectedLen() >= kCollectLimit) c.collecting = false;
}

void CVideoStreamAnalyse::Notify(TcpConnection& c) {
    TcpConnection* before = m_analysing;
    m_analysing = &c;
    try {
        OnStreamData(c.unpacker, c.type);
    } catch (...) {
        m_analysing = before;
        throw;
    }
    m_analysing = before;
}

void CVideoStreamAnalyse::Finished(const ConnectionKey& key, TcpConnection* c) {
    // A finished entry only ever answers "collection over" to its later segments, as no entry
    // does; only an RTMP entry still counts, for the media of its connection. So the others
    // leave the table and make room for connections still collecting.
    if (c->type == STREAM_RTMP && !c->pendingConnect) {
        c->unpacker->ReleaseCollected();
        if (!c->Publishing()) c->flow.ToServer().Clear();
    } else {
        m_connections.Remove(key);
    }
}

void CVideoStreamAnalyse::OnCaptureEnd() {
    m_connections.ForEach([this](const ConnectionKey&, TcpConnection& c) {
        try {
            if ((c.collecting || c.Publishing()) && c.flow.ToServer().HeldBytes() > 0)
                Deliver(c, TcpFlow::kToServer, nullptr, true);
            if (c.flow.ToClient().HeldBytes() > 0) Deliver(c, TcpFlow::kToClient, nullptr, true);
        } catch (...) {
            // What was held is lost; the other connections still get theirs.
        }
    });
}

const NetDataFilterInfo* CVideoStreamAnalyse::FindFilter(const unsigned char* bytes, int length) {
    for (const NetDataFilterInfo& rule : m_filters) {
        if (FindBytes(bytes, length, rule.MsgHeader.c_str(), true) != nullptr) return &rule;
    }
    return nullptr;
}

int CVideoStreamAnalyse::ResetCounters() {
    m_byteCounter = 0;
    std::memset(m_clientAddr, 0, 16);
    std::memset(m_serverAddr, 0, 16);
    m_clientPort = 0;
    m_serverPort = 0;
    return 0;
}

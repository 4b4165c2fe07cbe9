#include "analyse/VideoStreamUriAnalyse.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "analyse/StreamUriExtract.h"
#include "common/Exception.h"
#include "common/LogOut.h"
#include "common/MD5Checksum.h"
#include "decoder/FlvWriter.h"
#include "netunpack/UdpUnpack.h"

namespace {

// "%d%d%d%d" of an IPv4 address, "v6-" and hex digits of an IPv6 one.
std::string OctetText(const ConnectionKey& key, bool source) {
    return ConnectionKey::AddressText(source ? key.src : key.dst, key.ipv6 != 0);
}

}  // namespace

// An HTTP connection the recorder follows: both directions in order, read as exchanges.
struct HttpRecordFlow {
    HttpRecordFlow(const ConnectionKey& key, FlowMemory* memory, HttpExchangeSink* sink)
        : flow(key, memory), reader(sink) {}
    TcpFlow flow;
    HttpConnectionReader reader;
    std::list<ConnectionKey>::iterator order;  // its place in the analyser's use order
};

namespace {

class HttpFlowSink : public ReassemblySink {
  public:
    HttpFlowSink(HttpConnectionReader& r, TcpFlow::Direction d) : m_r(r), m_d(d) {}
    void OnBytes(const unsigned char* data, int length) override {
        if (length <= 0) return;
        if (m_d == TcpFlow::kToServer) {
            m_r.OnClientBytes(data, static_cast<size_t>(length));
        } else {
            m_r.OnServerBytes(data, static_cast<size_t>(length));
        }
    }
    void OnGap(uint32_t length) override {
        if (m_d == TcpFlow::kToServer) {
            m_r.OnClientGap(length);
        } else {
            m_r.OnServerGap(length);
        }
    }

  private:
    HttpConnectionReader& m_r;
    TcpFlow::Direction m_d;
};

// Whether a request line names an .flv resource (before its query, if any).
bool RequestNamesFlv(const unsigned char* b, int n) {
    for (int i = 0; i + 4 < n && i < 4096 && b[i] != '\r' && b[i] != '\n'; ++i) {
        if (b[i] == '.' && (b[i + 1] | 0x20) == 'f' && (b[i + 2] | 0x20) == 'l' &&
            (b[i + 3] | 0x20) == 'v' && (b[i + 4] == ' ' || b[i + 4] == '?'))
            return true;
    }
    return false;
}

}  // namespace

StreamDigest StreamDigest::Of(const std::string& address) {
    CMD5Checksum md5;
    md5.Update(reinterpret_cast<const unsigned char*>(address.data()), address.size());
    unsigned char bytes[16];
    md5.Final(bytes);
    StreamDigest d;
    std::memcpy(d.words, bytes, sizeof(bytes));
    return d;
}

CVideoStreamUriAnalyse::CVideoStreamUriAnalyse()
    : CVideoStreamUriAnalyse(CSqliteDataBase::GetInstance()->GetNetDataFilterInfo()) {}

CVideoStreamUriAnalyse::CVideoStreamUriAnalyse(std::list<NetDataFilterInfo> filters) {
    m_streams.reserve(1024);
    m_filters = std::move(filters);
}

CVideoStreamUriAnalyse::~CVideoStreamUriAnalyse() {
    Stop();
    m_tls.Finish();
    EndHttpFlows();
    m_recorder.reset();
    m_rtsp.Finish();
    m_connections.Clear();  // with the decoders
    LogOut(LOG_INFO, "Quillet Brisco Analyse Thread exited.");
    m_streams.clear();
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
                       " has no IPv4 or IPv6 address");
        return 1;
    }
    StartCaptureThread();
    LogOut(LOG_INFO, std::string("capture net stream from pcap net interface.") + device->name);
    return 0;
}

void CVideoStreamUriAnalyse::OnTCP(CTCPNetUnpack* u) {
    // A segment without payload (half of all, the acknowledgements) has nothing to decode and
    // nothing to track.
    if (u == nullptr || u->PayloadLen() <= 0) return;
    const ConnectionKey key = KeyOf(*u);
    const uint64_t version = RecordingListVersion();
    if (version != m_requestVersion) RefreshRecordingRequests(version);
    if (m_httpRecording || !m_httpFlows.empty() || u->GetStreamType() == STREAM_HLS)
        OnHttpSegment(u, key);
    const bool rtsp = u->GetStreamType() == STREAM_RTSP;
    if ((rtsp && (m_anyRequest || !m_listFixed)) || (!m_rtsp.Idle() && m_rtsp.Watches(key))) {
        try {
            m_rtsp.Segment(u, key, rtsp, FrameTimeUs());
        } catch (...) {
            // The session's recording loses this segment; detection goes on.
        }
    }
    const unsigned char* payload = u->Payload();
    const bool opensTls = payload != nullptr && TlsFollow::OpensTls(payload, u->PayloadLen());
    if (opensTls || (!m_tls.Idle() && m_tls.Watches(key))) {
        try {
            m_tls.Segment(u, key, opensTls, FrameTimeUs());
        } catch (...) {
            // The session loses this segment; detection goes on.
        }
    }
    OnRtmpMedia(u, key);
    Track(u, key);
}

void CVideoStreamUriAnalyse::OnTlsAddress(StreamType type, const std::string& address,
                                          const ConnectionKey& key) {
    try {
        Sight(type, address, key, nullptr);
    } catch (...) {
        // The sighting is lost; capture goes on.
    }
}

HttpExchangeSink* CVideoStreamUriAnalyse::TlsHttpRecorder() {
    return m_httpRecording ? m_recorder.get() : nullptr;
}

void CVideoStreamUriAnalyse::OnTlsRtmpMedia(RtmpMedia& media, const ConnectionKey& key,
                                            const unsigned char* data, size_t length) {
    if (DecoderOf(media) == nullptr) return;
    // A record holds at most 16 KiB.
    DecodeMedia(media, key, data, static_cast<int>(length));
}

void CVideoStreamUriAnalyse::OnTlsRtmpGap(RtmpMedia& media, uint32_t length) {
    if (media.decoder) media.decoder->Gap(length);
}

void CVideoStreamUriAnalyse::OnIP(CTCPNetUnpack* u) {
    if (m_rtsp.UdpSessions() == 0 || u == nullptr || u->TCPHeader() != nullptr) return;
    UdpDatagram d;
    if (!UnpackUdp(*u, &d)) return;
    uint64_t addresses[4];
    u->AddressWords(addresses);
    const ConnectionKey key = ConnectionKey::FromWords(
        addresses, ConnectionKey::TailOf(d.sourcePort, d.destinationPort, u->IsIPv6()));
    try {
        m_rtsp.Datagram(key, d.payload, static_cast<size_t>(d.length), FrameTimeUs());
    } catch (...) {
        // The datagram is lost to the recording.
    }
}

void CVideoStreamUriAnalyse::RefreshRecordingRequests(uint64_t version) {
    m_requestVersion = version;
    const std::vector<std::string> addresses = RequestedAddresses();
    const bool all = RecordAll();
    m_anyRequest = all || !addresses.empty();
    if (!m_recorder) {
        if (addresses.empty() && !all) return;
        m_recorder.reset(new HttpStreamRecorder(GetAppDirectory() + "/Videos"));
    }
    m_recorder->SetRequests(addresses, all);
    m_httpRecording = m_recorder->Active();
}

void CVideoStreamUriAnalyse::OnHttpSegment(CTCPNetUnpack* u, const ConnectionKey& key) {
    try {
        TcpFlow::Direction d = TcpFlow::kToServer;
        auto it = m_httpFlows.find(key);
        if (it == m_httpFlows.end()) {
            it = m_httpFlows.find(key.Reverse());
            d = TcpFlow::kToClient;
        }
        const uint8_t flags = u->TcpFlags();
        const bool syn = (flags & CTCPNetUnpack::kSyn) != 0;
        const bool fin = (flags & CTCPNetUnpack::kFin) != 0;
        if (it == m_httpFlows.end()) {
            // Only a request starts a connection the recorder follows: any request while
            // something is recorded, and an HTTP-FLV request always, since a recording asked for
            // while it flows starts at its next key frame.
            const StreamType type = u->GetStreamType();
            if (type != STREAM_HTTP && type != STREAM_HLS) return;
            if (!m_httpRecording) {
                if (type != STREAM_HLS || !RequestNamesFlv(u->Payload(), u->PayloadLen())) return;
                if (!m_recorder)
                    m_recorder.reset(new HttpStreamRecorder(GetAppDirectory() + "/Videos"));
            }
            MakeRoomForHttpFlow();
            std::unique_ptr<HttpRecordFlow> f(
                new HttpRecordFlow(key, &m_flowMemory, m_recorder.get()));
            f->flow.ToServer().Start(u->SequenceNumber() + (syn ? 1u : 0u));
            if ((flags & CTCPNetUnpack::kAck) != 0)
                f->flow.ToClient().Start(u->AcknowledgementNumber());
            f->order = m_httpOrder.insert(m_httpOrder.end(), key);
            it = m_httpFlows.emplace(key, std::move(f)).first;
            d = TcpFlow::kToServer;
        }
        HttpRecordFlow& f = *it->second;
        m_httpOrder.splice(m_httpOrder.end(), m_httpOrder, f.order);
        HttpFlowSink sink(f.reader, d);
        TcpReassembler& direction = f.flow.Of(d);
        direction.Segment(u->SequenceNumber(), u->Payload(), u->PayloadLen(), syn, fin,
                          FrameTimeUs(), sink);
        if (d == TcpFlow::kToClient && (direction.FinSeen() || f.reader.Lost())) {
            f.reader.OnServerEnd();
            m_httpOrder.erase(f.order);
            m_httpFlows.erase(it);
        }
    } catch (...) {
        // The recording of this connection is lost; capture goes on.
    }
}

void CVideoStreamUriAnalyse::MakeRoomForHttpFlow() {
    // The connection unused longest gives way.
    while (m_httpFlows.size() >= kMaxHttpFlows && !m_httpOrder.empty()) {
        auto it = m_httpFlows.find(m_httpOrder.front());
        m_httpOrder.pop_front();
        if (it == m_httpFlows.end()) continue;
        it->second->reader.OnServerEnd();
        m_httpFlows.erase(it);
    }
}

void CVideoStreamUriAnalyse::EndHttpFlows() {
    for (auto& entry : m_httpFlows) {
        HttpRecordFlow& f = *entry.second;
        try {
            HttpFlowSink toServer(f.reader, TcpFlow::kToServer);
            f.flow.ToServer().Flush(toServer);
            HttpFlowSink toClient(f.reader, TcpFlow::kToClient);
            f.flow.ToClient().Flush(toClient);
            f.reader.OnServerEnd();
        } catch (...) {
        }
    }
    m_httpFlows.clear();
    m_httpOrder.clear();
    if (m_recorder) m_recorder->Finish();
}

void CVideoStreamUriAnalyse::OnCaptureEnd() {
    CVideoStreamAnalyse::OnCaptureEnd();
    try {
        m_tls.Finish();
    } catch (...) {
        // What the TLS sessions still held is lost; the capture ends in order.
    }
    EndHttpFlows();
    try {
        m_rtsp.Finish();
    } catch (...) {
    }
}

void CVideoStreamUriAnalyse::OnRtmpMedia(CTCPNetUnpack* u, const ConnectionKey& key) {
    if (m_listFixed && !m_anyRequest) {
        // Nothing is recorded, and nothing will be: the media would go nowhere. The entry is
        // still marked as used, as the lookup below marks it.
        m_connections.TouchUnread(key.Reverse());
        return;
    }
    // Looking the other direction up also keeps a live connection's entry fresh.
    TcpConnection* c = m_connections.Find(key.Reverse());
    if (c == nullptr || !c->rtmp || c->pendingConnect || c->Publishing()) return;
    if (DecoderOf(*c->rtmp) == nullptr) return;
    // The server's bytes reach the decoder in order, once; every message they complete leaves
    // now, so the decoder keeps no backlog.
    Deliver(*c, TcpFlow::kToClient, u, false);
}

CRtmp2H264AacDecoder* CVideoStreamUriAnalyse::DecoderOf(RtmpMedia& media) {
    if (!media.decoder) {
        // A flood of RTMP connections must not each hold a decoder's buffers.
        if (m_decoderCount >= kMaxDecoders) return nullptr;
        media.decoder.reset(new CRtmp2H264AacDecoder());
        media.decoderCount = &m_decoderCount;
        ++m_decoderCount;
    }
    return media.decoder.get();
}

void CVideoStreamUriAnalyse::OnPublishing(TcpConnection& c) {
    RtmpMedia& media = *c.rtmp;
    // Whatever the server's direction fed is not this media: a fresh decoder.
    if (media.decoder) {
        media.decoder.reset(new CRtmp2H264AacDecoder());
    } else if (DecoderOf(media) == nullptr) {
        return;
    }
    media.publishing = true;
    // The client's bytes so far, from its connect command on: a handshake packet sent in the same
    // segment goes before it, and the part of a giant first frame not kept is a gap.
    const unsigned char* b = c.unpacker->GetAppendedData();
    const int n = c.unpacker->GetAppendedLen();
    if (b == nullptr || c.payloadStart >= c.firstFrameEnd || c.firstFrameEnd > n) return;
    const int start = ConnectCommandStart(b + c.payloadStart, c.firstFrameEnd - c.payloadStart);
    const int from = c.payloadStart + (start > 0 ? start : 0);
    OnMediaBytes(c, b + from, c.firstFrameEnd - from);
    if (c.firstFrameCut > 0) OnMediaGap(c, static_cast<uint32_t>(c.firstFrameCut));
    if (n > c.firstFrameEnd) OnMediaBytes(c, b + c.firstFrameEnd, n - c.firstFrameEnd);
}

void CVideoStreamUriAnalyse::OnMediaBytes(TcpConnection& c, const unsigned char* data, int length) {
    if (!c.rtmp || !c.rtmp->decoder) return;
    DecodeMedia(*c.rtmp, c.Key(), data, length);
}

void CVideoStreamUriAnalyse::DecodeMedia(RtmpMedia& media, const ConnectionKey& key,
                                         const unsigned char* data, int length) {
    CZMemory* tag = media.decoder->DecodeToFlvTag(data, length);
    for (int n = 0; tag != nullptr && n < kMaxTagsPerSegment; ++n) {
        // Media reaches the callback once this connection's own address is known.
        if (tag->length > 0 && !media.address.empty() && m_streamDataCallback != nullptr)
            PassTag(media, key, *tag, media.decoder->LastTagWhole());
        tag = media.decoder->DecodeToFlvTag(nullptr, 0);
    }
    // Video frames are kept whole only while they may be written: the stream is recorded, or
    // its first video tag is still to be noted.
    if (m_recording.Set() && media.decoder)
        media.decoder->OutlineVideo(!media.wanted && media.notedVideo.length > 0);
}

void CVideoStreamUriAnalyse::PassTag(RtmpMedia& media, const ConnectionKey& k, const CZMemory& tag,
                                     bool whole) {
    if (m_recording.Set()) {
        const uint64_t version = m_recording.version();
        if (version != media.wantedAt) {
            media.wanted = m_recording.wanted(media.address.c_str());
            media.wantedAt = version;
        }
        if (!media.wanted) {
            // As the writer keeps them for a recording started later.
            if (tag.data[0] == 9 && tag.length >= 8) {
                if (media.notedVideo.length == 0)
                    media.notedVideo.Assign(tag.data, tag.length);
                else
                    std::memcpy(media.notedVideo.data + 4, tag.data + 4, 4);
                media.notesPending = true;
            } else if (tag.data[0] == 8 && tag.length >= 13 && (tag.data[11] >> 4) == 10 &&
                       tag.data[12] == 0 && media.notedAudio.length == 0) {
                media.notedAudio.Assign(tag.data, tag.length);
                media.notesPending = true;
            }
            return;
        }
        // A frame outlined before the request came: the recording begins after it.
        if (!whole) return;
        if (media.notesPending) {
            m_recording.prime(media.clientIp.c_str(), k.srcPort, media.serverIp.c_str(), k.dstPort,
                              media.notedVideo, media.notedAudio);
            media.notesPending = false;
        }
    } else if (!whole) {
        return;
    }
    m_streamDataCallback(tag.data, tag.length, media.clientIp.c_str(), k.srcPort,
                         media.serverIp.c_str(), k.dstPort, media.address.c_str());
}

void CVideoStreamUriAnalyse::OnMediaGap(TcpConnection& c, uint32_t length) {
    if (c.rtmp && c.rtmp->decoder) c.rtmp->decoder->Gap(length);
}

void CVideoStreamUriAnalyse::ForgetOldestRecord() {
    while (!m_recordOrder.empty()) {
        const StreamDigest digest = m_recordOrder.front();
        m_recordOrder.pop_front();
        if (m_streams.erase(digest) != 0) return;
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
    // The connection whose bytes these are, when the tracking step asks.
    TcpConnection* c =
        m_analysing != nullptr && m_analysing->unpacker == unpacker ? m_analysing : nullptr;

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
        case STREAM_HLS:
            // A connection's bytes are looked at again after every segment: each search goes on
            // from where it stopped.
            address = c != nullptr ? ExtractHttpUri(buffer, length, c->searches)
                                   : ExtractHttpUri(buffer, length);
            break;
        default:
            break;
    }
    if (address.empty() || label == nullptr) return;
    RemoveDefaultRtmpPort(&address);

    ConnectionKey endpoints;
    if (c != nullptr) {
        endpoints = c->Key();
    } else {
        // The collected bytes begin with the connection's first frame: its endpoints.
        CTCPNetUnpack first;
        if (const auto* framed = dynamic_cast<const CEthernetNetUnpack*>(unpacker))
            first.SetLinkType(framed->LinkType());
        first.SetHeaders(buffer, length);
        endpoints = KeyOf(first);
    }

    Sight(type, address, endpoints, c);
}

void CVideoStreamUriAnalyse::Sight(StreamType type, const std::string& address,
                                   const ConnectionKey& endpoints, TcpConnection* c) {
    const char* label = StreamLabel(type);
    if (label == nullptr) return;
    std::string text = std::string(label) + "-" + address;
    LogOut(LOG_NETDATA, text);

    // The media of this connection belongs to the address it carried itself.
    if (c != nullptr && c->rtmp && c->rtmp->address != address) {
        RtmpMedia& media = *c->rtmp;
        media.address = address;
        if (media.clientIp.empty()) {
            media.clientIp = OctetText(endpoints, true);
            media.serverIp = OctetText(endpoints, false);
        }
    }

    const StreamDigest digest = StreamDigest::Of(address);
    auto found = m_streams.find(digest);
    if (found == m_streams.end()) {
        if (m_streams.size() >= kMaxStreams) ForgetOldestRecord();
        found = m_streams.emplace(digest, StreamRecord()).first;
        m_recordOrder.push_back(digest);
    }
    StreamRecord& record = found->second;
    if (record.address == address) return;  // keeps the endpoints of its first sighting

    record.address = address;
    record.clientIp = OctetText(endpoints, true);
    record.serverIp = OctetText(endpoints, false);
    record.clientPort = endpoints.srcPort;
    record.serverPort = endpoints.dstPort;
    if (type == STREAM_RTMP || type == STREAM_HLS || type == STREAM_RTSP) {
        LogOut(LOG_STREAM, std::move(text));
    }
}

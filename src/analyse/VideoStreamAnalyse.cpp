#include "analyse/VideoStreamAnalyse.h"

#include <cstring>
#include <memory>

#include "decoder/VideoStreamDecoder.h"

namespace {

ConnectionKey KeyOf(const CTCPNetUnpack* u) {
    ConnectionKey key;
    u->SourceAddress(key.src);
    u->DestinationAddress(key.dst);
    key.srcPort = static_cast<uint16_t>(u->SourcePort());
    key.dstPort = static_cast<uint16_t>(u->DestinationPort());
    return key;
}

}  // namespace

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
    if (u == nullptr) return;
    try {
        const StreamType type = u->GetStreamType();
        const int payloadLen = u->PayloadLen();
        // Without payload a segment neither starts nor adds anything: no lookup, so the
        // acknowledgements do not count as uses of their connection's entry.
        if (payloadLen <= 0) return;
        const ConnectionKey key = KeyOf(u);

        if (type == STREAM_NONE) {
            CPayloadNetUnpack* entry = m_connections.Find(key);
            if (entry == nullptr) return;
            if (entry->GetAppendedLen() >= kCollectLimit) return;
            m_byteCounter += payloadLen;
            entry->AppendData(u->Payload(), payloadLen, 0);
            OnStreamData(entry, entry->GetStreamType());
            if (entry->GetAppendedLen() >= kCollectLimit) Finished(key, entry);
            return;
        }

        // A start segment replaces the entry of its direction.
        std::unique_ptr<CPayloadNetUnpack> fresh;
        if (type == STREAM_RTMP) {
            fresh.reset(new CRTMPNetUnpack());
        } else if (type == STREAM_RTSP) {
            fresh.reset(new CRTSPNetUnpack());
        } else if (type == STREAM_HTTP || type == STREAM_HLS) {
            fresh.reset(new CHTTPNetUnpack());
        } else {
            return;
        }
        const int frameLen = u->FrameLen();
        fresh->AdoptFrame(*u);  // the frame is already parsed and classified
        // The collected bytes start with the frame; a giant frame is kept only in part.
        fresh->AppendData(u->FrameData(),
                          frameLen < kMaxFirstFrameBytes ? frameLen : kMaxFirstFrameBytes, 1);

        // The payload of an HTTP segment is what the fresh entry marks.
        const int headerPart = type == STREAM_HTTP ? u->HttpHeaderPart() : 0;
        fresh->DropFrameView();
        CPayloadNetUnpack* entry = m_connections.Put(key, std::move(fresh));

        m_currentKey = key;
        std::memcpy(m_clientAddr, key.src, 4);
        std::memcpy(m_serverAddr, key.dst, 4);
        m_clientPort = key.srcPort;
        m_serverPort = key.dstPort;
        if (type == STREAM_HTTP || type == STREAM_HLS) m_byteCounter = payloadLen - headerPart;

        if (type == STREAM_RTSP || type == STREAM_HLS) OnStreamData(entry, type);
        if (entry->GetAppendedLen() >= kCollectLimit) Finished(key, entry);
    } catch (...) {
        // One bad segment never stops capture.
    }
}

void CVideoStreamAnalyse::Finished(const ConnectionKey& key, CPayloadNetUnpack* entry) {
    // A finished entry only ever answers "collection over" to its later segments, as no entry
    // does; only an RTMP entry still counts, for the media of its connection. So the others
    // leave the table and make room for connections still collecting.
    if (entry->GetStreamType() == STREAM_RTMP) {
        entry->ReleaseCollected();
    } else {
        m_connections.Remove(key);
    }
}

const NetDataFilterInfo* CVideoStreamAnalyse::FindFilter(const unsigned char* bytes, int length) {
    for (const NetDataFilterInfo& rule : m_filters) {
        if (FindBytes(bytes, length, rule.MsgHeader.c_str(), true) != nullptr) return &rule;
    }
    return nullptr;
}

int CVideoStreamAnalyse::ResetCounters() {
    m_byteCounter = 0;
    std::memset(m_clientAddr, 0, 4);
    std::memset(m_serverAddr, 0, 4);
    m_clientPort = 0;
    m_serverPort = 0;
    return 0;
}

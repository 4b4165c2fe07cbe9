#include "analyse/VideoStreamUriAnalyse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "analyse/StreamUriExtract.h"
#include "common/Exception.h"
#include "common/LogOut.h"
#include "common/MD5Checksum.h"

namespace {

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
    if (m_handle == nullptr) {
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
            if (entry == nullptr) {
                address = ExtractHttpUri(buffer, length);
                break;
            }
            static_assert(HttpSearchMemo::kSearches == CPayloadNetUnpack::kSearches,
                          "the entry keeps every search of the memo");
            GrowingSearch* kept = entry->Searches();
            HttpSearchMemo memo;
            std::copy(kept, kept + HttpSearchMemo::kSearches, memo.searches);
            address = ExtractHttpUri(buffer, length, memo);
            std::copy(memo.searches, memo.searches + HttpSearchMemo::kSearches, kept);
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

#pragma once

#include <deque>
#include <string>
#include <unordered_map>

#include "analyse/VideoStreamAnalyse.h"
#include "decoder/VideoStreamDecoder.h"

// Receives decoded RTMP media: tag bytes, length, client address text, client port, server
// address text, server port, stream address. The texts are valid during the call only.
typedef void (*StreamDataCallback)(const unsigned char* data, int length, const char* clientIp,
                                   int clientPort, const char* serverIp, int serverPort,
                                   const char* address);

struct StreamRecord {
    int clientPort = 0;
    int serverPort = 0;
    std::string address;
    std::string clientIp;  // "%d%d%d%d" of the octets
    std::string serverIp;
    ConnectionKey endpoints;  // client to server, of the first sighting
};

// The analyser a capture source runs: finds RTMP, RTSP and HTTP stream addresses, reports them
// through LogOut and hands RTMP media to the callback.
class CVideoStreamUriAnalyse : public CVideoStreamAnalyse {
  public:
    // Keyed by the digest text of the address. Hashed rather than ordered: it holds up to
    // kMaxStreams records and is looked up on every sighting; nothing walks it in order.
    typedef std::unordered_map<std::string, StreamRecord> StreamTable;
    // Records beyond this give way, oldest first, so a flood of addresses stays bounded.
    static const size_t kMaxStreams = 50000;
    static const int kMaxTagsPerSegment = 1024;

    CVideoStreamUriAnalyse();
    ~CVideoStreamUriAnalyse() override;

    // 0 started, 1 the source could not be opened.
    int StartFromDevice(pcap_if_t* device) override;
    int StartFromFile(std::string path) override;
    int IsTcpSuppressed() override { return 0; }
    // A segment without payload neither starts, adds to nor decodes anything.
    bool HandlesEmptySegments() const final { return false; }
    void OnTCP(CTCPNetUnpack* unpacker) override;
    void OnStreamData(CNetUnpack* unpacker, StreamType type) override;
    void AnalyseUri(CNetUnpack* unpacker, StreamType type) override;

    void SetStreamDataCallback(StreamDataCallback callback) { m_streamDataCallback = callback; }
    const StreamTable& Streams() const { return m_streams; }
    const DecoderTable& Decoders() const { return m_decoders; }

    StreamDataCallback m_streamDataCallback = nullptr;

  protected:
    void OnRtmpMedia(CTCPNetUnpack* unpacker);
    const StreamRecord* FindRecordFor(const ConnectionKey& key) const;
    void IndexRecord(const std::string& digest, const StreamRecord& record);
    void ForgetOldestRecord();

    StreamTable m_streams;
    DecoderTable m_decoders;
    // Which record the media of a connection direction belongs to: the last one in digest order
    // whose endpoints are that direction's (either orientation).
    std::unordered_map<ConnectionKey, std::string, ConnectionKeyHash> m_recordByEndpoints;
    std::deque<std::string> m_recordOrder;  // digests, oldest first
};

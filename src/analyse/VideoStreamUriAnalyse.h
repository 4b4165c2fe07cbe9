#pragma once

#include <deque>
#include <string>
#include <unordered_map>

#include "analyse/RtspFollow.h"
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
    // RTMP connections whose media is rebuilt at once, at most.
    static constexpr size_t kMaxDecoders = 256;

    // Takes the filter rules from the application database; throws when it cannot be opened.
    CVideoStreamUriAnalyse();
    // With these filter rules, without the database (the console front end without one).
    explicit CVideoStreamUriAnalyse(std::list<NetDataFilterInfo> filters);
    ~CVideoStreamUriAnalyse() override;

    // 0 started, 1 the source could not be opened.
    int StartFromDevice(pcap_if_t* device) override;
    int StartFromFile(std::string path) override;
    int IsTcpSuppressed() override { return 0; }
    // A segment without payload neither starts, adds to nor decodes anything.
    bool HandlesEmptySegments() const final { return false; }
    void OnTCP(CTCPNetUnpack* unpacker) override;
    // RTP over UDP of the RTSP sessions followed; other frames cost one check.
    void OnIP(CTCPNetUnpack* unpacker) override;
    void OnStreamData(CNetUnpack* unpacker, StreamType type) override;
    void OnCaptureEnd() override;
    void AnalyseUri(CNetUnpack* unpacker, StreamType type) override;

    void SetStreamDataCallback(StreamDataCallback callback) { m_streamDataCallback = callback; }
    const StreamTable& Streams() const { return m_streams; }
    size_t DecoderCount() const { return m_decoderCount; }
    const RtspFollow& Rtsp() const { return m_rtsp; }

    StreamDataCallback m_streamDataCallback = nullptr;

  protected:
    void OnRtmpMedia(CTCPNetUnpack* unpacker, const ConnectionKey& key);
    void OnMediaBytes(TcpConnection& c, const unsigned char* data, int length) override;
    void OnMediaGap(TcpConnection& c, uint32_t length) override;
    void OnPublishing(TcpConnection& c) override;
    // The connection's decoder, made when there is room for one; null otherwise.
    CRtmp2H264AacDecoder* DecoderOf(RtmpMedia& media);
    void ForgetOldestRecord();

    StreamTable m_streams;
    size_t m_decoderCount = 0;
    std::deque<std::string> m_recordOrder;  // digests, oldest first
    RtspFollow m_rtsp;                      // RTSP sessions and their recordings
};

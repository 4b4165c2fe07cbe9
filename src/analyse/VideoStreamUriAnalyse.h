#pragma once

#include <deque>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "analyse/RtspFollow.h"
#include "analyse/TlsFollow.h"
#include "analyse/VideoStreamAnalyse.h"
#include "decoder/VideoStreamDecoder.h"
#include "http/HttpRecorder.h"

struct HttpRecordFlow;

// Receives decoded RTMP media: tag bytes, length, client address text, client port, server
// address text, server port, stream address. The texts are valid during the call only.
typedef void (*StreamDataCallback)(const unsigned char* data, int length, const char* clientIp,
                                   int clientPort, const char* serverIp, int serverPort,
                                   const char* address);

// How the analyser learns which RTMP streams are being recorded, so that it hands over only
// their tags and notes what a later recording of the others needs (see PrimeRtmpTags). Without
// them every tag goes to the stream-data callback.
struct RecordingHooks {
    bool (*wanted)(const char* address) = nullptr;
    uint64_t (*version)() = nullptr;  // changes whenever the answers may
    void (*prime)(const char* clientIp, int clientPort, const char* serverIp, int serverPort,
                  const CZMemory& firstVideoTag, const CZMemory& firstAudioConfig) = nullptr;
    bool Set() const { return wanted != nullptr && version != nullptr && prime != nullptr; }
};

// The MD5 digest of an address: the key of its record. Kept as its bytes, not as text, so that a
// lookup on every sighting hashes and compares two words.
struct StreamDigest {
    uint64_t words[2] = {0, 0};
    bool operator==(const StreamDigest& o) const {
        return words[0] == o.words[0] && words[1] == o.words[1];
    }
    static StreamDigest Of(const std::string& address);
};
struct StreamDigestHash {
    size_t operator()(const StreamDigest& d) const { return static_cast<size_t>(d.words[0]); }
};

struct StreamRecord {
    int clientPort = 0;
    int serverPort = 0;
    std::string address;
    std::string clientIp;  // "%d%d%d%d" of the octets
    std::string serverIp;
};

// The analyser a capture source runs: finds RTMP, RTSP and HTTP stream addresses, reports them
// through LogOut and hands RTMP media to the callback.
class CVideoStreamUriAnalyse : public CVideoStreamAnalyse, public TlsFollowListener {
  public:
    // Keyed by the digest of the address. Hashed rather than ordered: it holds up to
    // kMaxStreams records and is looked up on every sighting; nothing walks it in order.
    typedef std::unordered_map<StreamDigest, StreamRecord, StreamDigestHash> StreamTable;
    // Records beyond this give way, oldest first, so a flood of addresses stays bounded.
    static const size_t kMaxStreams = 50000;
    static const int kMaxTagsPerSegment = 1024;
    // RTMP connections whose media is rebuilt at once, at most.
    static constexpr size_t kMaxDecoders = 256;
    // HTTP connections followed for the recorder at once, at most.
    static constexpr size_t kMaxHttpFlows = 4096;

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
    // The HTTP connections still followed end with the capture, and their recordings with them.
    void OnCaptureEnd() override;
    void AnalyseUri(CNetUnpack* unpacker, StreamType type) override;

    void SetStreamDataCallback(StreamDataCallback callback) { m_streamDataCallback = callback; }
    void SetRecordingHooks(const RecordingHooks& hooks) { m_recording = hooks; }
    // The recording list will not change while this capture runs (the console's requests are all
    // given at its start): with nothing on it, RTSP sessions are not followed for a recording
    // that could only be asked for later.
    void SetRecordingListFixed(bool fixed) { m_listFixed = fixed; }
    const StreamTable& Streams() const { return m_streams; }
    size_t DecoderCount() const { return m_decoderCount; }
    size_t HttpFlowCount() const { return m_httpFlows.size(); }
    const HttpStreamRecorder* Recorder() const { return m_recorder.get(); }
    const RtspFollow& Rtsp() const { return m_rtsp; }
    // TLS sessions are decrypted with these keys; without, only counted. Before the start.
    void SetTlsKeyLog(std::unique_ptr<KeyLog> keys) { m_tls.SetKeyLog(std::move(keys)); }
    const TlsFollow& Tls() const { return m_tls; }

    void OnTlsAddress(StreamType type, const std::string& address,
                      const ConnectionKey& key) override;
    HttpExchangeSink* TlsHttpRecorder() override;
    void OnTlsRtmpMedia(RtmpMedia& media, const ConnectionKey& key, const unsigned char* data,
                        size_t length) override;
    void OnTlsRtmpGap(RtmpMedia& media, uint32_t length) override;
    RtspFollow* TlsRtsp() override { return m_anyRequest || !m_listFixed ? &m_rtsp : nullptr; }

    StreamDataCallback m_streamDataCallback = nullptr;
    RecordingHooks m_recording;

  protected:
    void OnRtmpMedia(CTCPNetUnpack* unpacker, const ConnectionKey& key);
    void OnMediaBytes(TcpConnection& c, const unsigned char* data, int length) override;
    // The next bytes of a connection's RTMP media through its decoder; key is client to server.
    void DecodeMedia(RtmpMedia& media, const ConnectionKey& key, const unsigned char* data,
                     int length);
    // A complete tag of the connection's media: handed to the callback, or noted while nobody
    // records the stream.
    void PassTag(RtmpMedia& media, const ConnectionKey& key, const CZMemory& tag, bool whole);
    // A sighting of an address: its line, the stream table; the media of c belongs to it.
    void Sight(StreamType type, const std::string& address, const ConnectionKey& endpoints,
               TcpConnection* c);
    void OnMediaGap(TcpConnection& c, uint32_t length) override;
    void OnPublishing(TcpConnection& c) override;
    // The connection's decoder, made when there is room for one; null otherwise.
    CRtmp2H264AacDecoder* DecoderOf(RtmpMedia& media);
    void ForgetOldestRecord();
    // The recorder of HTTP streams: the connections whose requests it may want, both directions.
    void OnHttpSegment(CTCPNetUnpack* unpacker, const ConnectionKey& key);
    void RefreshRecordingRequests(uint64_t version);
    void EndHttpFlows();
    void MakeRoomForHttpFlow();

    StreamTable m_streams;
    size_t m_decoderCount = 0;
    std::deque<StreamDigest> m_recordOrder;  // oldest first
    // Declared before the flows: their readers hand unfinished bodies back as they go.
    std::unique_ptr<HttpStreamRecorder> m_recorder;
    std::unordered_map<ConnectionKey, std::unique_ptr<HttpRecordFlow>, ConnectionKeyHash>
        m_httpFlows;
    std::list<ConnectionKey> m_httpOrder;  // of the flows, least recently used first
    uint64_t m_requestVersion = ~uint64_t{0};
    bool m_httpRecording = false;
    bool m_listFixed = false;
    bool m_anyRequest = false;  // the recording list names something, or records everything
    RtspFollow m_rtsp;          // RTSP sessions and their recordings
    TlsFollow m_tls{this};      // TLS sessions: their requests and media, or their count
};

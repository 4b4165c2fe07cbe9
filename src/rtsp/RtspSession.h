#pragma once
// Follows one RTSP session from the bytes of its control connection: the requests and responses
// that set it up, and the RTP it carries, interleaved in the connection or over UDP.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtsp/RtpDepacketise.h"
#include "rtsp/Sdp.h"

class RtspSession;

class RtspSessionListener {
  public:
    virtual ~RtspSessionListener() = default;
    // A whole access unit of track `track` (an index into the session's tracks).
    virtual void OnAccessUnit(RtspSession& session, size_t track, const AccessUnit& unit) = 0;
    // A sender report of track `track`: the RTP time `rtpTime` was `ntpUs` on the sender's clock.
    virtual void OnSenderReport(RtspSession& /*session*/, size_t /*track*/, int64_t /*ntpUs*/,
                                uint32_t /*rtpTime*/) {}
    // A request or response has been taken in: the addresses or the tracks may have changed.
    virtual void OnControl(RtspSession& /*session*/) {}
    // A request of the client, with the address of its request line; before OnControl.
    virtual void OnRequest(RtspSession& /*session*/, const std::string& /*method*/,
                           const std::string& /*url*/) {}
};

class RtspSession {
  public:
    // Bytes of one direction kept while a message or frame is incomplete: a `$` frame is at most
    // 65535 + 4 bytes; a message head at most kMaxHead, its body at most kMaxBody.
    static constexpr size_t kMaxHead = 16 * 1024;
    static constexpr size_t kMaxBody = 64 * 1024;
    static constexpr size_t kMaxAddresses = 32;
    static constexpr size_t kMaxPending = 32;
    static constexpr int kUdpWindow = 32;

    struct Track {
        SdpMedia media;
        std::string url;  // the address its SETUP named
        int rtpChannel = -1, rtcpChannel = -1;
        uint16_t clientRtpPort = 0, serverRtpPort = 0;
        uint16_t clientRtcpPort = 0, serverRtcpPort = 0;
        bool udp = false;
        bool setUp = false;             // a SETUP for it was answered
        std::unique_ptr<RtpTrack> rtp;  // once set up and its media wanted
    };

    explicit RtspSession(RtspSessionListener* listener) : m_listener(listener) {}

    // The next bytes of each direction, in order; a gap is bytes that will never come.
    void ClientBytes(const unsigned char* data, size_t length);
    void ServerBytes(const unsigned char* data, size_t length);
    void ClientGap();
    void ServerGap();
    // A UDP datagram between the session's endpoints; false when its ports are no track's.
    bool Datagram(uint16_t sourcePort, uint16_t destinationPort, const unsigned char* data,
                  size_t length);
    // The capture ends: what waits behind holes, and the last open units.
    void Flush();

    // Every address the session carried: DESCRIBE's, then each SETUP's.
    const std::vector<std::string>& Addresses() const { return m_addresses; }
    const std::vector<Track>& Tracks() const { return m_tracks; }
    bool Playing() const { return m_playing; }
    bool TornDown() const { return m_tornDown; }
    // The client has asked for TEARDOWN (its answer may not be read).
    bool TeardownAsked() const { return m_teardownAsked; }
    bool HasUdp() const;
    // Whether RTP is depacketised at all: a session nobody records only has its `$` frames
    // passed over (they are taken up again, from a key picture on, when it is switched on).
    void SetMediaWanted(bool wanted);
    bool MediaWanted() const { return m_mediaWanted; }

  private:
    struct Direction {
        std::vector<unsigned char> buffer;
        bool resync = false;    // after a gap or junk: looking for a frame or message start
        bool lineStart = true;  // the byte before the buffer ended a line
        size_t skip = 0;        // bytes of a frame passed over that are still to come
    };
    struct Message {
        bool response = false;
        int status = 0;
        std::string method, url;
        std::string head;  // header lines
        std::string body;
        long cseq = -1;
    };
    struct Pending {
        long cseq;
        std::string method, url;
    };

    void Bytes(Direction& d, bool fromServer, const unsigned char* data, size_t length);
    // Length of what starts the buffer when it is complete; 0 to wait; -1 not a start.
    long Complete(const unsigned char* b, size_t n, bool fromServer, Message* message) const;
    bool Plausible(const Direction& d, const unsigned char* b, size_t n, size_t at,
                   bool fromServer) const;
    // Takes in the whole frames and messages at the start of b; returns the bytes used.
    size_t Parse(Direction& d, bool fromServer, const unsigned char* b, size_t n);
    void Frame(int channel, const unsigned char* data, size_t length);
    void Rtcp(size_t track, const unsigned char* data, size_t length);
    void OnMessage(const Message& m);
    void OnResponse(const Pending& request, const Message& response);
    void AddAddress(const std::string& address);
    Track* TrackForUrl(const std::string& url);
    void SetUp(Track& t, const std::string& transport);

    RtspSessionListener* m_listener;
    Direction m_client, m_server;
    std::vector<Pending> m_pending;        // requests waiting for their response
    std::vector<Message> m_early;          // responses whose request is still behind a hole
    std::vector<std::string> m_addresses;  // bounded by kMaxAddresses
    std::vector<Track> m_tracks;
    std::string m_base;  // the address relative controls resolve against
    bool m_playing = false;
    bool m_tornDown = false;
    bool m_teardownAsked = false;
    bool m_mediaWanted = true;
};

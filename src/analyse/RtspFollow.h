#pragma once
// Follows the RTSP sessions the analyser sees and records those asked for: both directions of the
// control connection reassembled, the session's RTP depacketised, the access units of a
// requested session written to Videos/<connection>.mkv.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "flow/ConnectionKey.h"
#include "flow/TcpReassembler.h"
#include "netunpack/NetUnpack.h"
#include "rtsp/MediaWriter.h"
#include "rtsp/RtspSession.h"

class RtspFollow : public RtspSessionListener {
  public:
    // Sessions followed at once; more are not followed.
    static constexpr size_t kMaxSessions = 64;
    // A session silent this long (capture time) gives its place to a new one when all are taken.
    static constexpr int64_t kIdleUs = int64_t{30} * 1000 * 1000;
    // Audio units kept while a file waits for its first key picture.
    static constexpr size_t kMaxWaiting = 256;

    // Bytes all followed sessions may hold behind holes, apart from the detection's own budget.
    static constexpr size_t kReassemblyCap = size_t{16} << 20;

    RtspFollow() : m_memory(kReassemblyCap) {}
    ~RtspFollow() override;

    // Nothing is followed: a segment costs this one check.
    bool Idle() const { return m_sessions.empty(); }
    // Whether a segment with this key may belong to a followed session: its server port is one
    // a followed session's server uses.
    bool Watches(const ConnectionKey& key) const {
        return m_serverPorts[key.srcPort] != 0 || m_serverPorts[key.dstPort] != 0;
    }
    // A TCP segment with payload, `key` its direction; `starts` when it was classified RTSP.
    void Segment(CTCPNetUnpack* u, const ConnectionKey& key, bool starts, int64_t timeUs);
    // A UDP datagram between two endpoints; false when it is no followed session's RTP.
    bool Datagram(const ConnectionKey& key, const unsigned char* data, size_t length,
                  int64_t timeUs);
    // The capture ends: every file gets what is still held, then is closed.
    void Finish();

    // A session whose control connection comes in order from elsewhere (RTSP decrypted from
    // TLS), `key` client to server; each request goes to `requests` too. False when the session
    // is not followed (no room, or it began with the server's bytes): the caller reads it alone.
    bool Bytes(const ConnectionKey& key, bool fromServer, const unsigned char* data, size_t length,
               int64_t timeUs, RtspSessionListener* requests);
    void Gap(const ConnectionKey& key, bool fromServer);
    void Close(const ConnectionKey& key) { End(key); }

    void OnAccessUnit(RtspSession& session, size_t track, const AccessUnit& unit) override;
    void OnControl(RtspSession& session) override;
    void OnRequest(RtspSession& session, const std::string& method,
                   const std::string& url) override;
    void OnSenderReport(RtspSession& session, size_t track, int64_t ntpUs,
                        uint32_t rtpTime) override;
    // How often, in capture time, a session nobody records asks the recording list again.
    static constexpr int64_t kRecheckUs = 200 * 1000;

    size_t Sessions() const { return m_sessions.size(); }
    size_t UdpSessions() const { return m_udp; }
    // The files written so far (tests).
    const std::vector<std::string>& Files() const { return m_files; }

  private:
    struct TrackClock {
        bool started = false;
        uint32_t first = 0;  // RTP time of the track's first unit
        uint32_t last = 0;
        int64_t units = 0;      // the unit's time since the track's first, in its clock
        int64_t firstUs = 0;    // capture time of the track's first unit
        bool reported = false;  // a sender report came: RTP time `reportRtp` was `reportUs`
        int64_t reportUs = 0;
        uint32_t reportRtp = 0;
    };
    struct Waiting {
        size_t track;
        int64_t units;
        bool key;
        std::vector<unsigned char> bytes;
    };
    struct Entry {
        Entry(const ConnectionKey& key, FlowMemory* memory, RtspSessionListener* listener)
            : flow(key, memory), session(listener) {}
        TcpFlow flow;
        RtspSession session;
        MediaWriter writer;
        std::vector<int> streamOf;  // session track -> file stream, or -1
        std::vector<TrackClock> clocks;
        std::vector<Waiting> waiting;
        int64_t startUs = -1;  // the file's zero, once known
        // The file's clock: the senders' (every track had a sender report when it opened), else
        // the capture's, which aligns the tracks by the arrival of their first units.
        bool senderClock = false;
        bool wanted = false;     // a request names the session: its media is depacketised
        bool fromStart = false;  // it did before the media began
        bool wasPlaying = false;
        bool failed = false;
        bool writeReported = false;
        // Playing and recorded by nobody: the server's bytes are not even put in order. They are
        // taken up again, from the next frame found, when a request names the session.
        bool dormant = false;
        bool serverFin = false;  // seen while dormant
        bool udp = false;
        // The control connection's bytes come from elsewhere, not from segments.
        RtspSessionListener* external = nullptr;
        int64_t checkedUs = 0;  // capture time the recording list was last asked
        int64_t seenUs = 0;     // capture time of its last segment
        std::string path;
    };

    void Deliver(Entry& e, TcpFlow::Direction d, CTCPNetUnpack* u);
    bool Requested(const Entry& e) const;
    // Asks the recording list; a session asked for from here on has its media depacketised.
    void Recheck(Entry& e, bool fromStart);
    bool Open(Entry& e, size_t track, const AccessUnit& unit);
    // When the track's first unit was, and a unit `units` after it, on the file's clock.
    int64_t FirstUs(const Entry& e, size_t track) const;
    int64_t UnitUs(const Entry& e, size_t track, int64_t units) const;
    // `units`: the unit's time since the track's first, in the track's clock.
    void Write(Entry& e, size_t track, const unsigned char* data, size_t size, int64_t units,
               bool key);
    void End(const ConnectionKey& key);
    // Ends the sessions silent for kIdleUs; true when one was.
    bool EndIdle();

    FlowMemory m_memory;
    std::unordered_map<ConnectionKey, std::unique_ptr<Entry>, ConnectionKeyHash> m_sessions;
    Entry* m_current = nullptr;
    int64_t m_nowUs = 0;
    size_t m_udp = 0;  // sessions with RTP over UDP
    std::vector<std::string> m_files;
    std::vector<uint16_t> m_serverPorts = std::vector<uint16_t>(65536);  // sessions per port
};

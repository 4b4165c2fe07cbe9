#include "analyse/RtspFollow.h"

#include <sys/stat.h>

#include <cstring>

#include "common/LogOut.h"
#include "decoder/FlvWriter.h"
#include "platform/AppDirectory.h"

namespace {

// <name>.mkv, or <name>-N.mkv when an earlier run left a recording there.
std::string ChoosePath(const std::string& folder, const std::string& name) {
    std::string path = folder + "/" + name + ".mkv";
    for (int n = 2; n < 100000; ++n) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) break;
        path = folder + "/" + name + "-" + std::to_string(n) + ".mkv";
    }
    return path;
}

bool IsVideoTrack(const RtspSession::Track& t) {
    return t.rtp && t.rtp->Depacketiser() != nullptr && t.rtp->Depacketiser()->IsVideo();
}

}  // namespace

RtspFollow::~RtspFollow() {
    Finish();
}

void RtspFollow::Segment(CTCPNetUnpack* u, const ConnectionKey& key, bool starts, int64_t timeUs) {
    m_nowUs = timeUs;
    // Most segments are the server's media: its direction is looked up first.
    const bool fromServer = m_serverPorts[key.srcPort] != 0;
    TcpFlow::Direction d = fromServer ? TcpFlow::kToClient : TcpFlow::kToServer;
    auto it = m_sessions.find(fromServer ? key.Reverse() : key);
    if (it == m_sessions.end()) {
        it = m_sessions.find(fromServer ? key : key.Reverse());
        d = fromServer ? TcpFlow::kToServer : TcpFlow::kToClient;
    }
    if (it == m_sessions.end()) {
        // A request opens a session; a response alone is a session begun before the capture.
        const unsigned char* p = u->Payload();
        if (!starts || p == nullptr || p[0] < 'A' || p[0] > 'Z' ||
            (u->PayloadLen() >= 5 && std::memcmp(p, "RTSP/", 5) == 0))
            return;
        if (m_sessions.size() >= kMaxSessions && !EndIdle()) return;
        std::unique_ptr<Entry> e(new Entry(key, &m_memory, this));
        e->session.SetMediaWanted(false);
        e->checkedUs = timeUs;
        ++m_serverPorts[key.dstPort];
        e->flow.ToServer().Start(u->SequenceNumber());
        if ((u->TcpFlags() & CTCPNetUnpack::kAck) != 0)
            e->flow.ToClient().Start(u->AcknowledgementNumber());
        it = m_sessions.emplace(key, std::move(e)).first;
        d = TcpFlow::kToServer;
    }
    Entry& e = *it->second;
    // A session of the same connection read from its decrypted bytes: these are the records.
    if (e.external != nullptr) return;
    e.seenUs = timeUs;
    if (!e.wanted && timeUs - e.checkedUs >= kRecheckUs) Recheck(e, !e.session.Playing());
    if (d == TcpFlow::kToClient && !e.wanted && e.session.Playing() && !e.session.HasUdp()) {
        e.dormant = true;
        if ((u->TcpFlags() & CTCPNetUnpack::kFin) != 0) e.serverFin = true;
    } else {
        if (d == TcpFlow::kToClient && e.dormant) {
            // Woken: the server's bytes go on from here, the framing found again.
            e.dormant = false;
            e.flow.ToClient().Start(u->SequenceNumber());
            e.session.ServerGap();
        }
        Deliver(e, d, u);
    }
    const bool udp = e.session.HasUdp();
    if (udp != e.udp) {
        e.udp = udp;
        udp ? ++m_udp : --m_udp;
    }
    const bool over = e.session.TornDown() || (e.dormant && e.session.TeardownAsked()) ||
                      (u->TcpFlags() & CTCPNetUnpack::kRst) != 0 ||
                      (e.flow.ToServer().FinSeen() && (e.serverFin || e.flow.ToClient().FinSeen()));
    if (over) End(it->first);
}

bool RtspFollow::Bytes(const ConnectionKey& key, bool fromServer, const unsigned char* data,
                       size_t length, int64_t timeUs, RtspSessionListener* requests) {
    m_nowUs = timeUs;
    auto it = m_sessions.find(key);
    if (it == m_sessions.end()) {
        if (fromServer) return false;
        if (m_sessions.size() >= kMaxSessions && !EndIdle()) return false;
        std::unique_ptr<Entry> e(new Entry(key, &m_memory, this));
        e->session.SetMediaWanted(false);
        e->checkedUs = timeUs;
        e->external = requests;
        it = m_sessions.emplace(key, std::move(e)).first;
    }
    Entry& e = *it->second;
    if (e.external == nullptr) return false;
    e.seenUs = timeUs;
    if (!e.wanted && timeUs - e.checkedUs >= kRecheckUs) Recheck(e, !e.session.Playing());
    m_current = &e;
    fromServer ? e.session.ServerBytes(data, length) : e.session.ClientBytes(data, length);
    m_current = nullptr;
    const bool udp = e.session.HasUdp();
    if (udp != e.udp) {
        e.udp = udp;
        udp ? ++m_udp : --m_udp;
    }
    if (e.session.TornDown()) End(key);
    return true;
}

void RtspFollow::Gap(const ConnectionKey& key, bool fromServer) {
    auto it = m_sessions.find(key);
    if (it == m_sessions.end() || it->second->external == nullptr) return;
    Entry& e = *it->second;
    m_current = &e;
    fromServer ? e.session.ServerGap() : e.session.ClientGap();
    m_current = nullptr;
}

void RtspFollow::Deliver(Entry& e, TcpFlow::Direction d, CTCPNetUnpack* u) {
    class Sink : public ReassemblySink {
      public:
        Sink(RtspSession& s, TcpFlow::Direction d) : m_s(s), m_d(d) {}
        void OnBytes(const unsigned char* data, int length) override {
            if (length <= 0) return;
            if (m_d == TcpFlow::kToServer) {
                m_s.ClientBytes(data, static_cast<size_t>(length));
            } else {
                m_s.ServerBytes(data, static_cast<size_t>(length));
            }
        }
        void OnGap(uint32_t) override {
            m_d == TcpFlow::kToServer ? m_s.ClientGap() : m_s.ServerGap();
        }

      private:
        RtspSession& m_s;
        TcpFlow::Direction m_d;
    } sink(e.session, d);
    m_current = &e;
    TcpReassembler& r = e.flow.Of(d);
    if (u == nullptr) {
        r.Flush(sink);
    } else {
        const uint8_t flags = u->TcpFlags();
        r.Segment(u->SequenceNumber(), u->Payload(), u->PayloadLen(),
                  (flags & CTCPNetUnpack::kSyn) != 0, (flags & CTCPNetUnpack::kFin) != 0, m_nowUs,
                  sink);
    }
    m_current = nullptr;
}

bool RtspFollow::Datagram(const ConnectionKey& key, const unsigned char* data, size_t length,
                          int64_t timeUs) {
    if (m_udp == 0) return false;
    for (auto& entry : m_sessions) {
        Entry& e = *entry.second;
        const ConnectionKey& control = e.flow.Key();
        // From the server to the client of the control connection.
        if (!e.udp || std::memcmp(control.dst, key.src, 16) != 0 ||
            std::memcmp(control.src, key.dst, 16) != 0)
            continue;
        m_nowUs = timeUs;
        m_current = &e;
        const bool taken = e.session.Datagram(key.srcPort, key.dstPort, data, length);
        m_current = nullptr;
        if (taken) return true;
    }
    return false;
}

void RtspFollow::End(const ConnectionKey& key) {
    auto it = m_sessions.find(key);
    if (it == m_sessions.end()) return;
    Entry& e = *it->second;
    m_current = &e;
    try {
        e.session.Flush();
    } catch (...) {
    }
    m_current = nullptr;
    if (e.writer.IsOpen()) {
        e.writer.Close();
        LogOut(LOG_INFO, "RTSP recording ended: " + e.path);
    }
    if (e.udp) --m_udp;
    if (e.external == nullptr) --m_serverPorts[e.flow.Key().dstPort];
    m_sessions.erase(it);
}

bool RtspFollow::EndIdle() {
    std::vector<ConnectionKey> idle;
    for (auto& entry : m_sessions) {
        if (m_nowUs - entry.second->seenUs >= kIdleUs) idle.push_back(entry.first);
    }
    for (const ConnectionKey& k : idle) End(k);
    return !idle.empty();
}

void RtspFollow::Finish() {
    std::vector<ConnectionKey> keys;
    for (auto& entry : m_sessions) {
        Entry& e = *entry.second;
        try {
            Deliver(e, TcpFlow::kToServer, nullptr);
            Deliver(e, TcpFlow::kToClient, nullptr);
        } catch (...) {
        }
        keys.push_back(entry.first);
    }
    for (const ConnectionKey& k : keys) End(k);
}

void RtspFollow::OnControl(RtspSession& session) {
    if (m_current == nullptr || &m_current->session != &session) return;
    Entry& e = *m_current;
    // A request that names the session by the time it plays records it from its start.
    if (!e.wanted) Recheck(e, !e.wasPlaying);
    e.wasPlaying = session.Playing();
}

void RtspFollow::OnRequest(RtspSession& session, const std::string& method,
                           const std::string& url) {
    if (m_current == nullptr || &m_current->session != &session) return;
    if (m_current->external != nullptr) m_current->external->OnRequest(session, method, url);
}

void RtspFollow::Recheck(Entry& e, bool fromStart) {
    e.checkedUs = m_nowUs;
    if (e.wanted || !Requested(e)) return;
    e.wanted = true;
    e.fromStart = fromStart;
    e.session.SetMediaWanted(true);
}

bool RtspFollow::Requested(const Entry& e) const {
    for (const std::string& a : e.session.Addresses()) {
        if (IsRecordingRequested(a.c_str())) return true;
    }
    return false;
}

int64_t RtspFollow::FirstUs(const Entry& e, size_t track) const {
    const TrackClock& c = e.clocks[track];
    const int64_t clock = e.session.Tracks()[track].media.clockRate;
    if (!e.senderClock || !c.reported || clock <= 0) return c.firstUs;
    return c.reportUs - int64_t{static_cast<int32_t>(c.reportRtp - c.first)} * 1000000 / clock;
}

int64_t RtspFollow::UnitUs(const Entry& e, size_t track, int64_t units) const {
    const uint32_t clock = e.session.Tracks()[track].media.clockRate;
    return FirstUs(e, track) + (clock > 0 ? units * 1000000 / clock : 0);
}

void RtspFollow::OnSenderReport(RtspSession& session, size_t track, int64_t ntpUs,
                                uint32_t rtpTime) {
    if (m_current == nullptr || &m_current->session != &session) return;
    Entry& e = *m_current;
    if (track >= session.Tracks().size()) return;
    if (e.clocks.size() < session.Tracks().size()) e.clocks.resize(session.Tracks().size());
    // Once a file is on the senders' clock, the first report of each track stays its anchor.
    TrackClock& c = e.clocks[track];
    if (c.reported && e.writer.IsOpen()) return;
    c.reported = true;
    c.reportUs = ntpUs;
    c.reportRtp = rtpTime;
}

void RtspFollow::OnAccessUnit(RtspSession& session, size_t track, const AccessUnit& unit) {
    if (m_current == nullptr || &m_current->session != &session) return;
    Entry& e = *m_current;
    const std::vector<RtspSession::Track>& tracks = session.Tracks();
    if (track >= tracks.size()) return;
    if (e.clocks.size() < tracks.size()) e.clocks.resize(tracks.size());
    TrackClock& c = e.clocks[track];
    if (!c.started) {
        c.started = true;
        c.first = unit.rtpTime;
        c.last = unit.rtpTime;
        c.firstUs = m_nowUs;
    } else {
        c.units += static_cast<int32_t>(unit.rtpTime - c.last);
        c.last = unit.rtpTime;
    }
    if (e.failed) return;
    const bool video = IsVideoTrack(tracks[track]);

    if (!e.writer.IsOpen()) {
        bool hasVideo = false;
        for (const RtspSession::Track& t : tracks) hasVideo = hasVideo || IsVideoTrack(t);
        if (hasVideo && !(video && unit.key && tracks[track].rtp->Depacketiser()->HasConfig())) {
            if (!video && e.waiting.size() < kMaxWaiting)
                e.waiting.push_back(
                    Waiting{track, c.units, unit.key,
                            std::vector<unsigned char>(unit.data, unit.data + unit.size)});
            return;
        }
        // The senders' clock when every track that will be written has reported.
        e.senderClock = true;
        for (size_t i = 0; i < tracks.size(); ++i) {
            if (tracks[i].rtp && tracks[i].rtp->Depacketiser() != nullptr &&
                (i >= e.clocks.size() || !e.clocks[i].reported))
                e.senderClock = false;
        }
        // Recorded from its start, the file's zero is the earliest first unit; asked for
        // halfway, the key picture it starts with (audio before it is dropped).
        e.startUs = UnitUs(e, track, c.units);
        if (e.fromStart) {
            for (size_t i = 0; i < e.clocks.size(); ++i) {
                if (e.clocks[i].started && FirstUs(e, i) < e.startUs) e.startUs = FirstUs(e, i);
            }
        }
        if (!Open(e, track, unit)) {
            e.failed = true;
            return;
        }
        for (const Waiting& w : e.waiting) {
            if (UnitUs(e, w.track, w.units) >= e.startUs)
                Write(e, w.track, w.bytes.data(), w.bytes.size(), w.units, w.key);
        }
        e.waiting.clear();
        e.waiting.shrink_to_fit();
    }
    if (!video && UnitUs(e, track, c.units) < e.startUs) return;
    Write(e, track, unit.data, unit.size, c.units, unit.key);
}

void RtspFollow::Write(Entry& e, size_t track, const unsigned char* data, size_t size,
                       int64_t units, bool key) {
    if (track >= e.streamOf.size() || e.streamOf[track] < 0) return;
    const int64_t clock = e.session.Tracks()[track].media.clockRate;
    // In the track's clock from the file's zero: whole ticks apart, as the RTP times are.
    const int64_t pts = units + (FirstUs(e, track) - e.startUs) * clock / 1000000;
    if (!e.writer.Write(static_cast<size_t>(e.streamOf[track]), data, size, pts, key) &&
        !e.writeReported) {
        // Once per file: a full disk would otherwise say so for every unit.
        e.writeReported = true;
        LogOut(LOG_ERROR, "Cannot write the recording file " + e.path);
    }
}

bool RtspFollow::Open(Entry& e, size_t track, const AccessUnit& unit) {
    const std::vector<RtspSession::Track>& tracks = e.session.Tracks();
    std::vector<MediaTrackFormat> formats;
    e.streamOf.assign(tracks.size(), -1);
    for (size_t i = 0; i < tracks.size(); ++i) {
        const RtspSession::Track& t = tracks[i];
        if (!t.rtp || t.rtp->Depacketiser() == nullptr || t.media.clockRate == 0) continue;
        const RtpDepacketiser& dep = *t.rtp->Depacketiser();
        if (!dep.HasConfig()) continue;
        MediaTrackFormat f;
        f.codec = t.rtp->Codec();
        f.clockRate = t.media.clockRate;
        f.channels = t.media.channels;
        f.config = dep.Config();
        if (i == track && dep.IsVideo()) f.sample.assign(unit.data, unit.data + unit.size);
        e.streamOf[i] = static_cast<int>(formats.size());
        formats.push_back(std::move(f));
    }
    if (formats.empty()) return false;

    const ConnectionKey& k = e.flow.Key();
    const std::string folder = GetAppDirectory() + "/Videos";
    platform::MakeFolders(folder);
    // Named by the connection's endpoints only: nothing from the wire becomes part of a path.
    e.path = ChoosePath(
        folder, ConnectionKey::AddressText(k.src, k.ipv6 != 0) + std::to_string(k.srcPort) +
                    ConnectionKey::AddressText(k.dst, k.ipv6 != 0) + std::to_string(k.dstPort));
    std::string error;
    if (!e.writer.Open(e.path, formats, &error)) {
        LogOut(LOG_ERROR, "Cannot write the recording file " + e.path + ": " + error);
        return false;
    }
    m_files.push_back(e.path);
    const std::string address = e.session.Addresses().empty() ? "" : e.session.Addresses()[0];
    LogOut(LOG_INFO, "RTSP recording of " + address + " goes to " + e.path);
    LogOut(LOG_STATUS, "正在录制RTSP流：" + e.path);
    return true;
}

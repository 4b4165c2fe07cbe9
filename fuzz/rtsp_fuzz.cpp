// An RTSP session from both directions of its control connection, and RTP depacketising. The
// input is records of one kind byte, a 2-byte big-endian length and that many bytes (fewer if
// the input ends). Kind & 3: 0 the client's bytes, 1 the server's, 2 a gap (kind & 4: the
// server's direction), 3 a UDP datagram whose first 4 bytes are its source and destination
// ports; kind & 8 first switches the session's depacketising off or on (the frames of a session
// nobody records are passed over). Every record is also parsed as a session description and given,
// as one RTP packet, to fixed H.264, H.265, AAC and G.711 tracks, in order and through a reordering
// window, and read as RTCP for a sender report. Checks: every access unit is non-empty and within
// its bound, the tracks and addresses within theirs.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"
#include "rtsp/RtpDepacketise.h"
#include "rtsp/RtspSession.h"
#include "rtsp/Sdp.h"

namespace {

void Fail(const char* what) {
    std::fprintf(stderr, "rtsp invariant: %s\n", what);
    std::abort();
}

void CheckUnit(const AccessUnit& u) {
    if (u.data == nullptr || u.size == 0 || u.size > RtpDepacketiser::kMaxAccessUnit)
        Fail("access unit out of bounds");
    // Every byte is read: a unit pointing outside what was given is an ASan report.
    volatile unsigned char sum = 0;
    for (size_t i = 0; i < u.size; ++i) sum = static_cast<unsigned char>(sum + u.data[i]);
}

struct Listener : RtspSessionListener {
    void OnAccessUnit(RtspSession& s, size_t track, const AccessUnit& u) override {
        if (track >= s.Tracks().size()) Fail("unit of no track");
        CheckUnit(u);
    }
};

struct Sink : AccessUnitSink {
    void OnAccessUnit(const AccessUnit& u) override { CheckUnit(u); }
};

SdpMedia Media(const char* encoding, int pt, uint32_t clock, const char* fmtp) {
    SdpMedia m;
    m.payloadType = pt;
    m.encoding = encoding;
    m.clockRate = clock;
    m.fmtp = fmtp;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Listener listener;
    RtspSession session(&listener);
    Sink sink;
    const SdpMedia media[] = {
        Media("H264", 96, 90000, "sprop-parameter-sets=Z0IACpZUBQHsgA==,aM4G4g=="),
        Media("H265", 96, 90000, "sprop-vps=QAEMAf//;sprop-sps=QgEB;sprop-pps=RAHA"),
        Media("MPEG4-GENERIC", 96, 44100,
              "mode=AAC-hbr;config=1208;sizelength=13;indexlength=3;indexdeltalength=3"),
        Media("PCMU", 96, 8000, ""),
    };
    std::vector<std::unique_ptr<RtpTrack>> tracks;
    for (const SdpMedia& m : media) {
        tracks.push_back(std::make_unique<RtpTrack>(m, 0));
        tracks.push_back(std::make_unique<RtpTrack>(m, 8));
    }

    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t kind = data[at];
        size_t length = (static_cast<size_t>(data[at + 1]) << 8) | data[at + 2];
        at += 3;
        if (length > size - at) length = size - at;
        const fuzzsupport::ExactCopy chunk(data + at, length);
        at += length;
        const unsigned char* b = chunk.data();
        const size_t n = length;

        if ((kind & 8) != 0) session.SetMediaWanted(!session.MediaWanted());
        switch (kind & 3) {
            case 0:
                session.ClientBytes(b, n);
                break;
            case 1:
                session.ServerBytes(b, n);
                break;
            case 2:
                (kind & 4) != 0 ? session.ServerGap() : session.ClientGap();
                break;
            default:
                if (n >= 4) {
                    const fuzzsupport::ExactCopy rest(b + 4, n - 4);
                    session.Datagram(static_cast<uint16_t>((b[0] << 8) | b[1]),
                                     static_cast<uint16_t>((b[2] << 8) | b[3]), rest.data(), n - 4);
                }
                break;
        }
        if (session.Tracks().size() > kMaxSdpMedia) Fail("too many tracks");
        if (session.Addresses().size() > RtspSession::kMaxAddresses) Fail("too many addresses");

        SdpDescription sdp;
        ParseSdp(reinterpret_cast<const char*>(b), n, &sdp);
        if (sdp.media.size() > kMaxSdpMedia) Fail("too many media");
        for (auto& t : tracks) t->Receive(b, n, sink);
        int64_t ntpUs;
        uint32_t rtpTime;
        ParseSenderReport(b, n, &ntpUs, &rtpTime);
    }
    session.Flush();
    for (auto& t : tracks) t->Flush(sink);
    return 0;
}

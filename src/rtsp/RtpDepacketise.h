#pragma once
// RTP packets to access units: the fixed header, ordering by sequence number, and the payload
// formats of H.264, H.265, AAC (mpeg4-generic) and G.711.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rtsp/Sdp.h"

struct RtpPacket {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    const unsigned char* payload = nullptr;
    size_t payloadLength = 0;
};

// False when the bytes are not an RTP version 2 packet whose padding, CSRC list and extension
// fit inside them.
bool ParseRtp(const unsigned char* data, size_t length, RtpPacket* out);

// The sender report in a compound RTCP packet: its NTP time (microseconds since 1900) and the RTP
// time of the same instant. False when there is none, or a packet's length leaves the bytes.
bool ParseSenderReport(const unsigned char* data, size_t length, int64_t* ntpUs, uint32_t* rtpTime);

enum class RtpCodec { Unknown, H264, H265, Aac, Pcmu, Pcma };

RtpCodec CodecOf(const SdpMedia& media);

struct AccessUnit {
    const unsigned char* data = nullptr;  // Annex B for video, raw frames for audio
    size_t size = 0;
    uint32_t rtpTime = 0;
    bool key = false;  // video: holds an IDR/IRAP picture; audio: always
};

class AccessUnitSink {
  public:
    virtual ~AccessUnitSink() = default;
    virtual void OnAccessUnit(const AccessUnit& unit) = 0;
};

// One payload format: packets in sequence order in, whole access units out.
class RtpDepacketiser {
  public:
    // An access unit larger than this is dropped rather than grown further.
    static constexpr size_t kMaxAccessUnit = size_t{4} << 20;

    virtual ~RtpDepacketiser() = default;
    static std::unique_ptr<RtpDepacketiser> Make(const SdpMedia& media);

    virtual void Packet(const RtpPacket& p, AccessUnitSink& sink) = 0;
    // One or more packets are missing before the next one given.
    virtual void Lost() = 0;
    // The stream ends: a unit still open is given out if it is whole.
    virtual void Flush(AccessUnitSink& /*sink*/) {}
    // The codec configuration the container needs: Annex B parameter sets for video (from the
    // description, else the last seen in band), the AudioSpecificConfig for AAC.
    virtual std::vector<unsigned char> Config() const { return {}; }
    // Whether Config() is complete enough to start a file.
    virtual bool HasConfig() const { return true; }
    virtual bool IsVideo() const { return false; }
};

// The packets of one track, put in sequence order before the depacketiser sees them. With a
// window of 0 (RTP over TCP, already in order) a jump in sequence numbers is a loss at once;
// otherwise up to `window` packets wait for a hole to fill (UDP reorders).
class RtpTrack {
  public:
    static constexpr int kMaxWindow = 64;

    RtpTrack(const SdpMedia& media, int window);

    // One RTP packet of the track.
    void Receive(const unsigned char* data, size_t length, AccessUnitSink& sink);
    // Delivers what waits behind holes, then the last open unit.
    void Flush(AccessUnitSink& sink);

    const SdpMedia& Media() const { return m_media; }
    RtpCodec Codec() const { return m_codec; }
    RtpDepacketiser* Depacketiser() const { return m_dep.get(); }
    uint64_t Packets() const { return m_packets; }
    uint64_t Losses() const { return m_losses; }

  private:
    void Deliver(const unsigned char* data, size_t length, AccessUnitSink& sink);
    void Advance(AccessUnitSink& sink);
    void DeliverHeld(AccessUnitSink& sink);

    SdpMedia m_media;
    RtpCodec m_codec;
    std::unique_ptr<RtpDepacketiser> m_dep;
    int m_window;
    bool m_started = false;
    uint16_t m_next = 0;
    int m_held = 0;
    struct Slot {
        bool used = false;
        uint16_t sequence = 0;
        std::vector<unsigned char> bytes;
    };
    std::vector<Slot> m_slots;
    uint64_t m_packets = 0;
    uint64_t m_losses = 0;
};

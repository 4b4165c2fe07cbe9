#include "rtsp/RtpDepacketise.h"

#include <cctype>
#include <cstring>
#include <string>

#include "common/ByteReader.h"

bool ParseRtp(const unsigned char* data, size_t length, RtpPacket* out) {
    ByteReader r(data, length);
    const uint8_t b0 = r.U8();
    const uint8_t b1 = r.U8();
    out->sequence = r.Be16();
    out->timestamp = r.Be32();
    out->ssrc = r.Be32();
    if (!r.Ok() || (b0 >> 6) != 2) return false;
    out->marker = (b1 & 0x80) != 0;
    out->payloadType = b1 & 0x7f;
    if (!r.Skip(size_t{4} * (b0 & 0x0f))) return false;  // CSRC list
    if ((b0 & 0x10) != 0) {
        r.Skip(2);
        const uint16_t words = r.Be16();
        if (!r.Ok() || !r.Skip(size_t{4} * words)) return false;
    }
    size_t end = length;
    if ((b0 & 0x20) != 0) {
        const size_t pad = data[length - 1];
        if (pad == 0 || pad > r.Remaining()) return false;
        end -= pad;
    }
    out->payload = r.Here();
    out->payloadLength = end - r.Position();
    return true;
}

bool ParseSenderReport(const unsigned char* data, size_t length, int64_t* ntpUs,
                       uint32_t* rtpTime) {
    ByteReader r(data, length);
    for (int n = 0; n < 16 && r.Remaining() >= 4; ++n) {
        const size_t at = r.Position();
        const uint8_t b0 = r.U8();
        const uint8_t type = r.U8();
        const size_t bytes = (size_t{r.Be16()} + 1) * 4;
        if ((b0 >> 6) != 2 || !r.Seek(at) || !r.Has(bytes)) return false;
        if (type == 200 && bytes >= 28) {
            const uint64_t seconds = r.Be32At(at + 8);
            const uint64_t fraction = r.Be32At(at + 12);
            *ntpUs = static_cast<int64_t>(seconds * 1000000 + ((fraction * 1000000) >> 32));
            *rtpTime = r.Be32At(at + 16);
            return true;
        }
        r.Skip(bytes);
    }
    return false;
}

RtpCodec CodecOf(const SdpMedia& m) {
    if (m.encoding == "H264") return RtpCodec::H264;
    if (m.encoding == "H265") return RtpCodec::H265;
    if (m.encoding == "PCMU") return RtpCodec::Pcmu;
    if (m.encoding == "PCMA") return RtpCodec::Pcma;
    if (m.encoding == "MPEG4-GENERIC") {
        std::string mode = m.Param("mode");
        for (char& c : mode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (mode == "aac-hbr" && !m.Param("config").empty()) return RtpCodec::Aac;
    }
    return RtpCodec::Unknown;
}

namespace {

const unsigned char kStartCode[4] = {0, 0, 0, 1};

// H.264 and H.265 share the shape of their payload formats: single NAL units, aggregation packets
// of 16-bit sized units, and fragmentation units; only the header sizes and type numbers differ.
class VideoDepacketiser : public RtpDepacketiser {
  public:
    explicit VideoDepacketiser(const SdpMedia& m) : m_h265(CodecOf(m) == RtpCodec::H265) {
        std::vector<unsigned char> nal;
        if (m_h265) {
            for (const char* name : {"sprop-vps", "sprop-sps", "sprop-pps"}) {
                const std::string sets = m.Param(name);
                size_t at = 0;
                while (at <= sets.size()) {
                    size_t comma = sets.find(',', at);
                    if (comma == std::string::npos) comma = sets.size();
                    if (DecodeBase64(sets.substr(at, comma - at), &nal)) KeepParameterSet(nal);
                    at = comma + 1;
                }
            }
        } else {
            const std::string sets = m.Param("sprop-parameter-sets");
            size_t at = 0;
            while (at <= sets.size()) {
                size_t comma = sets.find(',', at);
                if (comma == std::string::npos) comma = sets.size();
                if (DecodeBase64(sets.substr(at, comma - at), &nal)) KeepParameterSet(nal);
                at = comma + 1;
            }
        }
    }

    bool IsVideo() const override { return true; }
    bool HasConfig() const override {
        return !m_sps.empty() && !m_pps.empty() && (!m_h265 || !m_vps.empty());
    }
    std::vector<unsigned char> Config() const override {
        std::vector<unsigned char> out;
        for (const std::vector<unsigned char>* set : {&m_vps, &m_sps, &m_pps}) {
            if (set->empty()) continue;
            out.insert(out.end(), kStartCode, kStartCode + 4);
            out.insert(out.end(), set->begin(), set->end());
        }
        return out;
    }

    void Lost() override {
        if (m_open) {
            m_broken = true;
        } else {
            m_brokenNext = true;
        }
        m_fragment = false;
    }

    void Flush(AccessUnitSink& sink) override { Finish(sink); }

    void Packet(const RtpPacket& p, AccessUnitSink& sink) override {
        if (m_open && p.timestamp != m_time) Finish(sink);
        if (!m_open) {
            m_open = true;
            m_time = p.timestamp;
            m_broken = m_brokenNext;
            m_brokenNext = false;
            m_key = false;
            m_au.clear();
        }
        Payload(p.payload, p.payloadLength);
        if (p.marker) Finish(sink);
    }

  private:
    size_t HeaderSize() const { return m_h265 ? 2 : 1; }
    int TypeOf(const unsigned char* nal) const {
        return m_h265 ? (nal[0] >> 1) & 0x3f : nal[0] & 0x1f;
    }

    void Payload(const unsigned char* b, size_t n) {
        const size_t hs = HeaderSize();
        if (n < hs) {
            m_broken = true;
            return;
        }
        const int type = TypeOf(b);
        const int aggregate = m_h265 ? 48 : 24;  // AP / STAP-A
        const int fragment = m_h265 ? 49 : 28;   // FU / FU-A
        if (type == aggregate) {
            m_fragment = false;
            ByteReader r(b + hs, n - hs);
            while (r.Remaining() > 0) {
                const uint16_t size = r.Be16();
                if (!r.Ok() || size < hs || !r.Has(size)) {
                    m_broken = true;
                    return;
                }
                Nal(r.Here(), size);
                r.Skip(size);
            }
        } else if (type == fragment) {
            if (n < hs + 2) {
                m_broken = true;
                return;
            }
            const unsigned char fu = b[hs];
            const bool start = (fu & 0x80) != 0;
            const bool end = (fu & 0x40) != 0;
            if (start) {
                if (m_fragment) m_broken = true;  // the last one never ended
                unsigned char header[2];
                if (m_h265) {
                    header[0] = static_cast<unsigned char>((b[0] & 0x81) | ((fu & 0x3f) << 1));
                    header[1] = b[1];
                } else {
                    header[0] = static_cast<unsigned char>((b[0] & 0xe0) | (fu & 0x1f));
                }
                m_fragment = true;
                m_fragmentStart = m_au.size();
                Append(kStartCode, 4);
                Append(header, hs);
                NoteType(TypeOf(header));
            } else if (!m_fragment) {
                m_broken = true;  // a middle or end without its start
                return;
            }
            Append(b + hs + 1, n - hs - 1);
            if (end) {
                m_fragment = false;
                if (!m_broken && m_au.size() > m_fragmentStart + 4) {
                    Keep(m_au.data() + m_fragmentStart + 4, m_au.size() - m_fragmentStart - 4);
                }
            }
        } else if ((!m_h265 && type >= 1 && type <= 23) || (m_h265 && type < 48)) {
            m_fragment = false;
            Nal(b, n);
        } else {
            m_broken = true;  // STAP-B, MTAP, FU-B, PACI: not sent by the servers we follow
        }
    }

    void Nal(const unsigned char* nal, size_t n) {
        Append(kStartCode, 4);
        Append(nal, n);
        NoteType(TypeOf(nal));
        Keep(nal, n);
    }

    void NoteType(int type) {
        if (m_h265 ? (type >= 16 && type <= 21) : type == 5) m_key = true;
    }

    // In-band parameter sets replace those of the description.
    void Keep(const unsigned char* nal, size_t n) {
        const int type = TypeOf(nal);
        if (n > 4096) return;
        if (m_h265 ? type == 32 : false) m_vps.assign(nal, nal + n);
        if (m_h265 ? type == 33 : type == 7) m_sps.assign(nal, nal + n);
        if (m_h265 ? type == 34 : type == 8) m_pps.assign(nal, nal + n);
    }

    void KeepParameterSet(const std::vector<unsigned char>& nal) {
        if (nal.size() >= HeaderSize()) Keep(nal.data(), nal.size());
    }

    void Append(const unsigned char* b, size_t n) {
        if (m_broken) return;
        if (m_au.size() + n > kMaxAccessUnit) {
            m_broken = true;
            return;
        }
        m_au.insert(m_au.end(), b, b + n);
    }

    void Finish(AccessUnitSink& sink) {
        if (!m_open) return;
        m_open = false;
        if (m_fragment) m_broken = true;  // ended inside a fragmented unit
        m_fragment = false;
        if (m_broken || m_au.empty()) {
            m_needKey = true;
            return;
        }
        if (m_needKey && !m_key) return;
        m_needKey = false;
        AccessUnit unit;
        unit.data = m_au.data();
        unit.size = m_au.size();
        unit.rtpTime = m_time;
        unit.key = m_key;
        sink.OnAccessUnit(unit);
    }

    const bool m_h265;
    std::vector<unsigned char> m_au;
    std::vector<unsigned char> m_vps, m_sps, m_pps;
    uint32_t m_time = 0;
    size_t m_fragmentStart = 0;
    bool m_open = false;
    bool m_broken = false;
    bool m_brokenNext = false;
    bool m_fragment = false;
    bool m_key = false;
    bool m_needKey = true;  // a picture is decodable only from a key frame on
};

// Reads bit fields MSB first, never past `bits`.
class BitReader {
  public:
    BitReader(const unsigned char* b, size_t bits) : m_b(b), m_bits(bits) {}
    bool Read(int n, uint32_t* v) {
        if (n < 0 || n > 32 || m_pos + static_cast<size_t>(n) > m_bits) return false;
        uint32_t x = 0;
        for (int i = 0; i < n; ++i, ++m_pos)
            x = (x << 1) | ((m_b[m_pos >> 3] >> (7 - (m_pos & 7))) & 1);
        *v = x;
        return true;
    }
    size_t Left() const { return m_bits - m_pos; }

  private:
    const unsigned char* m_b;
    size_t m_bits;
    size_t m_pos = 0;
};

// RFC 3640 AAC-hbr: an AU-header section of sized entries, then the frames back to back; a frame
// too big for one packet comes in fragments of the same timestamp, the last with the marker.
class AacDepacketiser : public RtpDepacketiser {
  public:
    explicit AacDepacketiser(const SdpMedia& m) {
        DecodeHex(m.Param("config"), &m_config);
        m_sizeLength = ParamInt(m, "sizelength", 13);
        m_indexLength = ParamInt(m, "indexlength", 3);
        m_indexDeltaLength = ParamInt(m, "indexdeltalength", 3);
        const int duration = ParamInt(m, "constantduration", 1024);
        m_duration = duration > 0 ? static_cast<uint32_t>(duration) : 1024;
    }

    std::vector<unsigned char> Config() const override { return m_config; }
    bool HasConfig() const override { return !m_config.empty(); }

    void Lost() override {
        m_fragment.clear();
        m_fragmentWanted = 0;
    }

    void Packet(const RtpPacket& p, AccessUnitSink& sink) override {
        if (m_sizeLength <= 0 || m_sizeLength > 32 || m_indexLength > 32 || m_indexDeltaLength > 32)
            return;
        ByteReader r(p.payload, p.payloadLength);
        const uint16_t headerBits = r.Be16();
        const size_t headerBytes = (size_t{headerBits} + 7) / 8;
        if (!r.Ok() || !r.Has(headerBytes)) return;
        BitReader bits(r.Here(), headerBits);
        r.Skip(headerBytes);
        uint32_t sizes[64];
        int count = 0;
        while (count < 64) {
            uint32_t size = 0, index = 0;
            if (!bits.Read(m_sizeLength, &size) ||
                !bits.Read(count == 0 ? m_indexLength : m_indexDeltaLength, &index))
                break;
            sizes[count++] = size;
        }
        if (m_fragmentWanted > 0) {
            // The continuation of a fragmented frame: one header, the whole frame's size.
            if (count != 1 || sizes[0] != m_fragmentWanted || p.timestamp != m_fragmentTime) {
                Lost();
            } else {
                const size_t take = r.Remaining() < m_fragmentWanted - m_fragment.size()
                                        ? r.Remaining()
                                        : m_fragmentWanted - m_fragment.size();
                m_fragment.insert(m_fragment.end(), r.Here(), r.Here() + take);
                if (m_fragment.size() == m_fragmentWanted) {
                    Emit(m_fragment.data(), m_fragment.size(), m_fragmentTime, sink);
                    Lost();
                } else if (p.marker) {
                    Lost();
                }
                return;
            }
        }
        for (int i = 0; i < count; ++i) {
            const uint32_t time = p.timestamp + static_cast<uint32_t>(i) * m_duration;
            if (r.Has(sizes[i])) {
                Emit(r.Here(), sizes[i], time, sink);
                r.Skip(sizes[i]);
                continue;
            }
            // A frame larger than its packet: the first fragment.
            if (count == 1 && !p.marker && sizes[0] <= kMaxAccessUnit) {
                m_fragment.assign(r.Here(), r.Here() + r.Remaining());
                m_fragmentWanted = sizes[0];
                m_fragmentTime = p.timestamp;
            }
            break;
        }
    }

  private:
    static int ParamInt(const SdpMedia& m, const char* name, int fallback) {
        const std::string v = m.Param(name);
        if (v.empty() || v.size() > 6) return fallback;
        for (char c : v) {
            if (c < '0' || c > '9') return -1;
        }
        return std::stoi(v);
    }

    static void Emit(const unsigned char* b, size_t n, uint32_t time, AccessUnitSink& sink) {
        if (n == 0) return;
        AccessUnit unit;
        unit.data = b;
        unit.size = n;
        unit.rtpTime = time;
        unit.key = true;
        sink.OnAccessUnit(unit);
    }

    std::vector<unsigned char> m_config;
    int m_sizeLength = 13, m_indexLength = 3, m_indexDeltaLength = 3;
    uint32_t m_duration = 1024;
    std::vector<unsigned char> m_fragment;
    size_t m_fragmentWanted = 0;
    uint32_t m_fragmentTime = 0;
};

// G.711: every packet is a run of samples that stands alone.
class G711Depacketiser : public RtpDepacketiser {
  public:
    void Lost() override {}
    void Packet(const RtpPacket& p, AccessUnitSink& sink) override {
        if (p.payloadLength == 0) return;
        AccessUnit unit;
        unit.data = p.payload;
        unit.size = p.payloadLength;
        unit.rtpTime = p.timestamp;
        unit.key = true;
        sink.OnAccessUnit(unit);
    }
};

}  // namespace

std::unique_ptr<RtpDepacketiser> RtpDepacketiser::Make(const SdpMedia& media) {
    switch (CodecOf(media)) {
        case RtpCodec::H264:
        case RtpCodec::H265:
            return std::make_unique<VideoDepacketiser>(media);
        case RtpCodec::Aac:
            return std::make_unique<AacDepacketiser>(media);
        case RtpCodec::Pcmu:
        case RtpCodec::Pcma:
            return std::make_unique<G711Depacketiser>();
        default:
            return nullptr;
    }
}

RtpTrack::RtpTrack(const SdpMedia& media, int window)
    : m_media(media),
      m_codec(CodecOf(media)),
      m_dep(RtpDepacketiser::Make(media)),
      m_window(window < 0            ? 0
               : window > kMaxWindow ? kMaxWindow
                                     : window) {
    m_slots.resize(static_cast<size_t>(m_window));
}

void RtpTrack::Deliver(const unsigned char* data, size_t length, AccessUnitSink& sink) {
    RtpPacket p;
    if (m_dep && ParseRtp(data, length, &p)) m_dep->Packet(p, sink);
}

void RtpTrack::Receive(const unsigned char* data, size_t length, AccessUnitSink& sink) {
    RtpPacket p;
    if (!m_dep || !ParseRtp(data, length, &p) || p.payloadType != m_media.payloadType) return;
    ++m_packets;
    if (!m_started) {
        m_started = true;
        m_next = p.sequence;
    }
    int16_t ahead = static_cast<int16_t>(p.sequence - m_next);
    if (ahead < 0) {
        // Late or repeated; far behind is a sender that started over.
        if (ahead > -1000) return;
        DeliverHeld(sink);
        m_dep->Lost();
        ++m_losses;
        m_next = p.sequence;
        ahead = 0;
    }
    if (m_window == 0) {
        if (ahead > 0) {
            m_dep->Lost();
            ++m_losses;
        }
        m_next = static_cast<uint16_t>(p.sequence + 1);
        m_dep->Packet(p, sink);
        return;
    }
    if (ahead >= m_window) {
        // Too far ahead to wait for: the holes before it are losses.
        DeliverHeld(sink);
        if (static_cast<int16_t>(p.sequence - m_next) > 0) {
            m_dep->Lost();
            ++m_losses;
        }
        m_next = p.sequence;
        ahead = 0;
    }
    if (ahead == 0) {
        m_next = static_cast<uint16_t>(p.sequence + 1);
        m_dep->Packet(p, sink);
        Advance(sink);
        return;
    }
    Slot& slot = m_slots[p.sequence % m_window];
    if (slot.used) return;  // a copy of one already waiting
    slot.used = true;
    slot.sequence = p.sequence;
    slot.bytes.assign(data, data + length);
    ++m_held;
    // Full: the oldest hole will not fill in time.
    if (m_held >= m_window - 1) {
        for (int i = 1; i < m_window; ++i) {
            const uint16_t s = static_cast<uint16_t>(m_next + i);
            const Slot& held = m_slots[s % m_window];
            if (held.used && held.sequence == s) {
                m_dep->Lost();
                ++m_losses;
                m_next = s;
                Advance(sink);
                break;
            }
        }
    }
}

void RtpTrack::Advance(AccessUnitSink& sink) {
    while (m_held > 0) {
        Slot& slot = m_slots[m_next % m_window];
        if (!slot.used || slot.sequence != m_next) return;
        slot.used = false;
        --m_held;
        m_next = static_cast<uint16_t>(m_next + 1);
        Deliver(slot.bytes.data(), slot.bytes.size(), sink);
    }
}

void RtpTrack::DeliverHeld(AccessUnitSink& sink) {
    while (m_held > 0) {
        bool found = false;
        for (int i = 1; i < m_window && !found; ++i) {
            const uint16_t s = static_cast<uint16_t>(m_next + i);
            const Slot& held = m_slots[s % m_window];
            if (held.used && held.sequence == s) {
                m_dep->Lost();
                ++m_losses;
                m_next = s;
                found = true;
            }
        }
        if (!found) {
            // Stale entries (cannot happen while every stored slot is ahead): start clean.
            for (Slot& slot : m_slots) slot.used = false;
            m_held = 0;
            return;
        }
        Advance(sink);
    }
}

void RtpTrack::Flush(AccessUnitSink& sink) {
    if (!m_dep) return;
    DeliverHeld(sink);
    m_dep->Flush(sink);
}

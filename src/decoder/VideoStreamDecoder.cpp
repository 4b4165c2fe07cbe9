#include "decoder/VideoStreamDecoder.h"

#include <algorithm>

#include "common/ByteReader.h"

namespace {

constexpr int kFlvTagHeader = 11;
constexpr unsigned char kStartCode[4] = {0, 0, 0, 1};

// Message types a header may carry: protocol control, user control, commands, data and media.
inline bool PlausibleType(unsigned type) {
    return (type >= 1 && type <= 20) || type == 22;
}

inline bool IsMedia(unsigned type) {
    return type == 8 || type == 9;
}

// Largest timestamp delta a type-1 or type-2 header is believed to carry while a boundary is
// being proved (about a minute); random bytes rarely stay below it.
constexpr uint32_t kMaxProofDelta = 0xFFFF;

constexpr int kBase[4] = {12, 8, 4, 1};

}  // namespace

CRtmp2H264AacDecoder::CRtmp2H264AacDecoder() = default;

CZMemory* CRtmp2H264AacDecoder::DecodeToFlvTag(const unsigned char* data, int len) {
    bool complete = Feed(data, len);
    return (complete && m_tag.length > 0) ? &m_tag : nullptr;
}

CZMemory* CRtmp2H264AacDecoder::DecodeToH264(const unsigned char* data, int len) {
    bool complete = Feed(data, len);
    m_h264.Release();
    if (complete) ConvertToH264();
    return m_h264.length > 0 ? &m_h264 : nullptr;
}

void CRtmp2H264AacDecoder::LoseStep() {
    m_inStep = false;
    m_chunkLeft = 0;
    for (int id = 2; id <= 8; ++id) {
        ChunkStream& cs = m_streams[id];
        // Whatever was being built may now miss bytes; a continuation needs a fresh header.
        cs.needHeader = true;
        if (cs.open) {
            cs.open = false;
            cs.payload.clear();
        }
    }
}

void CRtmp2H264AacDecoder::StartMessage(ChunkStream& cs, uint32_t timestamp) {
    cs.timestamp = timestamp;
    cs.messageTimestamp = timestamp;
    cs.open = true;
    cs.taken = 0;
    cs.payload.clear();
    const bool media = IsMedia(cs.type) && cs.length <= kMaxMessageLength;
    const bool chunkSize = cs.type == 1 && cs.length == 4;
    cs.keep = media || chunkSize;
    cs.outline = media && cs.type == 9 && m_outlineVideo && m_withTagHeader;
    if (media && m_withTagHeader) {
        // Memory follows the bytes that arrive, not what a header declares.
        cs.payload.reserve(kFlvTagHeader +
                           (cs.outline ? kOutlineBytes : std::min<size_t>(cs.length, 64 * 1024)));
        cs.payload.assign(kFlvTagHeader, 0);
    }
}

CRtmp2H264AacDecoder::Step CRtmp2H264AacDecoder::ReadHeader(const unsigned char* at, int avail,
                                                            int& headerLen) {
    ByteReader r(at, static_cast<size_t>(avail));
    const uint8_t basic = r.U8();
    if (!r.Ok()) return Step::Wait;
    const int fmt = basic >> 6;
    const int id = basic & 0x3F;
    // Two- and three-byte basic headers (ids 0, 1) and ids above 8 are never taken.
    if (id < 2 || id > 8) return Step::Refused;
    ChunkStream& cs = m_streams[id];
    const bool registered = m_chunkStreams.count(id) != 0;
    // Out of step only a type-0 header, which carries everything, can be tested for plausibility.
    if (fmt != 0 && (!m_inStep || !registered)) return Step::Refused;
    // Type 2 and 3 continue a header this chunk stream has had; a type-3 chunk that would start a
    // message needs one read in step.
    if (fmt >= 2 && cs.type == 0) return Step::Refused;
    if (fmt == 3 && !cs.open && cs.needHeader) return Step::Refused;

    int h = kBase[fmt];
    if (!r.Has(static_cast<size_t>(h - 1))) return Step::Wait;

    uint32_t field = 0;
    uint32_t length = cs.length;
    unsigned type = cs.type;
    if (fmt <= 2) field = r.Be24();
    if (fmt <= 1) {
        length = r.Be24();
        type = r.U8();
        if (!PlausibleType(type)) return Step::Refused;
    }
    if (fmt == 0) {
        // Message stream ids above 255 are taken for noise.
        const bool clean = r.U8At(9) == 0 && r.U8At(10) == 0 && r.U8At(11) == 0;
        if (!clean) {
            m_chunkStreams.erase(id);
            return Step::Refused;
        }
        m_chunkStreams.insert(id);
        if (!m_inStep && length > kMaxPlausibleLength) return Step::Refused;
    }

    bool extended = cs.extended;
    if (fmt <= 2) {
        extended = field == 0xFFFFFF;
        if (extended) {
            if (!r.Has(static_cast<size_t>(h) + 4 - r.Position())) return Step::Wait;
            field = r.Be32At(static_cast<size_t>(h));
            h += 4;
        }
    } else if (cs.extended) {
        // Writers differ on repeating the extended timestamp in type-3 chunks: it is there when
        // the four bytes equal the last one.
        if (!r.Has(4)) return Step::Wait;
        if (r.Be32At(1) == cs.timestampField) h += 4;
    }
    headerLen = h;
    m_inStep = true;
    m_chunkStream = id;

    if (fmt == 3 && cs.open) {
        m_chunkLeft = std::min(static_cast<uint32_t>(m_chunkSize), cs.length - cs.taken);
        return Step::Chunk;
    }

    // A new message; one left open on this chunk stream is abandoned.
    uint32_t timestamp = cs.timestamp;
    switch (fmt) {
        case 0:
            timestamp = field;
            break;
        case 1:
        case 2:
            timestamp += field;
            break;
        default:
            timestamp += cs.timestampField;
            break;
    }
    if (fmt <= 2) {
        cs.timestampField = field;
        cs.extended = extended;
    }
    cs.length = length;
    cs.type = static_cast<uint8_t>(type);
    cs.needHeader = false;
    StartMessage(cs, timestamp);
    m_chunkLeft = std::min(static_cast<uint32_t>(m_chunkSize), cs.length);
    return Step::Chunk;
}

bool CRtmp2H264AacDecoder::WaitsForKeyFrame(const ChunkStream& cs) {
    if (cs.type != 9 || !m_needKeyFrame) return false;
    // Frame type 1 in the high nibble: a key frame, or the AVC sequence header.
    const ByteReader payload(cs.payload.data(), cs.payload.size());
    const uint8_t frame = payload.U8At(m_withTagHeader ? kFlvTagHeader : 0);
    if ((frame >> 4) != 1) return true;
    m_needKeyFrame = false;
    return false;
}

bool CRtmp2H264AacDecoder::CompleteMessage(int chunkStreamId, ChunkStream& cs) {
    cs.open = false;
    bool media = false;
    if (cs.keep && cs.type == 1 && chunkStreamId == 2 && cs.payload.size() == 4) {
        // Any size the protocol allows (1 to 2^31-1); a chunk never holds more than its message.
        const uint32_t size = ByteReader(cs.payload.data(), cs.payload.size()).Be32();
        if (size >= 1 && size <= 0x7FFFFFFF) m_chunkSize = static_cast<int>(size);
    } else if (cs.keep && IsMedia(cs.type) && cs.length > 0 && !WaitsForKeyFrame(cs)) {
        unsigned char* t = cs.payload.data();
        if (m_withTagHeader) {
            t[0] = cs.type;
            t[1] = static_cast<unsigned char>(cs.length >> 16);
            t[2] = static_cast<unsigned char>(cs.length >> 8);
            t[3] = static_cast<unsigned char>(cs.length);
            t[4] = static_cast<unsigned char>(cs.messageTimestamp >> 16);
            t[5] = static_cast<unsigned char>(cs.messageTimestamp >> 8);
            t[6] = static_cast<unsigned char>(cs.messageTimestamp);
            t[7] = static_cast<unsigned char>(cs.messageTimestamp >> 24);
        }
        m_tag.Assign(t, static_cast<int>(cs.payload.size()));
        m_tagWhole = !cs.outline || cs.payload.size() == kFlvTagHeader + size_t{cs.length};
        media = true;
    }
    cs.payload.clear();
    if (cs.payload.capacity() > 256 * 1024) cs.payload.shrink_to_fit();
    return media;
}

void CRtmp2H264AacDecoder::Gap(uint32_t length) {
    if (length == 0) return;
    if (!m_gaps.empty() && m_gaps.back().at == m_input.length) {
        PendingGap& last = m_gaps.back();
        last.length = length > UINT32_MAX - last.length ? UINT32_MAX : last.length + length;
        return;
    }
    if (m_gaps.size() >= 64) {
        // Gaps piling up undrained: what is buffered is given up as one more gap.
        m_input.Release();
        m_gaps.clear();
        m_gapSeen = true;
        EnterResync();
        return;
    }
    m_gaps.push_back({m_input.length, length});
}

void CRtmp2H264AacDecoder::EnterResync() {
    for (int id = 2; id <= 8; ++id) {
        ChunkStream& cs = m_streams[id];
        // The proof decides which chunk may start a message; the last headers stay known.
        cs.needHeader = false;
        if (cs.open) {
            cs.open = false;
            cs.payload.clear();
        }
    }
    m_chunkLeft = 0;
    m_inStep = false;
    m_resync = true;
    // Whatever video went missing, the next frames may refer to it.
    m_needKeyFrame = true;
}

void CRtmp2H264AacDecoder::ApplyGap(uint32_t length) {
    m_gapSeen = true;
    if (!m_resync && m_inStep && m_chunkLeft > 0 && length <= m_chunkLeft) {
        // The missing bytes lie inside the chunk being read: the next header is where it was
        // going to be, and only this chunk's message is spoilt.
        ChunkStream& cs = m_streams[m_chunkStream];
        if (cs.keep) {
            if (cs.type == 9) m_needKeyFrame = true;
            cs.keep = false;
            cs.payload.clear();
        }
        cs.taken += length;
        m_chunkLeft -= length;
        if (m_chunkLeft == 0 && cs.taken == cs.length) CompleteMessage(m_chunkStream, cs);
        return;
    }
    EnterResync();
}

CRtmp2H264AacDecoder::Proof CRtmp2H264AacDecoder::Prove(const unsigned char* at, int avail,
                                                        unsigned& newlyRegistered) const {
    newlyRegistered = 0;
    struct Sim {
        uint32_t length, taken, field;
        uint8_t type;
        bool extended, open, registered;
    };
    Sim sim[9] = {};
    for (int id = 2; id <= 8; ++id) {
        const ChunkStream& cs = m_streams[id];
        sim[id] = {cs.length,
                   0,
                   cs.timestampField,
                   cs.type,
                   cs.extended,
                   false,
                   m_chunkStreams.count(id) != 0};
    }
    uint32_t chunkSize = static_cast<uint32_t>(m_chunkSize);
    const ByteReader r(at, static_cast<size_t>(avail));
    size_t pos = 0;
    int headers = 0, afterEnd = 0;
    bool ended = false;
    for (;;) {
        if (!r.Has(pos + 1)) return Proof::More;
        const uint8_t basic = r.U8At(pos);
        const int fmt = basic >> 6;
        const int id = basic & 0x3F;
        if (id < 2 || id > 8) return Proof::No;
        Sim& s = sim[id];
        size_t h = static_cast<size_t>(kBase[fmt]);
        if (fmt == 3) {
            // A type-3 chunk may continue a message whose start was lost, and one byte is too
            // little to tell a header from payload: never the first link.
            if (headers == 0) return Proof::No;
            if (!s.registered || s.type == 0 || s.length == 0) return Proof::No;
            if (s.extended) {
                if (!r.Has(pos + 5)) return Proof::More;
                if (r.Be32At(pos + 1) == s.field) h += 4;
            }
        } else {
            // A writer finishes a message before it sends the next header of its chunk stream.
            if (s.open) return Proof::No;
            // A type-1 header names its message well enough to register its chunk stream once
            // the chain proves it; a lost segment may have held the type-0 header.
            if (fmt == 2 && !s.registered) return Proof::No;
            if (fmt == 2 && (s.type == 0 || s.length == 0)) return Proof::No;
            if (!r.Has(pos + h)) return Proof::More;
            uint32_t field = (uint32_t{r.U8At(pos + 1)} << 16) | (r.Be16At(pos + 2));
            if (fmt <= 1) {
                const uint32_t length = (uint32_t{r.U8At(pos + 4)} << 16) | r.Be16At(pos + 5);
                const uint8_t type = r.U8At(pos + 7);
                if (!PlausibleType(type) || length == 0 || length > kMaxMessageLength)
                    return Proof::No;
                s.length = length;
                s.type = type;
            }
            if (fmt == 0 &&
                (r.U8At(pos + 9) != 0 || r.U8At(pos + 10) != 0 || r.U8At(pos + 11) != 0))
                return Proof::No;
            if (!s.registered) {
                s.registered = true;
                if (fmt == 1) newlyRegistered |= 1u << id;
            }
            s.extended = field == 0xFFFFFF;
            if (s.extended) {
                if (!r.Has(pos + h + 4)) return Proof::More;
                field = r.Be32At(pos + h);
                h += 4;
            } else if (fmt != 0 && field > kMaxProofDelta) {
                return Proof::No;
            }
            s.field = field;
        }
        ++headers;
        if (ended) ++afterEnd;
        if (ended && afterEnd >= kProofHeadersAfterEnd) return Proof::Yes;
        if (!s.open) {
            s.open = true;
            s.taken = 0;
        }
        pos += h;
        const uint32_t n = std::min(chunkSize, s.length - s.taken);
        if (s.type == 1 && id == 2 && s.length == 4) {
            // A new chunk size applies from the next chunk on; it must be readable here.
            if (n != 4) return Proof::No;
            if (!r.Has(pos + 4)) return Proof::More;
            const uint32_t size = r.Be32At(pos);
            if (size >= 1 && size <= 0x7FFFFFFF) chunkSize = size;
        }
        pos += n;
        s.taken += n;
        if (s.taken == s.length) {
            s.open = false;
            ended = true;
        }
    }
}

bool CRtmp2H264AacDecoder::Feed(const unsigned char* data, int len) {
    m_tag.Release();
    if (data != nullptr && len > 0) {
        if (m_input.length > kMaxInput - len) {
            // A backlog nobody drains, or bytes that never make a chunk: start over.
            m_input.Release();
            if (m_gapSeen || !m_gaps.empty()) {
                m_gaps.clear();
                m_gapSeen = true;
                EnterResync();
            } else {
                LoseStep();
            }
        }
        m_input.AppendData(data, len);
    }
    const unsigned char* in = m_input.data;
    const int total = m_input.length;
    int p = 0;
    bool media = false;
    size_t gapsDone = 0;
    while (!media) {
        const bool gapAhead = gapsDone < m_gaps.size();
        // Bytes on the far side of a gap never join those before it.
        const int limit = gapAhead ? m_gaps[gapsDone].at : total;
        if (p >= limit) {
            if (!gapAhead) break;
            ApplyGap(m_gaps[gapsDone++].length);
            continue;
        }
        if (m_chunkLeft > 0) {
            ChunkStream& cs = m_streams[m_chunkStream];
            const uint32_t n = std::min(m_chunkLeft, static_cast<uint32_t>(limit - p));
            if (cs.keep) {
                uint32_t kept = n;
                if (cs.outline) {
                    const size_t room =
                        kFlvTagHeader + kOutlineBytes -
                        std::min<size_t>(cs.payload.size(), kFlvTagHeader + kOutlineBytes);
                    kept = static_cast<uint32_t>(std::min<size_t>(n, room));
                }
                cs.payload.insert(cs.payload.end(), in + p, in + p + kept);
            }
            cs.taken += n;
            m_chunkLeft -= n;
            p += static_cast<int>(n);
            if (m_chunkLeft == 0 && cs.taken == cs.length)
                media = CompleteMessage(m_chunkStream, cs);
            continue;
        }
        if (m_resync) {
            unsigned registers = 0;
            const Proof proof = Prove(in + p, limit - p, registers);
            if (proof == Proof::More && !gapAhead && limit - p < kResyncWindow) break;
            if (proof != Proof::Yes) {
                ++p;
                continue;
            }
            m_resync = false;
            m_inStep = true;
            for (int id = 2; id <= 8; ++id)
                if (registers & (1u << id)) m_chunkStreams.insert(id);
        }
        int h = 0;
        const Step step = ReadHeader(in + p, limit - p, h);
        if (step == Step::Wait) {
            // A header cut by a gap is lost with it.
            if (gapAhead) {
                p = limit;
                continue;
            }
            break;
        }
        if (step == Step::Refused) {
            ++p;
            // Out of step everything is already closed; noise costs one test a byte.
            if (m_inStep) {
                if (m_gapSeen)
                    EnterResync();
                else
                    LoseStep();
            }
            continue;
        }
        p += h;
        ChunkStream& cs = m_streams[m_chunkStream];
        if (m_chunkLeft == 0 && cs.taken == cs.length) media = CompleteMessage(m_chunkStream, cs);
    }
    m_input.Consume(p);
    m_gaps.erase(m_gaps.begin(), m_gaps.begin() + static_cast<long>(gapsDone));
    for (PendingGap& g : m_gaps) g.at -= p;
    return media;
}

void CRtmp2H264AacDecoder::ConvertToH264() {
    const unsigned char* d = m_tag.data;
    const int n = m_tag.length;
    const ByteReader tag(d, n > 0 ? static_cast<size_t>(n) : 0);
    // Audio yields nothing.
    if (n <= 0 || (m_withTagHeader && tag.U8At(0) != 9)) {
        m_tag.Release();
        return;
    }
    auto put = [this](const unsigned char* bytes, int count) { m_h264.AppendData(bytes, count); };
    // Copies one length-prefixed parameter set; false when the record ends early.
    auto parameterSet = [&](int& q) {
        if (q + 2 > n) return false;
        int size = tag.Be16At(static_cast<size_t>(q));
        q += 2;
        size = std::min(size, n - q);
        put(d + q, size);
        put(kStartCode, 4);
        q += size;
        return true;
    };
    int q = m_withTagHeader ? kFlvTagHeader : 0;
    while (q < n) {
        if (q + 1 >= n) break;
        const unsigned packetType = tag.U8At(static_cast<size_t>(q) + 1);
        q += 5;
        if (q >= n) break;
        if (packetType == 0) {
            if (q + 5 >= n) break;
            const int sps = tag.U8At(static_cast<size_t>(q) + 5) & 0x1F;
            q += 6;
            put(kStartCode, 4);
            bool whole = true;
            for (int i = 0; i < sps && whole; ++i) whole = parameterSet(q);
            if (!whole || q >= n) break;
            const int pps = tag.U8At(static_cast<size_t>(q));
            ++q;
            for (int i = 0; i < pps && whole; ++i) whole = parameterSet(q);
            if (!whole) break;
        } else {
            for (;;) {
                if (q + 4 > n) {
                    q = n;  // a length field cut short ends the tag
                    break;
                }
                uint32_t size = tag.Be32At(static_cast<size_t>(q));
                q += 4;
                size = std::min(size, static_cast<uint32_t>(n - q));
                put(d + q, static_cast<int>(size));
                put(kStartCode, 4);
                q += static_cast<int>(size);
                // Three low bits set: the codec byte of another AVC packet follows.
                if (q >= n || (tag.U8At(static_cast<size_t>(q)) & 0x07) == 0x07) break;
            }
        }
    }
    m_tag.Release();
}

#include "decoder/VideoStreamDecoder.h"

#include <algorithm>

namespace {

constexpr int kFlvTagHeader = 11;
constexpr unsigned char kStartCode[4] = {0, 0, 0, 1};

inline uint32_t Be24(const unsigned char* p) {
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}
inline uint32_t Be32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Message types a header may carry: protocol control, user control, commands, data and media.
inline bool PlausibleType(unsigned type) {
    return (type >= 1 && type <= 20) || type == 22;
}

inline bool IsMedia(unsigned type) {
    return type == 8 || type == 9;
}

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
    if (media && m_withTagHeader) {
        // Memory follows the bytes that arrive, not what a header declares.
        cs.payload.reserve(kFlvTagHeader + std::min<size_t>(cs.length, 64 * 1024));
        cs.payload.assign(kFlvTagHeader, 0);
    }
}

CRtmp2H264AacDecoder::Step CRtmp2H264AacDecoder::ReadHeader(const unsigned char* at, int avail,
                                                            int& headerLen) {
    const int fmt = at[0] >> 6;
    const int id = at[0] & 0x3F;
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

    static constexpr int kBase[4] = {12, 8, 4, 1};
    int h = kBase[fmt];
    if (avail < h) return Step::Wait;

    uint32_t field = 0;
    uint32_t length = cs.length;
    unsigned type = cs.type;
    if (fmt <= 2) field = Be24(at + 1);
    if (fmt <= 1) {
        length = Be24(at + 4);
        type = at[7];
        if (!PlausibleType(type)) return Step::Refused;
    }
    if (fmt == 0) {
        // Message stream ids above 255 are taken for noise.
        const bool clean = at[9] == 0 && at[10] == 0 && at[11] == 0;
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
            if (avail < h + 4) return Step::Wait;
            field = Be32(at + h);
            h += 4;
        }
    } else if (cs.extended) {
        // Writers differ on repeating the extended timestamp in type-3 chunks: it is there when
        // the four bytes equal the last one.
        if (avail < 5) return Step::Wait;
        if (Be32(at + 1) == cs.timestampField) h += 4;
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

bool CRtmp2H264AacDecoder::CompleteMessage(int chunkStreamId, ChunkStream& cs) {
    cs.open = false;
    bool media = false;
    if (cs.keep && cs.type == 1 && chunkStreamId == 2 && cs.payload.size() == 4) {
        // Any size the protocol allows (1 to 2^31-1); a chunk never holds more than its message.
        const uint32_t size = Be32(cs.payload.data());
        if (size >= 1 && size <= 0x7FFFFFFF) m_chunkSize = static_cast<int>(size);
    } else if (cs.keep && IsMedia(cs.type) && cs.length > 0) {
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
        media = true;
    }
    cs.payload.clear();
    if (cs.payload.capacity() > 256 * 1024) cs.payload.shrink_to_fit();
    return media;
}

bool CRtmp2H264AacDecoder::Feed(const unsigned char* data, int len) {
    m_tag.Release();
    if (data != nullptr && len > 0) {
        if (m_input.length > kMaxInput - len) {
            // A backlog nobody drains, or bytes that never make a chunk: start over.
            m_input.Release();
            LoseStep();
        }
        m_input.AppendData(data, len);
    }
    const unsigned char* in = m_input.data;
    const int total = m_input.length;
    int p = 0;
    bool media = false;
    while (p < total && !media) {
        if (m_chunkLeft > 0) {
            ChunkStream& cs = m_streams[m_chunkStream];
            const uint32_t n = std::min(m_chunkLeft, static_cast<uint32_t>(total - p));
            if (cs.keep) cs.payload.insert(cs.payload.end(), in + p, in + p + n);
            cs.taken += n;
            m_chunkLeft -= n;
            p += static_cast<int>(n);
            if (m_chunkLeft == 0 && cs.taken == cs.length)
                media = CompleteMessage(m_chunkStream, cs);
            continue;
        }
        int h = 0;
        const Step step = ReadHeader(in + p, total - p, h);
        if (step == Step::Wait) break;
        if (step == Step::Refused) {
            ++p;
            // Out of step everything is already closed; noise costs one test a byte.
            if (m_inStep) LoseStep();
            continue;
        }
        p += h;
        ChunkStream& cs = m_streams[m_chunkStream];
        if (m_chunkLeft == 0 && cs.taken == cs.length) media = CompleteMessage(m_chunkStream, cs);
    }
    m_input.Consume(p);
    return media;
}

void CRtmp2H264AacDecoder::ConvertToH264() {
    const unsigned char* d = m_tag.data;
    const int n = m_tag.length;
    // Audio yields nothing.
    if (n <= 0 || (m_withTagHeader && d[0] != 9)) {
        m_tag.Release();
        return;
    }
    auto put = [this](const unsigned char* bytes, int count) { m_h264.AppendData(bytes, count); };
    // Copies one length-prefixed parameter set; false when the record ends early.
    auto parameterSet = [&](int& q) {
        if (q + 2 > n) return false;
        int size = static_cast<int>((uint32_t{d[q]} << 8) | d[q + 1]);
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
        const unsigned packetType = d[q + 1];
        q += 5;
        if (q >= n) break;
        if (packetType == 0) {
            if (q + 5 >= n) break;
            const int sps = d[q + 5] & 0x1F;
            q += 6;
            put(kStartCode, 4);
            bool whole = true;
            for (int i = 0; i < sps && whole; ++i) whole = parameterSet(q);
            if (!whole || q >= n) break;
            const int pps = d[q];
            ++q;
            for (int i = 0; i < pps && whole; ++i) whole = parameterSet(q);
            if (!whole) break;
        } else {
            for (;;) {
                if (q + 4 > n) {
                    q = n;  // a length field cut short ends the tag
                    break;
                }
                uint32_t size = Be32(d + q);
                q += 4;
                size = std::min(size, static_cast<uint32_t>(n - q));
                put(d + q, static_cast<int>(size));
                put(kStartCode, 4);
                q += static_cast<int>(size);
                // Three low bits set: the codec byte of another AVC packet follows.
                if (q >= n || (d[q] & 0x07) == 0x07) break;
            }
        }
    }
    m_tag.Release();
}

#include "http2/Http2Connection.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/ByteReader.h"

namespace {

const char kClientPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr size_t kPrefaceLength = sizeof kClientPreface - 1;

enum FrameType : uint8_t {
    kData = 0,
    kHeaders = 1,
    kRstStream = 3,
    kSettings = 4,
    kPushPromise = 5,
    kContinuation = 9,
};

constexpr uint8_t kEndStream = 0x01;
constexpr uint8_t kAck = 0x01;
constexpr uint8_t kEndHeaders = 0x04;
constexpr uint8_t kPadded = 0x08;
constexpr uint8_t kPriority = 0x20;

constexpr uint16_t kSettingHeaderTableSize = 1;

// A buffer that held a large header block gives its memory back instead of keeping it for the
// connection's life.
void Release(std::string& buffer) {
    if (buffer.capacity() > 16 * 1024)
        std::string().swap(buffer);
    else
        buffer.clear();
}

bool Is(const nghttp2_nv& nv, const char* name, size_t length) {
    return nv.namelen == length && std::memcmp(nv.name, name, length) == 0;
}

}  // namespace

Http2Connection::Http2Connection(Http2Sink* sink) : m_sink(sink) {
    for (Direction& dir : m_dir)
        if (nghttp2_hd_inflate_new(&dir.inflater) != 0) {
            dir.inflater = nullptr;
            dir.failure = kCompression;
        }
}

Http2Connection::~Http2Connection() {
    for (Direction& dir : m_dir)
        if (dir.inflater != nullptr) nghttp2_hd_inflate_del(dir.inflater);
}

const char* Http2Connection::FailureText(Failure failure) {
    switch (failure) {
        case kNone:
            return "none";
        case kPreface:
            return "no connection preface";
        case kGap:
            return "bytes lost";
        case kFrame:
            return "a malformed frame";
        case kSequence:
            return "a frame out of sequence in a header block";
        case kHeaderBlock:
            return "a header block too large";
        case kHeaderList:
            return "a header list too large";
        case kCompression:
            return "a header block HPACK could not decode";
    }
    return "?";
}

bool Http2Connection::StartsLikeHttp2(const unsigned char* data, size_t length) {
    return data != nullptr && length > 0 &&
           std::memcmp(data, kClientPreface, std::min(length, kPrefaceLength)) == 0;
}

void Http2Connection::Fail(int d, Failure why) {
    Direction& dir = m_dir[d];
    if (dir.failure != kNone) return;
    dir.failure = why;
    dir.inBlock = false;
    Release(dir.frame);
    Release(dir.block);
    // Without the server's frames no response can end any more.
    if (d == 1) AbandonAll();
}

void Http2Connection::OnGap(int direction) {
    if (direction == 0 || direction == 1) Fail(direction, kGap);
}

void Http2Connection::Close() {
    AbandonAll();
}

void Http2Connection::OnBytes(int d, const unsigned char* data, size_t length) {
    if ((d != 0 && d != 1) || data == nullptr) return;
    Direction& dir = m_dir[d];
    size_t at = 0;
    if (d == 0 && dir.prefaceHave < kPrefaceLength && dir.failure == kNone)
        at = Preface(dir, data, length);
    while (at < length && dir.failure == kNone) {
        if (dir.inPayload) {
            at += Payload(d, data + at, length - at);
            continue;
        }
        const size_t take = std::min(sizeof dir.head - dir.headHave, length - at);
        std::memcpy(dir.head + dir.headHave, data + at, take);
        dir.headHave += take;
        at += take;
        if (dir.headHave == sizeof dir.head && !StartFrame(d)) return;
    }
}

size_t Http2Connection::Preface(Direction& dir, const unsigned char* data, size_t length) {
    const size_t take = std::min(kPrefaceLength - dir.prefaceHave, length);
    if (std::memcmp(data, kClientPreface + dir.prefaceHave, take) != 0) {
        Fail(0, kPreface);
        return length;
    }
    dir.prefaceHave += take;
    return take;
}

bool Http2Connection::StartFrame(int d) {
    Direction& dir = m_dir[d];
    ByteReader head(dir.head, sizeof dir.head);
    dir.length = head.Be24();
    dir.type = head.U8();
    dir.flags = head.U8();
    dir.stream = head.Be32() & 0x7FFFFFFFu;
    dir.headHave = 0;
    ++dir.frames;
    if (dir.inBlock && dir.type != kContinuation) {
        Fail(d, kSequence);
        return false;
    }
    dir.gather = false;
    dir.padPending = false;
    dir.dataLeft = 0;
    switch (dir.type) {
        case kData:
            if (dir.stream == 0) return Fail(d, kFrame), false;
            dir.padPending = (dir.flags & kPadded) != 0;
            if (dir.padPending && dir.length == 0) return Fail(d, kFrame), false;
            dir.dataLeft = dir.padPending ? 0 : dir.length;
            break;
        case kContinuation:
            if (!dir.inBlock || dir.stream != dir.blockStream) return Fail(d, kSequence), false;
            if (++dir.continuations > kMaxContinuations) return Fail(d, kHeaderBlock), false;
            [[fallthrough]];
        case kHeaders:
        case kPushPromise:
            if (dir.stream == 0) return Fail(d, kFrame), false;
            // Checked before a byte is kept: a lying length buffers nothing.
            if (dir.length > kMaxHeaderBlock - dir.block.size())
                return Fail(d, kHeaderBlock), false;
            dir.gather = true;
            break;
        case kSettings:
            if (dir.length % 6 != 0 || ((dir.flags & kAck) != 0 && dir.length != 0))
                return Fail(d, kFrame), false;
            // A peer says a few settings; a huge list is read past, not kept.
            dir.gather = dir.length <= 6 * 64;
            break;
        case kRstStream:
            if (dir.length != 4 || dir.stream == 0) return Fail(d, kFrame), false;
            dir.gather = true;
            break;
        default:
            break;  // PING, GOAWAY, WINDOW_UPDATE, PRIORITY and unknown types: read past
    }
    dir.frame.clear();
    dir.remaining = dir.length;
    dir.inPayload = true;
    return dir.length != 0 || EndFrame(d);
}

size_t Http2Connection::Payload(int d, const unsigned char* data, size_t length) {
    Direction& dir = m_dir[d];
    const size_t take = std::min<size_t>(length, dir.remaining);
    if (dir.gather) {
        dir.frame.append(reinterpret_cast<const char*>(data), take);
    } else if (dir.type == kData) {
        size_t at = 0;
        if (dir.padPending && take > 0) {
            const uint32_t pad = data[0];
            at = 1;
            dir.padPending = false;
            if (pad > dir.length - 1) {
                Fail(d, kFrame);
                return take;
            }
            dir.dataLeft = dir.length - 1 - pad;
        }
        const size_t emit = std::min<size_t>(dir.dataLeft, take - at);
        dir.dataLeft -= static_cast<uint32_t>(emit);
        // Only the server's bodies of requests we saw are of interest.
        if (emit > 0 && d == 1 && m_streams.count(dir.stream) != 0)
            m_sink->OnData(dir.stream, data + at, emit);
    }
    dir.remaining -= static_cast<uint32_t>(take);
    if (dir.remaining == 0 && dir.failure == kNone) EndFrame(d);
    return take;
}

bool Http2Connection::EndFrame(int d) {
    Direction& dir = m_dir[d];
    dir.inPayload = false;
    ByteReader frame(reinterpret_cast<const unsigned char*>(dir.frame.data()), dir.frame.size());
    switch (dir.type) {
        case kData:
            if ((dir.flags & kEndStream) != 0 && d == 1) EndStream(dir.stream, true);
            break;
        case kHeaders:
        case kPushPromise: {
            const uint32_t pad = (dir.flags & kPadded) != 0 ? frame.U8() : 0;
            if (dir.type == kHeaders && (dir.flags & kPriority) != 0) frame.Skip(5);
            if (dir.type == kPushPromise) frame.Skip(4);  // the promised stream
            if (!frame.Ok() || pad > frame.Remaining()) return Fail(d, kFrame), false;
            dir.inBlock = true;
            dir.blockStream = dir.stream;
            dir.blockEndStream = dir.type == kHeaders && (dir.flags & kEndStream) != 0;
            dir.blockPush = dir.type == kPushPromise;
            dir.continuations = 0;
            dir.block.assign(reinterpret_cast<const char*>(frame.Here()), frame.Remaining() - pad);
            if ((dir.flags & kEndHeaders) != 0 && !DecodeBlock(d)) return false;
            break;
        }
        case kContinuation:
            dir.block.append(dir.frame);
            if ((dir.flags & kEndHeaders) != 0 && !DecodeBlock(d)) return false;
            break;
        case kSettings:
            if (dir.gather && (dir.flags & kAck) == 0) Settings(d);
            break;
        case kRstStream:
            EndStream(dir.stream, false);
            break;
        default:
            break;
    }
    Release(dir.frame);
    return dir.failure == kNone;
}

bool Http2Connection::DecodeBlock(int d) {
    Direction& dir = m_dir[d];
    dir.inBlock = false;
    std::string method, scheme, authority, path, status, contentType, contentEncoding;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(dir.block.data());
    size_t left = dir.block.size();
    size_t listSize = 0;
    size_t count = 0;
    for (;;) {
        nghttp2_nv nv;
        int flags = 0;
        const ssize_t used = nghttp2_hd_inflate_hd2(dir.inflater, &nv, &flags, in, left, 1);
        if (used < 0 || static_cast<size_t>(used) > left) return Fail(d, kCompression), false;
        in += used;
        left -= static_cast<size_t>(used);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0) {
            // Counted as each header comes out: a small block that names one large table
            // entry over and over stops here, long before its expansion is built.
            listSize += nv.namelen + nv.valuelen + 32;
            if (listSize > kMaxHeaderList || ++count > kMaxHeaders)
                return Fail(d, kHeaderList), false;
            const std::string value(reinterpret_cast<const char*>(nv.value), nv.valuelen);
            if (Is(nv, ":method", 7))
                method = value;
            else if (Is(nv, ":scheme", 7))
                scheme = value;
            else if (Is(nv, ":authority", 10))
                authority = value;
            else if (Is(nv, ":path", 5))
                path = value;
            else if (Is(nv, ":status", 7))
                status = value;
            else if (Is(nv, "content-type", 12))
                contentType = value;
            else if (Is(nv, "content-encoding", 16))
                contentEncoding = value;
            else if (Is(nv, "host", 4) && authority.empty())
                authority = value;
        }
        if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
            nghttp2_hd_inflate_end_headers(dir.inflater);
            break;
        }
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && used == 0)
            return Fail(d, kCompression), false;
    }
    Release(dir.block);
    if (dir.blockPush) return true;  // pushed responses answer no request the client made
    const uint32_t stream = dir.blockStream;
    if (d == 0) {
        // A block without :method is the client's trailers; a new stream's number is always
        // above every earlier one, so an old number opens nothing again.
        if (method.empty() || stream <= m_lastRequest) return true;
        m_lastRequest = stream;
        if (m_streams.size() >= kMaxOpenStreams) return true;
        m_streams.emplace(stream, Stream{});
        m_sink->OnRequest(stream, method, scheme, authority, path);
        // The address still counts; its response can no longer be read.
        if (Failed(1)) EndStream(stream, false);
        return true;
    }
    auto it = m_streams.find(stream);
    if (it == m_streams.end()) return true;
    // 1xx answers come before the final one; a block without :status is the trailers.
    if (!status.empty() && !it->second.responded) {
        int code = 0;  // not three digits
        if (status.size() == 3 &&
            std::all_of(status.begin(), status.end(), [](char c) { return c >= '0' && c <= '9'; }))
            code = std::stoi(status);
        if (code < 100 || code >= 200) {
            it->second.responded = true;
            m_sink->OnResponse(stream, code, contentType);
            if (!contentEncoding.empty()) m_sink->OnContentEncoding(stream, contentEncoding);
        }
    }
    if (dir.blockEndStream) EndStream(stream, d == 1);
    return true;
}

void Http2Connection::Settings(int d) {
    ByteReader settings(reinterpret_cast<const unsigned char*>(m_dir[d].frame.data()),
                        m_dir[d].frame.size());
    while (settings.Has(6)) {
        const uint16_t id = settings.Be16();
        const uint32_t value = settings.Be32();
        if (id != kSettingHeaderTableSize) continue;
        // The size bounds the table of the peer's encoder, read by the other direction. It only
        // ever grows here: a decoder that allows more than the encoder uses decodes the same,
        // and which blocks the encoder wrote before it saw a smaller size cannot be told.
        const int other = 1 - d;
        const uint32_t size = std::min(value, kMaxTableSize);
        if (size > m_tableSize[other] && m_dir[other].inflater != nullptr &&
            nghttp2_hd_inflate_change_table_size(m_dir[other].inflater, size) == 0)
            m_tableSize[other] = size;
    }
}

void Http2Connection::EndStream(uint32_t stream, bool complete) {
    auto it = m_streams.find(stream);
    if (it == m_streams.end()) return;
    m_streams.erase(it);
    m_sink->OnStreamEnd(stream, complete);
}

void Http2Connection::AbandonAll() {
    std::vector<uint32_t> open;
    open.reserve(m_streams.size());
    for (const auto& s : m_streams) open.push_back(s.first);
    m_streams.clear();
    std::sort(open.begin(), open.end());
    for (uint32_t stream : open) m_sink->OnStreamEnd(stream, false);
}

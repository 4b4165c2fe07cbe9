#include "http/HttpRecorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/LogOut.h"
#include "common/MD5Checksum.h"
#include "http/HlsPlaylist.h"
#include "platform/AppDirectory.h"

namespace {

const int64_t kInit = INT64_MIN;
const size_t kTsPacket = 188;

std::string PathOf(const std::string& address) {
    const size_t scheme = address.find("://");
    const size_t from = address.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (from == std::string::npos) return "/";
    const size_t q = address.find('?', from);
    return address.substr(from, q == std::string::npos ? std::string::npos : q - from);
}

std::string HostOf(const std::string& address) {
    const size_t scheme = address.find("://");
    if (scheme == std::string::npos) return std::string();
    const size_t end = address.find('/', scheme + 3);
    return address.substr(scheme + 3,
                          end == std::string::npos ? std::string::npos : end - scheme - 3);
}

bool EndsWithText(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

std::string ErrorText(int error) {
    char buffer[256];
    const char* text = strerror_r(error, buffer, sizeof(buffer));
    return text != nullptr ? std::string(text) : std::string("unknown error");
}

}  // namespace

// One HLS media playlist being recorded into one file.
struct HttpStreamRecorder::Playlist {
    std::string address;
    std::string path;
    FILE* file = nullptr;
    bool fmp4 = false;
    bool started = false;  // a segment has been written
    int64_t lastWritten = 0;
    bool initWritten = false;
    bool warnedEncrypted = false;
    bool failed = false;
    Body* writer = nullptr;  // the segment written straight to the file now
    uint64_t segments = 0;
};

// A progressive file: every response of one address placed at its offset.
struct HttpStreamRecorder::Progressive {
    std::string address;
    std::string path;
    int fd = -1;
    int64_t total = -1;
    std::map<int64_t, int64_t> covered;  // start -> end, merged
    bool tooManyRanges = false;
    void Cover(int64_t from, int64_t to) {
        if (to <= from) return;
        auto it = covered.upper_bound(from);
        if (it != covered.begin()) {
            auto prev = std::prev(it);
            if (prev->second >= from) {
                from = prev->first;
                to = std::max(to, prev->second);
                it = covered.erase(prev);
            }
        }
        while (it != covered.end() && it->first <= to) {
            to = std::max(to, it->second);
            it = covered.erase(it);
        }
        if (covered.size() >= kMaxRanges) {
            tooManyRanges = true;
            return;
        }
        covered[from] = to;
    }
};

class HttpStreamRecorder::Body : public HttpBodySink {
  public:
    enum Mode { kPlaylistText, kSegment, kUnplaced, kProgressive, kFlv, kDone };

    Body(HttpStreamRecorder& r, Mode mode, std::string address)
        : m_r(r), mode(mode), address(std::move(address)) {}
    ~Body() override { Unbuffer(buffered); }

    // Playlist texts and FLV tags are kept whole until they end: all bodies together under one
    // cap. False (nothing taken) when n more bytes would pass it.
    bool Buffer(size_t n) {
        if (n > kMaxBufferedBytes - m_r.m_bufferedBytes) return false;
        m_r.m_bufferedBytes += n;
        buffered += n;
        return true;
    }
    void Unbuffer(size_t n) {
        n = std::min(n, buffered);
        buffered -= n;
        m_r.m_bufferedBytes -= std::min(m_r.m_bufferedBytes, n);
    }

    void OnBody(const unsigned char* data, size_t length) override {
        switch (mode) {
            case kPlaylistText:
                if (tooBig || text.size() + length > kMaxPlaylistBytes || !Buffer(length)) {
                    tooBig = true;
                    return;
                }
                text.append(reinterpret_cast<const char*>(data), length);
                break;
            case kSegment:
                if (playlist->fmp4 || sequence == kInit) {
                    Emit(data, length);
                } else {
                    PutTs(data, length);
                }
                offset += length;
                break;
            case kUnplaced:
                Emit(data, length);
                offset += length;
                break;
            case kProgressive:
                WriteAt(data, length);
                break;
            case kFlv:
                PutFlv(data, length);
                break;
            case kDone:
                break;
        }
    }

    void OnBodyGap(uint64_t length) override {
        ++gaps;
        gapBytes += length;
        offset += length;
        if (mode == kSegment && !playlist->fmp4 && sequence != kInit) {
            // Only whole TS packets go on: the one the gap cut is dropped.
            carry.clear();
            const uint64_t into = offset % kTsPacket;
            skip = into == 0 ? 0 : kTsPacket - into;
        } else if (mode == kUnplaced) {
            broken = true;
        } else if (mode == kFlv) {
            flvStopped = true;
        }
    }

    void OnBodyEnd(bool complete) override { m_r.SegmentDone(this, complete); }

    // Where the bytes go: the file while this body writes it, memory while it waits.
    void Emit(const unsigned char* data, size_t length) {
        if (length == 0 || broken) return;
        if (writing) {
            if (playlist->file != nullptr &&
                std::fwrite(data, 1, length, playlist->file) != length && !playlist->failed) {
                playlist->failed = true;
                LogOut(LOG_ERROR, "Cannot write the recording file " + playlist->path + ": " +
                                      ErrorText(errno));
            }
            return;
        }
        if (m_r.m_heldBytes + length > kMaxHeldBytes) {
            LogOut(LOG_WARN, "Held responses passed " + std::to_string(kMaxHeldBytes >> 20) +
                                 " MB: dropped " + address);
            broken = true;
            m_r.m_heldBytes -= held.size();
            std::string().swap(held);
            return;
        }
        held.append(reinterpret_cast<const char*>(data), length);
        m_r.m_heldBytes += length;
    }

    void PutTs(const unsigned char* data, size_t length) {
        while (length > 0) {
            if (skip > 0) {
                const size_t n = std::min<uint64_t>(skip, length);
                skip -= n;
                data += n;
                length -= n;
                continue;
            }
            if (!carry.empty() || length < kTsPacket) {
                const size_t n = std::min(kTsPacket - carry.size(), length);
                carry.append(reinterpret_cast<const char*>(data), n);
                data += n;
                length -= n;
                if (carry.size() == kTsPacket) {
                    Emit(reinterpret_cast<const unsigned char*>(carry.data()), kTsPacket);
                    carry.clear();
                }
                continue;
            }
            const size_t whole = length / kTsPacket * kTsPacket;
            Emit(data, whole);
            data += whole;
            length -= whole;
        }
    }

    void WriteAt(const unsigned char* data, size_t length) {
        Progressive& p = *progressive;
        if (p.fd >= 0 && !p.tooManyRanges) {
            size_t done = 0;
            while (done < length) {
                const ssize_t n = pwrite(p.fd, data + done, length - done,
                                         static_cast<off_t>(start + offset + done));
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            p.Cover(start + static_cast<int64_t>(offset),
                    start + static_cast<int64_t>(offset + done));
        }
        offset += length;
    }

    // Whole tags only: the file ends at a tag boundary whenever the program stops.
    // What the pending piece needs to be whole: the file header, then the header with its first
    // PreviousTagSize, then one tag with the PreviousTagSize after it.
    size_t FlvNeed() const {
        if (!flvHeaderDone) return flvHeaderChecked ? flvHeaderSize + 4 : 9;
        if (pending.size() < 11) return 11;
        return 11 +
               ((size_t(uint8_t(pending[1])) << 16) | (size_t(uint8_t(pending[2])) << 8) |
                size_t(uint8_t(pending[3]))) +
               4;
    }

    // A stream asked for after its response began: its file header and decoder configurations
    // are kept, and the file starts at the first key frame once the address is wanted. False
    // while the piece is not to be written.
    bool Watch() {
        const auto* b = reinterpret_cast<const unsigned char*>(pending.data());
        const size_t n = pending.size();
        if (!flvHeaderDone) {
            flvHead = pending;
            return false;
        }
        if (n >= 13 && b[0] == 9 && (b[11] & 0x0f) == 7 && b[12] == 0) {
            videoConfig = pending;
            return false;
        }
        if (n >= 13 && b[0] == 8 && (b[11] >> 4) == 10 && b[12] == 0) {
            audioConfig = pending;
            return false;
        }
        if (n < 12 || b[0] != 9 || (b[11] >> 4) != 1 ||
            !m_r.Wanted(address, HttpStreamRecorder::kFlv))
            return false;
        flvFile = m_r.OpenFile(address, ".flv", &path);
        if (flvFile == nullptr) {
            flvStopped = true;
            return false;
        }
        watching = false;
        const std::string start = flvHead + videoConfig + audioConfig;
        std::fwrite(start.data(), 1, start.size(), flvFile);
        return true;
    }

    void PutFlv(const unsigned char* data, size_t length) {
        if (flvStopped || (flvFile == nullptr && !watching)) return;
        for (;;) {
            const size_t need = FlvNeed();
            if (pending.size() < need) {
                if (length == 0) return;
                const size_t n = std::min(need - pending.size(), length);
                if (!Buffer(n)) {
                    LogOut(LOG_WARN, "Buffered tags passed " +
                                         std::to_string(kMaxBufferedBytes >> 20) +
                                         " MB: the recording of " + address + " stops here");
                    flvStopped = true;
                    return;
                }
                pending.append(reinterpret_cast<const char*>(data), n);
                data += n;
                length -= n;
                continue;
            }
            if (!flvHeaderChecked) {
                if (pending.compare(0, 3, "FLV") != 0) {
                    LogOut(LOG_WARN, address + " does not carry FLV: not recorded");
                    flvStopped = true;
                    return;
                }
                flvHeaderSize = (size_t(uint8_t(pending[5])) << 24) |
                                (size_t(uint8_t(pending[6])) << 16) |
                                (size_t(uint8_t(pending[7])) << 8) | size_t(uint8_t(pending[8]));
                if (flvHeaderSize < 9 || flvHeaderSize > 1024) {
                    flvStopped = true;
                    return;
                }
                flvHeaderChecked = true;
                continue;
            }
            if (watching && !Watch()) {
                flvHeaderDone = true;
                Unbuffer(pending.size());
                pending.clear();
                continue;
            }
            if (std::fwrite(pending.data(), 1, pending.size(), flvFile) != pending.size() ||
                std::fflush(flvFile) != 0) {
                LogOut(LOG_ERROR,
                       "Cannot write the recording file " + path + ": " + ErrorText(errno));
                flvStopped = true;
                return;
            }
            flvHeaderDone = true;
            Unbuffer(pending.size());
            pending.clear();
        }
    }

    HttpStreamRecorder& m_r;
    Mode mode;
    std::string address;
    std::string path;
    std::string text;  // a playlist's
    bool tooBig = false;
    size_t buffered = 0;  // of the recorder's buffered bytes, this body's
    // Segments.
    Playlist* playlist = nullptr;
    int64_t sequence = 0;
    bool encrypted = false;
    bool writing = false;
    bool ended = false;
    bool complete = false;
    bool broken = false;
    std::string held;
    std::string carry;
    uint64_t skip = 0;
    uint64_t offset = 0;
    uint64_t gaps = 0, gapBytes = 0;
    // Progressive.
    Progressive* progressive = nullptr;
    int64_t start = 0;
    // FLV.
    FILE* flvFile = nullptr;
    std::string pending;
    size_t flvHeaderSize = 9;
    bool flvHeaderChecked = false;
    bool watching = false;
    std::string flvHead, videoConfig, audioConfig;
    bool flvHeaderDone = false;
    bool flvStopped = false;
};

HttpStreamRecorder::HttpStreamRecorder(std::string videoFolder)
    : m_folder(std::move(videoFolder)) {}

HttpStreamRecorder::~HttpStreamRecorder() {
    Finish();
    m_bodies.clear();  // while the counts they give back are still there
}

void HttpStreamRecorder::SetRequests(const std::vector<std::string>& addresses, bool all) {
    m_requested.clear();
    for (const std::string& a : addresses) {
        if (m_requested.size() >= kMaxRecordings) break;
        m_requested.insert(a);
    }
    m_all = all;
}

HttpStreamRecorder::Kind HttpStreamRecorder::KindOf(const std::string& target) {
    const std::string path =
        PathOf(target.compare(0, 1, "/") == 0 ? "x:///" + target.substr(1) : target);
    if (EndsWithText(path, ".m3u8")) return kPlaylist;
    if (EndsWithText(path, ".flv")) return kFlv;
    if (EndsWithText(path, ".mp4")) return kMp4;
    if (EndsWithText(path, ".ts")) return kTs;
    return kNone;
}

bool HttpStreamRecorder::Wanted(const std::string& address, Kind kind) const {
    if (kind == kNone) return false;
    return m_all || m_requested.count(address) != 0 ||
           (kind == kPlaylist && m_variants.count(address) != 0);
}

std::string HttpStreamRecorder::FileName(const std::string& address, const char* extension) {
    const std::string digest = CMD5Checksum::GetMD5(address).substr(0, 16);
    std::string last = PathOf(address);
    last = last.substr(last.rfind('/') + 1);
    const size_t dot = last.rfind('.');
    if (dot != std::string::npos) last.resize(dot);
    std::string label;
    for (char c : last) {
        if (label.size() >= 24) break;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
            label.push_back(c);
        }
    }
    if (label.empty()) label = "stream";
    return digest + "-" + label + extension;
}

FILE* HttpStreamRecorder::OpenFile(const std::string& address, const char* extension,
                                   std::string* path) {
    platform::MakeFolders(m_folder);
    const std::string name = FileName(address, extension);
    const std::string stem = name.substr(0, name.size() - std::strlen(extension));
    // An earlier recording under the same name is kept: this one takes the next number.
    std::string candidate = m_folder + "/" + name;
    FILE* f = nullptr;
    for (int n = 2; n < 1000; ++n) {
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            f = fdopen(fd, "wb");
            break;
        }
        if (errno != EEXIST) break;
        candidate = m_folder + "/" + stem + "-" + std::to_string(n) + extension;
    }
    if (f == nullptr) {
        LogOut(LOG_ERROR, "Cannot write the recording file " + candidate + ": " + ErrorText(errno));
        return nullptr;
    }
    *path = candidate;
    m_paths.push_back(candidate);
    LogOut(LOG_INFO, "Recording " + address + " to " + candidate);
    LogOut(LOG_STATUS, "正在录制：" + candidate);
    return f;
}

HttpStreamRecorder::Playlist* HttpStreamRecorder::PlaylistFor(const std::string& address) {
    auto it = m_playlists.find(address);
    if (it != m_playlists.end()) return it->second.get();
    if (m_playlists.size() >= kMaxRecordings) return nullptr;
    auto p = std::make_unique<Playlist>();
    p->address = address;
    Playlist* raw = p.get();
    m_playlists.emplace(address, std::move(p));
    m_hosts.insert(HostOf(address));
    return raw;
}

HttpStreamRecorder::Progressive* HttpStreamRecorder::ProgressiveFor(const std::string& address,
                                                                    const char* extension) {
    auto it = m_progressive.find(address);
    if (it != m_progressive.end()) return it->second.get();
    if (m_progressive.size() >= kMaxRecordings) return nullptr;
    std::string path;
    FILE* f = OpenFile(address, extension, &path);
    if (f == nullptr) return nullptr;
    auto p = std::make_unique<Progressive>();
    p->address = address;
    p->path = path;
    p->fd = dup(fileno(f));
    std::fclose(f);
    Progressive* raw = p.get();
    m_progressive.emplace(address, std::move(p));
    return raw;
}

HttpBodySink* HttpStreamRecorder::OnResponse(const HttpRequest& request,
                                             const HttpResponseHead& head) {
    if (request.method.empty() || (head.status != 200 && head.status != 206)) return nullptr;
    const Kind kind = KindOf(request.target);
    if (!Active() && m_segments.empty() && kind != kFlv) return nullptr;
    const std::string address = request.Address();
    // A 206 for a segment or playlist is taken only when it is the whole of it.
    const bool whole =
        head.status == 200 || (head.hasRange && head.rangeFirst == 0 &&
                               (head.rangeTotal < 0 || head.rangeLast + 1 == head.rangeTotal));

    auto seg = m_segments.find(address);
    if (seg != m_segments.end()) {
        if (!whole) return nullptr;
        Playlist* p = seg->second.playlist;
        const int64_t sequence = seg->second.sequence;
        if (sequence == kInit ? (p->initWritten || p->started)
                              : (p->started && sequence <= p->lastWritten)) {
            return nullptr;  // already in the file
        }
        auto body = std::make_unique<Body>(*this, Body::kSegment, address);
        body->playlist = p;
        body->sequence = sequence;
        body->encrypted = seg->second.encrypted;
        Body* raw = body.get();
        m_bodies.push_back(std::move(body));
        if (p->writer == nullptr) {
            // Straight to the file, unless an earlier one of the playlist still waits.
            bool earlierHeld = false;
            for (auto& b : m_bodies) {
                if (b->mode == Body::kSegment && b->playlist == p && b.get() != raw &&
                    b->sequence < sequence)
                    earlierHeld = true;
            }
            if (!earlierHeld) {
                if (p->file == nullptr && !p->failed) {
                    p->file = OpenFile(p->address, p->fmp4 ? ".mp4" : ".ts", &p->path);
                    if (p->file == nullptr) p->failed = true;
                }
                if (sequence != kInit) {
                    if (p->started && sequence > p->lastWritten + 1) {
                        LogOut(LOG_WARN, "Gap in the recording " + p->path + ": segments " +
                                             std::to_string(p->lastWritten + 1) + " to " +
                                             std::to_string(sequence - 1) + " of " + p->address +
                                             " are not in the capture");
                    }
                    p->started = true;
                    p->lastWritten = sequence;
                } else {
                    p->initWritten = true;
                }
                if (raw->encrypted && !p->warnedEncrypted) {
                    p->warnedEncrypted = true;
                    LogOut(LOG_WARN, "The segments of " + p->address +
                                         " are encrypted: written as they came to " + p->path);
                }
                raw->writing = true;
                p->writer = raw;
            }
        }
        return raw;
    }

    if (kind == kPlaylist && Wanted(address, kind)) {
        if (!whole) return nullptr;
        m_bodies.push_back(std::make_unique<Body>(*this, Body::kPlaylistText, address));
        return m_bodies.back().get();
    }
    if ((kind == kFlv || kind == kMp4 || kind == kTs) && Wanted(address, kind)) {
        if (kind == kFlv) {
            if (head.status != 200 || m_flvFiles >= static_cast<int>(kMaxRecordings))
                return nullptr;
            auto body = std::make_unique<Body>(*this, Body::kFlv, address);
            body->flvFile = OpenFile(address, ".flv", &body->path);
            if (body->flvFile == nullptr) return nullptr;
            ++m_flvFiles;
            m_bodies.push_back(std::move(body));
            return m_bodies.back().get();
        }
        Progressive* p = ProgressiveFor(address, kind == kMp4 ? ".mp4" : ".ts");
        if (p == nullptr) return nullptr;
        auto body = std::make_unique<Body>(*this, Body::kProgressive, address);
        body->progressive = p;
        if (head.status == 206 && head.hasRange) {
            body->start = head.rangeFirst;
            if (head.rangeTotal >= 0) p->total = head.rangeTotal;
        } else if (head.status == 200) {
            if (head.contentLength >= 0 && !head.gzip) p->total = head.contentLength;
        } else {
            return nullptr;  // a part without its place
        }
        m_bodies.push_back(std::move(body));
        return m_bodies.back().get();
    }
    if (kind == kFlv && head.status == 200 && m_watchedFlv < kMaxRecordings) {
        // Not asked for yet: followed, so that a request made while it flows starts the file at
        // the next key frame.
        auto body = std::make_unique<Body>(*this, Body::kFlv, address);
        body->watching = true;
        ++m_watchedFlv;
        m_bodies.push_back(std::move(body));
        return m_bodies.back().get();
    }
    // A response from the host of a recorded playlist that no playlist has named yet: kept, under
    // the cap, until one does.
    if (kind != kPlaylist && whole && !m_playlists.empty() && m_hosts.count(request.host) != 0) {
        if (m_heldBytes >= kMaxHeldBytes / 2) DropOldestUnplaced();
        if (m_heldBytes >= kMaxHeldBytes / 2) return nullptr;
        m_bodies.push_back(std::make_unique<Body>(*this, Body::kUnplaced, address));
        return m_bodies.back().get();
    }
    return nullptr;
}

void HttpStreamRecorder::DropOldestUnplaced() {
    // The oldest first: a playlist names what came long before it less and less likely.
    size_t dropped = 0, bytes = 0;
    for (auto it = m_bodies.begin(); it != m_bodies.end() && m_heldBytes >= kMaxHeldBytes / 4;) {
        Body* b = it->get();
        if (b->mode != Body::kUnplaced || !b->ended) {
            ++it;
            continue;
        }
        ++dropped;
        bytes += b->held.size();
        m_heldBytes -= std::min(m_heldBytes, b->held.size());
        it = m_bodies.erase(it);
    }
    if (dropped > 0) {
        LogOut(LOG_INFO, "Dropped " + std::to_string(dropped) + " held responses (" +
                             std::to_string(bytes) + " bytes) that no playlist named");
    }
}

void HttpStreamRecorder::DropBody(Body* body) {
    m_heldBytes -= std::min(m_heldBytes, body->held.size());
    for (auto it = m_bodies.begin(); it != m_bodies.end(); ++it) {
        if (it->get() == body) {
            m_bodies.erase(it);
            return;
        }
    }
}

void HttpStreamRecorder::SegmentDone(Body* body, bool complete) {
    body->ended = true;
    body->complete = complete;
    switch (body->mode) {
        case Body::kPlaylistText: {
            if (body->tooBig) {
                LogOut(LOG_WARN, "The playlist " + body->address + " is larger than " +
                                     std::to_string(kMaxPlaylistBytes >> 20) + " MB: not read");
            } else if (complete) {
                const std::string address = body->address;
                const std::string text = std::move(body->text);
                DropBody(body);
                PlaylistDone(address, text);
                return;
            }
            DropBody(body);
            return;
        }
        case Body::kProgressive:
            DropBody(body);
            return;
        case Body::kFlv:
            if (body->watching) {
                --m_watchedFlv;
                DropBody(body);
                return;
            }
            if (body->flvFile != nullptr) std::fclose(body->flvFile);
            if (!complete || body->flvStopped) {
                LogOut(LOG_WARN, "The recording " + body->path + " of " + body->address +
                                     " ends early: the capture lost part of the stream");
            }
            DropBody(body);
            return;
        case Body::kUnplaced:
            if (!complete || body->broken) DropBody(body);
            return;  // waits for a playlist
        case Body::kSegment: {
            Playlist* p = body->playlist;
            if (!complete || body->gaps > 0) {
                LogOut(LOG_WARN, "Segment " + std::to_string(body->sequence) + " of " + p->address +
                                     " is incomplete in the capture (" +
                                     std::to_string(body->gapBytes) + " bytes missing)");
            }
            if (body->writing) {
                if (p->file != nullptr) std::fflush(p->file);
                ++p->segments;
                p->writer = nullptr;
                DropBody(body);
                WriteHeld(*p);
            } else if (p->writer == nullptr) {
                WriteHeld(*p);
            }
            return;
        }
        case Body::kDone:
            DropBody(body);
            return;
    }
}

void HttpStreamRecorder::WriteHeld(Playlist& p) {
    // The finished segments that waited, in sequence order; one still arriving stops the run.
    for (;;) {
        if (p.writer != nullptr) return;
        Body* next = nullptr;
        for (auto& b : m_bodies) {
            if (b->mode != Body::kSegment || b->playlist != &p) continue;
            if (next == nullptr || b->sequence < next->sequence) next = b.get();
        }
        if (next == nullptr) return;
        if (!next->ended) {
            // It writes straight on from here.
            next->writing = true;
            p.writer = next;
            const std::string bytes = std::move(next->held);
            m_heldBytes -= std::min(m_heldBytes, bytes.size());
            next->held.clear();
            if (p.file == nullptr && !p.failed) {
                p.file = OpenFile(p.address, p.fmp4 ? ".mp4" : ".ts", &p.path);
                if (p.file == nullptr) p.failed = true;
            }
            next->Emit(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
            if (next->sequence != kInit) {
                p.started = true;
                p.lastWritten = next->sequence;
            }
            return;
        }
        const bool stale = next->sequence != kInit ? p.started && next->sequence <= p.lastWritten
                                                   : p.initWritten || p.started;
        if (next->broken) {
            LogOut(LOG_WARN, "Segment " + std::to_string(next->sequence) + " of " + p.address +
                                 " did not fit in the held bytes: dropped");
            DropBody(next);
            continue;
        }
        if (stale) {
            LogOut(LOG_INFO, "Segment " + std::to_string(next->sequence) + " of " + p.address +
                                 " came after later ones: dropped");
            DropBody(next);
            continue;
        }
        if (p.file == nullptr && !p.failed) {
            p.file = OpenFile(p.address, p.fmp4 ? ".mp4" : ".ts", &p.path);
            if (p.file == nullptr) p.failed = true;
        }
        if (next->sequence != kInit) {
            if (p.started && next->sequence > p.lastWritten + 1) {
                LogOut(LOG_WARN, "Gap in the recording " + p.path + ": segments " +
                                     std::to_string(p.lastWritten + 1) + " to " +
                                     std::to_string(next->sequence - 1) + " of " + p.address +
                                     " are not in the capture");
            }
            p.started = true;
            p.lastWritten = next->sequence;
            ++p.segments;
        } else {
            p.initWritten = true;
        }
        if (next->encrypted && !p.warnedEncrypted) {
            p.warnedEncrypted = true;
            LogOut(LOG_WARN, "The segments of " + p.address +
                                 " are encrypted: written as they came to " + p.path);
        }
        if (p.file != nullptr) {
            std::fwrite(next->held.data(), 1, next->held.size(), p.file);
            std::fflush(p.file);
        }
        DropBody(next);
    }
}

void HttpStreamRecorder::PlaylistDone(const std::string& address, const std::string& text) {
    const HlsPlaylist parsed = ParseHlsPlaylist(text.data(), text.size());
    if (!parsed.valid) {
        LogOut(LOG_WARN, address + " is not an HLS playlist: not recorded");
        return;
    }
    if (parsed.master) {
        for (const std::string& v : parsed.variants) {
            const std::string resolved = ResolveUri(address, v);
            if (!resolved.empty() && m_variants.size() < kMaxRecordings)
                m_variants.insert(resolved);
        }
        return;
    }
    Playlist* p = PlaylistFor(address);
    if (p == nullptr) return;
    bool full = false;
    for (const HlsSegment& s : parsed.segments) {
        if (!s.mapUri.empty()) {
            p->fmp4 = true;
            const std::string map = ResolveUri(address, s.mapUri);
            if (!map.empty() && m_segments.size() < kMaxSegmentIndex)
                m_segments.emplace(map, SegmentRef{p, kInit, false});
        }
        const std::string uri = ResolveUri(address, s.uri);
        if (uri.empty()) continue;
        if (m_segments.size() >= kMaxSegmentIndex) {
            full = true;
            break;
        }
        m_segments.emplace(uri, SegmentRef{p, s.sequence, s.encrypted});
    }
    if (full) {
        LogOut(LOG_WARN, "More than " + std::to_string(kMaxSegmentIndex) +
                             " segments named: the later ones of " + address + " are not recorded");
    }
    // Responses that came before this playlist named them take their places now.
    bool placed = false;
    for (auto& b : m_bodies) {
        if (b->mode != Body::kUnplaced) continue;
        auto seg = m_segments.find(b->address);
        if (seg == m_segments.end() || seg->second.playlist != p) continue;
        b->mode = Body::kSegment;
        b->playlist = p;
        b->sequence = seg->second.sequence;
        b->encrypted = seg->second.encrypted;
        placed = true;
    }
    if (placed) WriteHeld(*p);
}

void HttpStreamRecorder::Finish() {
    // Segments still held go in if they can; the rest is reported.
    for (auto& entry : m_playlists) WriteHeld(*entry.second);
    size_t unplaced = 0, unplacedBytes = 0;
    for (auto& b : m_bodies) {
        if (b->mode == Body::kUnplaced) {
            ++unplaced;
            unplacedBytes += b->held.size();
        }
    }
    if (unplaced > 0) {
        LogOut(LOG_INFO, "Dropped " + std::to_string(unplaced) + " held responses (" +
                             std::to_string(unplacedBytes) + " bytes) that no playlist named");
    }
    for (auto it = m_bodies.begin(); it != m_bodies.end();) {
        Body* b = it->get();
        if (b->ended && (b->mode == Body::kUnplaced || b->mode == Body::kSegment)) {
            m_heldBytes -= std::min(m_heldBytes, b->held.size());
            it = m_bodies.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& entry : m_playlists) {
        Playlist& p = *entry.second;
        if (p.file != nullptr && p.writer == nullptr) {
            std::fclose(p.file);
            p.file = nullptr;
            LogOut(LOG_INFO, "Recorded " + std::to_string(p.segments) + " segments of " +
                                 p.address + " to " + p.path);
        }
    }
    for (auto& entry : m_progressive) {
        Progressive& p = *entry.second;
        if (p.fd < 0) continue;
        int64_t end = p.total;
        if (end < 0) end = p.covered.empty() ? 0 : p.covered.rbegin()->second;
        int64_t at = 0, missing = 0;
        int holes = 0;
        for (auto& range : p.covered) {
            if (range.first > at) {
                missing += range.first - at;
                ++holes;
            }
            at = std::max(at, range.second);
        }
        if (at < end) {
            missing += end - at;
            ++holes;
        }
        if (holes > 0 || p.tooManyRanges) {
            LogOut(LOG_WARN, "The recording " + p.path + " of " + p.address + " has " +
                                 std::to_string(holes) + " holes (" + std::to_string(missing) +
                                 " bytes not in the capture)");
        }
        close(p.fd);
        p.fd = -1;
    }
}

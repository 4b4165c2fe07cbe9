// Real RTMP sessions with segments taken out and reported as gaps: the decoder must emit only
// messages it received whole, lose no more than the damage explains, and always find its way
// back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "decoder/RtmpCapture.h"
#include "decoder/RtmpChunks.h"
#include "decoder/VideoStreamDecoder.h"

namespace {

using rtmpchunks::Bytes;

// A media message of the clean stream: its tag and where its chunks (headers included) lie.
struct Truth {
    Bytes tag;
    size_t start = 0, end = 0;  // first header byte, one past the last payload byte
    std::vector<std::pair<size_t, size_t>> ranges;
    bool key = false;
};

struct Session {
    std::vector<Bytes> segments;  // server to client, of the connection that was played
    Bytes stream;                 // the same, joined
    std::vector<Truth> truth;
};

// An independent walk of a clean chunk stream, after the 3073 handshake bytes, that knows where
// every chunk lies. Checked against the decoder on the undamaged stream.
std::vector<Truth> Walk(const Bytes& s) {
    struct Cs {
        uint32_t length = 0, taken = 0, ts = 0, field = 0;
        uint8_t type = 0;
        bool ext = false, open = false;
        Truth msg;
    };
    std::map<int, Cs> css;
    std::vector<Truth> out;
    uint32_t chunkSize = 128;
    auto be = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 8) | s[at + static_cast<size_t>(i)];
        return v;
    };
    size_t pos = 1 + 1536 + 1536;
    while (pos + 12 < s.size()) {
        const size_t start = pos;
        const int fmt = s[pos] >> 6, id = s[pos] & 0x3F;
        Cs& c = css[id];
        size_t h = fmt == 0 ? 12 : fmt == 1 ? 8 : fmt == 2 ? 4 : 1;
        uint32_t field = c.field;
        if (fmt <= 2) field = be(pos + 1, 3);
        if (fmt <= 1) {
            c.length = be(pos + 4, 3);
            c.type = s[pos + 7];
        }
        if (fmt <= 2) {
            c.ext = field == 0xFFFFFF;
            if (c.ext) {
                field = be(pos + h, 4);
                h += 4;
            }
        } else if (c.ext && be(pos + 1, 4) == c.field) {
            h += 4;
        }
        if (!c.open) {
            c.ts = fmt == 0 ? field : c.ts + (fmt <= 2 ? field : c.field);
            c.open = true;
            c.taken = 0;
            c.msg = Truth();
            c.msg.start = start;
        }
        if (fmt <= 2) c.field = field;
        pos += h;
        const uint32_t n = std::min(chunkSize, c.length - c.taken);
        if (pos + n > s.size()) break;
        c.msg.tag.insert(c.msg.tag.end(), s.begin() + static_cast<long>(pos),
                         s.begin() + static_cast<long>(pos + n));
        pos += n;
        c.taken += n;
        c.msg.ranges.push_back({start, pos});
        if (c.taken < c.length) continue;
        c.open = false;
        if (c.type == 1 && id == 2) chunkSize = be(pos - 4, 4);
        if (c.type != 8 && c.type != 9) continue;
        Truth t = c.msg;
        t.end = pos;
        t.key = c.type == 9 && !t.tag.empty() && (t.tag[0] >> 4) == 1;
        t.tag = rtmpchunks::Tag(c.type, c.ts, t.tag);
        out.push_back(t);
    }
    return out;
}

Session Load(const std::string& name) {
    Session s;
    const auto all =
        rtmpcapture::ReadRtmpSegments(std::string(STREVIX_TEST_DATA) + "/" + name + ".pcap");
    // The played connection: the one whose server sent the most.
    std::map<int, size_t> bytes;
    for (const auto& g : all)
        if (g.fromServer) bytes[g.clientPort] += g.payload.size();
    int port = 0;
    size_t most = 0;
    for (const auto& [p, n] : bytes)
        if (n > most) most = n, port = p;
    for (const auto& g : all) {
        if (!g.fromServer || g.clientPort != port) continue;
        s.segments.push_back(g.payload);
        s.stream.insert(s.stream.end(), g.payload.begin(), g.payload.end());
    }
    s.truth = Walk(s.stream);
    return s;
}

Bytes AsBytes(const CZMemory* m) {
    return Bytes(m->data, m->data + m->length);
}

// Feeds the pieces [offset, offset + length) of the stream; a missing piece becomes a gap.
struct Piece {
    size_t offset, length;
    bool missing;
};

std::vector<Bytes> Decode(const Session& s, const std::vector<Piece>& pieces,
                          size_t* largestBacklog = nullptr) {
    CRtmp2H264AacDecoder d;
    CVideoStreamDecoder& base = d;
    std::vector<Bytes> tags;
    for (const Piece& p : pieces) {
        if (p.missing) {
            base.Gap(static_cast<uint32_t>(p.length));
            continue;
        }
        for (const CZMemory* t =
                 d.DecodeToFlvTag(s.stream.data() + p.offset, static_cast<int>(p.length));
             t != nullptr; t = d.DecodeToFlvTag(nullptr, 0))
            tags.push_back(AsBytes(t));
        if (largestBacklog != nullptr)
            *largestBacklog = std::max(*largestBacklog, static_cast<size_t>(d.BufferedBytes()));
    }
    return tags;
}

std::vector<Piece> SegmentPieces(const Session& s, const std::set<size_t>& removed) {
    std::vector<Piece> out;
    size_t at = 0;
    for (size_t i = 0; i < s.segments.size(); ++i) {
        out.push_back({at, s.segments[i].size(), removed.count(i) != 0});
        at += s.segments[i].size();
    }
    return out;
}

// Same tag but for the timestamp (bytes 4 to 7).
bool SameButTime(const Bytes& a, const Bytes& b) {
    return a.size() == b.size() && a.size() >= 11 &&
           std::equal(a.begin(), a.begin() + 4, b.begin()) &&
           std::equal(a.begin() + 8, a.end(), b.begin() + 8);
}

struct Outcome {
    size_t kept = 0, lost = 0, touched = 0, waitingForKey = 0, extra = 0, exactTime = 0;
    int worstExtraPerGap = 0;
};

// Checks the tags against the truth: each one is a truth tag (timestamps exact until the first
// gap), in order; the messages lost are those the damage touched, video before the next key
// frame after a gap, and at most `extraPerGap` more for each gap.
Outcome Check(const Session& s, const std::vector<Piece>& pieces, const std::vector<Bytes>& tags,
              int extraPerGap, const std::string& what) {
    Outcome o;
    std::vector<std::pair<size_t, size_t>> holes;
    for (const Piece& p : pieces)
        if (p.missing) holes.push_back({p.offset, p.offset + p.length});
    auto touched = [&](const Truth& t) {
        for (const auto& r : t.ranges)
            for (const auto& h : holes)
                if (r.first < h.second && h.first < r.second) return true;
        return false;
    };
    const size_t firstHole = holes.empty() ? SIZE_MAX : holes.front().first;
    std::vector<bool> emitted(s.truth.size(), false);
    size_t next = 0;
    for (const Bytes& tag : tags) {
        size_t i = next;
        while (i < s.truth.size() && !SameButTime(s.truth[i].tag, tag)) ++i;
        if (i == s.truth.size()) {
            long found = -1;
            for (size_t j = 0; j < s.truth.size(); ++j)
                if (SameButTime(s.truth[j].tag, tag)) found = static_cast<long>(j);
            std::string hex;
            for (size_t k = 0; k < std::min<size_t>(tag.size(), 24); ++k) {
                char b[4];
                std::snprintf(b, sizeof b, "%02x", tag[k]);
                hex += b;
            }
            ADD_FAILURE() << "found at " << found << " " << hex;
            ADD_FAILURE() << what << ": tag " << &tag - &tags[0] << " is no truth tag after "
                          << next << " (size " << tag.size() << ")";
            return o;
        }
        const Truth& t = s.truth[i];
        if (t.end <= firstHole) {
            EXPECT_EQ(tag, t.tag) << what << ": message " << i << " before any gap";
        }
        if (tag == t.tag) ++o.exactTime;
        emitted[i] = true;
        next = i + 1;
    }
    // Per gap, the messages lost that the rules do not explain.
    std::vector<int> extraOf(holes.size(), 0);
    for (size_t i = 0; i < s.truth.size(); ++i) {
        const Truth& t = s.truth[i];
        if (emitted[i]) {
            ++o.kept;
            continue;
        }
        ++o.lost;
        if (touched(t)) {
            ++o.touched;
            continue;
        }
        // The last gap before the message's end.
        int hole = -1;
        for (size_t h = 0; h < holes.size(); ++h)
            if (holes[h].first < t.end) hole = static_cast<int>(h);
        if (hole < 0) {
            ADD_FAILURE() << what << ": message " << i << " lost before any gap";
            continue;
        }
        bool beforeKey = t.tag[0] == 9;
        for (size_t j = 0; j < i && beforeKey; ++j) {
            const Truth& k = s.truth[j];
            if (k.key && k.start >= holes[static_cast<size_t>(hole)].second && !touched(k))
                beforeKey = false;
        }
        if (t.tag[0] == 9 && beforeKey && !t.key) {
            ++o.waitingForKey;
            continue;
        }
        ++o.extra;
        ++extraOf[static_cast<size_t>(hole)];
    }
    for (int e : extraOf) o.worstExtraPerGap = std::max(o.worstExtraPerGap, e);
    EXPECT_LE(o.worstExtraPerGap, extraPerGap) << what;
    // Decoding goes on to the end: the last message is there unless a gap touched it
    // (unless the last gap comes so late that no proof can be finished before the end).
    if (s.truth.size() > 10 && !touched(s.truth.back()) &&
        (holes.empty() || holes.back().second < s.truth[s.truth.size() - 10].start)) {
        EXPECT_TRUE(emitted.back()) << what << ": the last message is missing";
    }
    return o;
}

// Messages beyond those the damage explains that a resync may cost (measured: see the output).
constexpr int kResyncBound = 1;

class GapRecovery : public ::testing::TestWithParam<std::string> {};

TEST_P(GapRecovery, UndamagedStreamGivesTheWalkedTruth) {
    const Session s = Load(GetParam());
    ASSERT_GT(s.truth.size(), 100u);
    std::vector<Bytes> want;
    for (const Truth& t : s.truth) want.push_back(t.tag);
    EXPECT_EQ(Decode(s, SegmentPieces(s, {})), want);
}

TEST_P(GapRecovery, SegmentsReplacedByGapsLoseOnlyWhatTheDamageExplains) {
    const Session s = Load(GetParam());
    ASSERT_GT(s.segments.size(), 50u);
    const size_t n = s.segments.size();
    // The segment most inside the largest key frame.
    size_t largest = 0;
    for (size_t i = 0; i < s.truth.size(); ++i)
        if (s.truth[i].key && s.truth[i].tag.size() > s.truth[largest].tag.size()) largest = i;
    size_t inKey = n / 2, at = 0;
    for (size_t i = 0; i < n; at += s.segments[i].size(), ++i) {
        const Truth& k = s.truth[largest];
        if (at > k.start && at + s.segments[i].size() < k.end) {
            inKey = i;
            if (at > (k.start + k.end) / 2) break;
        }
    }
    std::mt19937 rng(20240611);
    std::set<size_t> random;
    while (random.size() < 12) random.insert(10 + rng() % (n - 10));
    std::set<size_t> run;
    for (size_t i = 0; i < 8; ++i) run.insert(n * 2 / 5 + i);
    const std::vector<std::pair<std::string, std::set<size_t>>> patterns = {
        {"one segment", {n / 2}},
        {"five spread", {n / 6, n * 2 / 6, n * 3 / 6, n * 4 / 6, n * 5 / 6}},
        {"run of eight", run},
        {"inside the largest key frame", {inKey}},
        {"twelve random", random},
        {"the last segment but one", {n - 2}},
    };
    for (const auto& [name, removed] : patterns) {
        const auto pieces = SegmentPieces(s, removed);
        size_t backlog = 0;
        const auto tags = Decode(s, pieces, &backlog);
        const Outcome o = Check(s, pieces, tags, kResyncBound, GetParam() + " " + name);
        std::printf(
            "%s, %s: kept %zu of %zu (lost: %zu touched, %zu video before a key frame, %zu to "
            "resync, worst %d a gap); %zu with exact timestamps; backlog %zu\n",
            GetParam().c_str(), name.c_str(), o.kept, s.truth.size(), o.touched, o.waitingForKey,
            o.extra, o.worstExtraPerGap, o.exactTime, backlog);
        EXPECT_LT(backlog, static_cast<size_t>(CRtmp2H264AacDecoder::kResyncWindow) + 65536);
    }
}

// Gaps of any length at any byte, pieces of any size: never a tag that is not in the truth.
TEST_P(GapRecovery, RandomGapsNeverInventATag) {
    const Session s = Load(GetParam());
    std::mt19937 rng(7);
    size_t kept = 0, total = 0;
    for (int round = 0; round < 40; ++round) {
        std::vector<Piece> pieces;
        for (size_t at = 0; at < s.stream.size();) {
            const size_t len = std::min(s.stream.size() - at, size_t{1} + rng() % 3000);
            const bool missing = at > 0 && rng() % 40 == 0;
            const size_t hole =
                missing ? std::min(len, size_t{1} + rng() % (round % 2 ? 20 : 9000)) : len;
            pieces.push_back({at, hole, missing});
            if (missing && hole < len) pieces.push_back({at + hole, len - hole, false});
            at += len;
        }
        const auto tags = Decode(s, pieces);
        const Outcome o =
            Check(s, pieces, tags, 1000, GetParam() + " round " + std::to_string(round));
        kept += o.kept;
        total += s.truth.size();
    }
    std::printf("%s, random gaps: kept %zu of %zu\n", GetParam().c_str(), kept, total);
}

INSTANTIATE_TEST_SUITE_P(Captures, GapRecovery,
                         ::testing::Values("rtmp-ffmpeg-128", "rtmp-ffmpeg-large",
                                           "rtmp-nginx-4096"),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                             std::string name = p.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace

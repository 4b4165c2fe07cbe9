// The reassembler against the byte stream it should rebuild: a table of scenarios with the
// stream each one must give, random streams cut, shuffled, duplicated and thinned, and a flood
// of hostile segments over many directions sharing one small memory cap.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "flow/TcpReassembler.h"

namespace {

const uint32_t kAhead = TcpReassembler::kMaxAhead;

// The direction as its sink saw it: the bytes, and "[n]" for a gap of n.
struct Recorder : ReassemblySink {
    std::string text;
    uint64_t bytes = 0;
    uint64_t gaps = 0;
    void OnBytes(const unsigned char* data, int length) override {
        text.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        bytes += static_cast<uint64_t>(length);
    }
    void OnGap(uint32_t length) override {
        text += "[" + std::to_string(length) + "]";
        gaps += length;
    }
};

enum { kSyn = 1, kFin = 2 };

struct Seg {
    uint32_t at;  // sequence number less the case's first one
    std::string bytes;
    int flags = 0;
    double sec = 0;  // capture time
};

struct Case {
    const char* name;
    uint32_t isn;
    std::vector<Seg> segs;
    bool flush;
    std::string expect;  // what the sink must see
    bool fin;
    uint64_t dropped;
    size_t cap = FlowMemory::kDefaultCap;
    bool unstarted = false;  // else Start(isn), unless it begins with a SYN
};

std::string Gap(uint64_t n) {
    return "[" + std::to_string(n) + "]";
}

// Bytes whose value says where they lie: offset `at` of the stream.
std::string Letters(uint32_t at, size_t n) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (at + i) % 26);
    return s;
}

std::vector<Case> Cases() {
    std::vector<Case> cases = {
        {"in order", 1000, {{0, "hello "}, {6, "world"}}, false, "hello world", false, 0},
        {"reordered", 1000, {{6, "world"}, {0, "hel"}, {3, "lo "}}, false, "hello world", false, 0},
        {"several holes filled in any order",
         7,
         {{8, "ij"}, {4, "ef"}, {2, "cd"}, {6, "gh"}, {0, "ab"}},
         false,
         "abcdefghij",
         false,
         0},
        {"duplicates and retransmissions dropped",
         1000,
         {{0, "hello"}, {0, "hello"}, {5, " world"}, {2, "llo w"}, {5, " world"}},
         false,
         "hello world",
         false,
         16},
        {"partial overlap with delivered bytes: only the new tail",
         1000,
         {{0, "hello"}, {3, "lo world"}},
         false,
         "hello world",
         false,
         2},
        {"overlap with held bytes of other contents: the held ones stay",
         1000,
         {{4, "EFGH"}, {2, "cdXXXXij"}, {0, "ab"}},
         false,
         "abcdEFGHij",
         false,
         4},
        {"overlap with delivered bytes of other contents: the delivered ones stay",
         1000,
         {{0, "abcd"}, {2, "XXef"}},
         false,
         "abcdef",
         false,
         2},
        {"sequence numbers wrap",
         0xFFFFFFFCu,
         {{6, "ghij"}, {0, "abc"}, {3, "def"}, {1, "bc"}},
         false,
         "abcdefghij",
         false,
         2},
        {"mid-connection: the first segment starts the direction, earlier ones are old",
         5000,
         {{10, "klm"}, {0, "abcdefghij"}, {13, "n"}},
         false,
         "klmn",
         false,
         10,
         FlowMemory::kDefaultCap,
         true},
        {"SYN and FIN take a number each",
         0xFFFFFFFFu,
         {{0, "", kSyn}, {1, "hello"}, {6, "", kFin}, {6, "", kFin}, {0, "", kSyn}},
         false,
         "hello",
         true,
         0},
        {"payload on a SYN", 40, {{0, "ab", kSyn}, {3, "cd"}}, false, "abcd", false, 0},
        {"a FIN ahead of a hole waits for it",
         40,
         {{0, "", kSyn}, {6, " world", kFin}, {1, "hello"}, {6, " world", kFin}},
         false,
         "hello world",
         true,
         6},
        {"timeout: the hole before a segment waiting longer than 10 s is given up",
         90,
         {{5, "fgh", 0, 0.0},
          {10, "kl", 0, 5.0},
          {20, "uv", 0, 10.5},  // the first has waited 10.5 s
          {30, "", 0, 15.1},    // the second 10.1 s
          {40, "", 0, 20.5}},   // the third exactly 10 s: still waits
         false,
         "[5]fgh[2]kl",
         false,
         0},
        {"flush: every hole a gap, the FIN after them",
         90,
         {{0, "ab"}, {4, "ef"}, {8, "ij", kFin}},
         true,
         "ab[2]ef[2]ij",
         true,
         0},
        {"flush up to a FIN beyond the bytes",
         90,
         {{0, "ab"}, {6, "", kFin}},
         true,
         "ab[4]",
         true,
         0},
        {"far ahead: what is held, a gap, the segment",
         0xFFFFFF00u,
         {{0, "ab"}, {4, "ef"}, {kAhead + 10, "zz"}, {kAhead + 12, "!"}},
         false,
         "ab[2]ef" + Gap(kAhead + 4) + "zz!",
         false,
         0},
        {"exactly kMaxAhead ahead is still held",
         3,
         {{0, "ab"}, {kAhead + 2, "q"}},
         false,
         "ab",
         false,
         0},
        // Bytes and a FIN that claim the same number (a broken or hostile sender): the one
        // seen first wins, held or delivered.
        {"a FIN seen before bytes at its number",
         40,
         {{0, "", kSyn}, {2, "b", kFin}, {3, "XY"}, {1, "a"}},
         false,
         "abY",
         true,
         1},
        {"bytes seen before a FIN at their number",
         40,
         {{0, "", kSyn}, {3, "XY"}, {2, "b", kFin}, {1, "a"}},
         false,
         "abXY",
         false,
         0},
        {"bytes delivered before a FIN at their number",
         40,
         {{0, "", kSyn}, {3, "XY"}, {1, "ab", kFin}},
         false,
         "abXY",
         false,
         0},
        {"one FIN a direction: a second one is no FIN",
         40,
         {{0, "", kSyn}, {1, "ab", kFin}, {4, "cd", kFin}, {7, "e"}},
         false,
         "abcd",
         true,
         0},
        {"the shared cap: a hole is given up to make room",
         90,
         {{10, std::string(50, 'x')}, {70, std::string(60, 'y')}},
         true,
         "[10]" + std::string(50, 'x') + "[10]" + std::string(60, 'y'),
         false,
         0,
         100},
        {"the shared cap: a segment larger than it goes through after a gap",
         90,
         {{5, std::string(200, 'z')}},
         false,
         "[5]" + std::string(200, 'z'),
         false,
         0,
         100},
    };

    // One hole, then as many one-byte segments as may be held, each behind a hole of its own:
    // the next one gives up the first hole.
    Case segments{"segment bound", 0xFFFFF000u, {{0, "a"}}, false, "a[1]c", false, 0};
    for (uint32_t at = 2; at < 2 + 2 * TcpReassembler::kMaxHeldSegments + 2; at += 2)
        segments.segs.push_back({at, Letters(at, 1)});
    cases.push_back(segments);

    // 600 000 bytes held, then 500 000 more would pass the byte bound.
    Case bytes{"byte bound", 1, {}, false, "", false, 0};
    bytes.segs = {{10, Letters(10, 600000)}, {700000, Letters(700000, 500000)}};
    bytes.expect = "[10]" + Letters(10, 600000);
    cases.push_back(bytes);
    return cases;
}

TEST(TcpReassembler, Scenarios) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        FlowMemory memory(c.cap);
        Recorder out;
        {
            TcpReassembler r(&memory);
            if (!c.unstarted && !(c.segs[0].flags & kSyn)) r.Start(c.isn);
            for (const Seg& s : c.segs) {
                r.Segment(c.isn + s.at, reinterpret_cast<const unsigned char*>(s.bytes.data()),
                          static_cast<int>(s.bytes.size()), s.flags & kSyn, s.flags & kFin,
                          static_cast<int64_t>(s.sec * 1e6), out);
                EXPECT_EQ(memory.Used(), r.HeldBytes());
            }
            if (c.flush) {
                r.Flush(out);
                EXPECT_EQ(r.HeldBytes(), 0u);
            }
            if (out.text.size() < 200) {
                EXPECT_EQ(out.text, c.expect);
            } else {
                EXPECT_TRUE(out.text == c.expect) << "a long stream differs";
            }
            EXPECT_EQ(r.FinSeen(), c.fin);
            EXPECT_EQ(r.DroppedBytes(), c.dropped);
            EXPECT_EQ(r.DeliveredBytes(), out.bytes);
            EXPECT_EQ(r.GapBytes(), out.gaps);
        }
        EXPECT_EQ(memory.Used(), 0u) << "the destructor gives back what was held";
    }
}

TEST(TcpReassembler, StartAndClearForgetWhatIsHeld) {
    FlowMemory memory;
    Recorder out;
    TcpReassembler r(&memory);
    const unsigned char x[4] = {'w', 'x', 'y', 'z'};
    r.Segment(100, x, 2, false, false, 0, out);
    r.Segment(110, x, 4, false, true, 0, out);
    EXPECT_EQ(memory.Used(), 4u);
    r.Clear();
    EXPECT_EQ(memory.Used(), 0u);
    EXPECT_EQ(r.NextSeq(), 102u);
    r.Segment(110, x, 4, false, false, 0, out);
    r.Start(500);
    EXPECT_EQ(memory.Used(), 0u);
    EXPECT_EQ(r.HeldSegments(), 0u);
    r.Segment(500, x + 2, 2, false, false, 0, out);
    r.Flush(out);  // nothing held, and the FIN forgotten: no gap
    EXPECT_EQ(out.text, "wxyz");
    EXPECT_FALSE(r.FinSeen());
}

// Checks every delivered byte against the stream at the position the sink has reached.
struct TruthSink : ReassemblySink {
    const std::string* truth;
    uint64_t pos = 0;
    uint64_t gaps = 0;
    bool wrong = false;
    void OnBytes(const unsigned char* data, int length) override {
        if (pos + static_cast<uint64_t>(length) > truth->size() ||
            truth->compare(pos, length, reinterpret_cast<const char*>(data), length) != 0)
            wrong = true;
        pos += static_cast<uint64_t>(length);
    }
    void OnGap(uint32_t length) override {
        pos += length;
        gaps += length;
    }
};

struct Piece {
    size_t at;
    size_t n;
    double slot;  // sending order
};

// A random stream cut into random segments, sent out of order within a window, some sent twice
// or over their neighbours, and (lossy) some never: whatever is delivered is the stream's byte
// at its position, the positions add up, and the bounds hold.
TEST(TcpReassembler, RandomStreamsRebuildTheTruth) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const bool lossy = seed % 2 == 0;
        const bool smallCap = seed % 5 == 0;  // the shared cap gives holes up too
        std::string truth(20000 + rng() % 200000, '\0');
        for (char& c : truth) c = static_cast<char>(rng());
        const uint32_t isn = seed % 3 == 0 ? 0xFFFFFFFFu - rng() % 100000 : uint32_t(rng());

        std::vector<Piece> pieces;
        const double window = lossy ? 300 : 12;
        size_t maxEnd = 0;
        for (size_t at = 0, i = 0; at < truth.size(); ++i) {
            size_t n = std::min<size_t>(truth.size() - at,
                                        rng() % 4 == 0 ? 1 + rng() % 20 : 1 + rng() % 1460);
            double slot = i + std::uniform_real_distribution<double>(0, window)(rng);
            if (!(lossy && rng() % 40 == 0)) {
                pieces.push_back({at, n, slot});
                maxEnd = std::max(maxEnd, at + n);
            }
            if (rng() % 20 == 0) pieces.push_back({at, n, slot + rng() % 50});  // sent again
            if (rng() % 25 == 0) {  // sent again over its neighbours
                size_t from = at > 1000 ? at - rng() % 1000 : 0;
                pieces.push_back({from, std::min<size_t>(truth.size() - from, rng() % 3000 + 1),
                                  slot + rng() % 50});
                maxEnd = std::max(maxEnd, pieces.back().at + pieces.back().n);
            }
            at += n;
        }
        std::stable_sort(pieces.begin(), pieces.end(),
                         [](const Piece& a, const Piece& b) { return a.slot < b.slot; });

        FlowMemory memory(smallCap ? 30000 : FlowMemory::kDefaultCap);
        TruthSink sink;
        sink.truth = &truth;
        TcpReassembler r(&memory);
        r.Start(isn);
        int64_t us = 0;
        for (const Piece& p : pieces) {
            us += 1000;
            r.Segment(isn + uint32_t(p.at),
                      reinterpret_cast<const unsigned char*>(truth.data()) + p.at,
                      static_cast<int>(p.n), false, false, us, sink);
            ASSERT_LE(r.HeldBytes(), TcpReassembler::kMaxHeldBytes);
            ASSERT_LE(r.HeldSegments(), size_t(TcpReassembler::kMaxHeldSegments));
            ASSERT_EQ(memory.Used(), r.HeldBytes());
            ASSERT_LE(memory.Used(), memory.Cap());
        }
        r.Flush(sink);
        EXPECT_FALSE(sink.wrong);
        EXPECT_EQ(sink.pos, maxEnd) << "every position up to the last byte seen, once";
        EXPECT_EQ(r.NextSeq(), isn + uint32_t(maxEnd));
        EXPECT_EQ(memory.Used(), 0u);
        if (!lossy && !smallCap) {
            EXPECT_EQ(sink.gaps, 0u);
            EXPECT_EQ(r.DeliveredBytes(), truth.size());
        }
    }
}

struct Counter : ReassemblySink {
    uint64_t bytes = 0;
    uint64_t gaps = 0;
    void OnBytes(const unsigned char*, int length) override {
        bytes += static_cast<uint64_t>(length);
    }
    void OnGap(uint32_t length) override { gaps += length; }
};

// A million hostile segments over 256 directions sharing a cap of 4 MiB (a quarter of what
// they could each hold): holes everywhere, overlaps of other contents, runs of one-byte
// segments, numbers around the wrap, whole-window jumps, random flags and numbers.
TEST(TcpReassembler, FloodStaysUnderTheSharedCap) {
    const int kDirections = 256;
    FlowMemory memory(size_t{4} << 20);
    std::vector<std::unique_ptr<TcpReassembler>> dirs;
    std::mt19937 rng(2024);
    for (int i = 0; i < kDirections; ++i) {
        dirs.emplace_back(new TcpReassembler(&memory));
        if (i % 2 == 0) dirs.back()->Start(0xFFFFFFFFu - rng() % 300000);
    }
    std::vector<unsigned char> junk(70000);
    for (unsigned char& c : junk) c = static_cast<unsigned char>(rng());
    Counter sink;
    int64_t us = 0;
    for (int i = 0; i < 1000000; ++i) {
        TcpReassembler& r = *dirs[rng() % kDirections];
        const uint32_t next = r.NextSeq();
        uint32_t seq = next + 1 + rng() % 200000;  // a hole before it
        int length = 1 + static_cast<int>(rng() % 1460);
        bool syn = false, fin = false;
        const unsigned kind = rng() % 64;
        if (kind < 40) {
            // ahead of a hole
        } else if (kind < 48) {  // over held bytes, other contents
            seq = next + rng() % 3000;
            length = 1 + static_cast<int>(rng() % 5000);
        } else if (kind < 52) {
            seq = next;
        } else if (kind < 55) {
            seq = next - rng() % 5000;
        } else if (kind < 56) {
            seq = next + kAhead + 1 + rng() % kAhead;
        } else if (kind < 60) {
            seq = next + 1 + rng() % 4000;
            length = 1;
        } else if (kind < 63) {
            syn = rng() % 2;
            fin = rng() % 2;
        } else {
            seq = uint32_t(rng());
            length = static_cast<int>(rng() % 65536);
        }
        us += rng() % 200;
        r.Segment(seq, junk.data() + rng() % 4000, length, syn, fin, us, sink);
        ASSERT_LE(r.HeldBytes(), TcpReassembler::kMaxHeldBytes);
        ASSERT_LE(memory.Used(), memory.Cap());
    }
    size_t held = 0;
    for (auto& d : dirs) held += d->HeldBytes();
    EXPECT_EQ(memory.Used(), held);
    for (auto& d : dirs) d->Flush(sink);
    EXPECT_EQ(memory.Used(), 0u);
    EXPECT_LE(memory.Peak(), memory.Cap());
    uint64_t delivered = 0, gaps = 0;
    for (auto& d : dirs) {
        delivered += d->DeliveredBytes();
        gaps += d->GapBytes();
    }
    EXPECT_EQ(delivered, sink.bytes);
    EXPECT_EQ(gaps, sink.gaps);
    std::printf("flood: peak held %zu of a %zu cap; %llu bytes delivered, %llu in gaps\n",
                memory.Peak(), memory.Cap(), static_cast<unsigned long long>(delivered),
                static_cast<unsigned long long>(gaps));
    RecordProperty("peak_held_bytes", std::to_string(memory.Peak()));
}

}  // namespace

// Segments with any numbers, flags and lengths for both directions of a TcpFlow sharing a small
// FlowMemory. The input is records of: one byte of flags (see below), a 4-byte big-endian
// sequence number, a 2-byte big-endian length, that many payload bytes (fewer if the input
// ends). Checks after every record: the bounds and the shared cap hold, the memory used is what
// the directions hold, the sink's totals are the reassembler's, the position moved by exactly
// what was delivered, and every byte delivered is the one first seen at its position.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "FuzzSupport.h"
#include "flow/TcpReassembler.h"

namespace {

enum : uint8_t {
    kToClient = 0x01,
    kSyn = 0x02,
    kFin = 0x04,
    kRelative = 0x08,  // the number is an offset from the direction's next byte
    kLater = 0x10,     // six seconds pass before it (two pass the hole timeout)
    kFlush = 0x20,     // the direction is flushed first
    kClear = 0x40,     // the direction is cleared first
    kStart = 0x80,     // Start(number) instead of a segment
};

const size_t kCap = 3000;
const uint32_t kBehind = 0x80000000u;

void Fail(const char* what) {
    std::fprintf(stderr, "flow invariant: %s\n", what);
    std::abort();
}

// One direction's sink, which knows each position as a 64-bit count that does not wrap.
struct Checker : ReassemblySink {
    const TcpReassembler* r = nullptr;
    uint64_t absNext = 0;                         // position of seqNext
    uint32_t seqNext = 0;                         // the reassembler's NextSeq() when last synced
    std::map<uint64_t, unsigned char> firstSeen;  // bytes seen ahead, not yet delivered
    uint64_t bytes = 0;
    uint64_t gaps = 0;

    uint64_t Abs(uint32_t seq) const { return absNext + uint32_t(seq - seqNext); }
    void Forget(uint64_t below) {
        firstSeen.erase(firstSeen.begin(), firstSeen.lower_bound(below));
    }
    void Sync() {
        absNext = Abs(r->NextSeq());
        seqNext = r->NextSeq();
        Forget(absNext);
    }
    void Saw(uint32_t seq, const unsigned char* data, int length) {
        for (int i = 0; i < length; ++i) {
            uint32_t ahead = seq + uint32_t(i) - seqNext;
            if (ahead < kBehind) firstSeen.emplace(absNext + ahead, data[i]);
        }
    }
    void OnBytes(const unsigned char* data, int length) override {
        if (data == nullptr || length <= 0) Fail("empty bytes delivered");
        if (r->HeldBytes() > TcpReassembler::kMaxHeldBytes) Fail("held bytes past the bound");
        // The reassembler has moved past these bytes already.
        const uint64_t end = Abs(r->NextSeq());
        const uint64_t at = end - uint64_t(length);
        for (int i = 0; i < length; ++i) {
            auto seen = firstSeen.find(at + uint64_t(i));
            if (seen != firstSeen.end() && seen->second != data[i])
                Fail("a byte other than the one seen first");
        }
        Forget(end);
        bytes += uint64_t(length);
    }
    void OnGap(uint32_t length) override {
        if (length == 0) Fail("an empty gap");
        gaps += length;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    FlowMemory memory(kCap);
    TcpFlow flow(ConnectionKey{}, &memory);
    Checker checkers[2];
    for (int d = 0; d < 2; ++d) checkers[d].r = &flow.Of(TcpFlow::Direction(d));
    int64_t us = 0;
    size_t at = 0;
    while (at + 7 <= size) {
        const uint8_t flags = data[at];
        uint32_t seq = uint32_t(data[at + 1]) << 24 | uint32_t(data[at + 2]) << 16 |
                       uint32_t(data[at + 3]) << 8 | data[at + 4];
        size_t length = size_t(data[at + 5]) << 8 | data[at + 6];
        at += 7;
        if (length > size - at) length = size - at;
        fuzzsupport::ExactCopy payload(data + at, length);
        at += length;

        const int d = flags & kToClient;
        TcpReassembler& r = flow.Of(TcpFlow::Direction(d));
        Checker& c = checkers[d];
        us += (flags & kLater) ? 6000000 : 1000;
        if (flags & kRelative) seq += r.NextSeq();
        if (flags & kClear) {
            r.Clear();
            c.firstSeen.clear();
        }
        if (flags & kFlush) {
            r.Flush(c);
            if (r.HeldBytes() != 0 || r.HeldSegments() != 0) Fail("held after a flush");
        }
        c.Sync();
        if (flags & kStart) {
            r.Start(seq);
            c.firstSeen.clear();
            c.absNext += uint64_t(1) << 33;  // a new numbering
            c.seqNext = seq;
        } else {
            const bool syn = flags & kSyn;
            const uint32_t first = syn ? seq + 1 : seq;
            if (!r.Started()) c.seqNext = first;
            const uint32_t before = c.seqNext;
            const uint64_t moved = r.DeliveredBytes() + r.GapBytes() + r.FinSeen();
            c.Saw(first, payload.data(), payload.size());
            r.Segment(seq, payload.data(), payload.size(), syn, flags & kFin, us, c);
            const uint64_t now = r.DeliveredBytes() + r.GapBytes() + r.FinSeen();
            if (uint32_t(r.NextSeq() - before) != uint32_t(now - moved))
                Fail("the position moved by other than what was delivered");
        }
        c.Sync();

        const TcpReassembler& a = flow.ToServer();
        const TcpReassembler& b = flow.ToClient();
        for (const TcpReassembler* x : {&a, &b}) {
            if (x->HeldBytes() > TcpReassembler::kMaxHeldBytes) Fail("held bytes past the bound");
            if (x->HeldSegments() > size_t(TcpReassembler::kMaxHeldSegments))
                Fail("held segments past the bound");
        }
        if (memory.Used() > memory.Cap() || memory.Peak() > memory.Cap()) Fail("past the cap");
        if (memory.Used() != a.HeldBytes() + b.HeldBytes()) Fail("memory is not what is held");
        for (int k = 0; k < 2; ++k) {
            const TcpReassembler& x = *checkers[k].r;
            if (checkers[k].bytes != x.DeliveredBytes() || checkers[k].gaps != x.GapBytes())
                Fail("the sink's totals differ");
        }
    }
    for (int d = 0; d < 2; ++d) flow.Of(TcpFlow::Direction(d)).Flush(checkers[d]);
    if (memory.Used() != 0) Fail("memory left after the flush");
    return 0;
}

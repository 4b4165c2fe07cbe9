// The hot path of the flow layer: a segment in order while nothing is held goes to the sink
// straight from the caller's buffer, without a copy and without an allocation. Every allocation
// (malloc, wrapped at link time, and operator new, replaced here) is counted.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "flow/TcpReassembler.h"

#include "CountedAllocations.h"

struct Sink : ReassemblySink {
    const unsigned char* last = nullptr;
    uint64_t bytes = 0;
    void OnBytes(const unsigned char* data, int length) override {
        last = data;
        bytes += static_cast<uint64_t>(length);
    }
    void OnGap(uint32_t) override {}
};

TEST(FlowHotPath, InOrderSegmentsAllocateNothing) {
    FlowMemory memory;
    TcpFlow flow(ConnectionKey{}, &memory);
    std::vector<unsigned char> payload(1460, 'x');
    Sink sink;
    // Warm: one hole filled, so the held list has had its storage once.
    TcpReassembler& up = flow.ToServer();
    up.Segment(1000, nullptr, 0, true, false, 0, sink);
    up.Segment(1001 + 1460, payload.data(), 1460, false, false, 0, sink);
    up.Segment(1001, payload.data(), 1460, false, false, 0, sink);
    ASSERT_EQ(up.HeldBytes(), 0u);

    g_allocations = 0;
    g_counting = true;
    uint32_t seq = up.NextSeq();
    for (int i = 0; i < 10000; ++i) {
        up.Segment(seq, payload.data(), 1460, false, false, i, sink);
        up.Segment(seq, payload.data(), 1460, false, false, i, sink);         // a retransmission
        up.Segment(seq + 1000, payload.data(), 1460, false, false, i, sink);  // partly new
        flow.ToClient().Segment(77, nullptr, 0, false, false, i, sink);       // a pure ack
        seq += 2460;
    }
    up.Segment(seq, payload.data(), 10, false, true, 10000, sink);  // the FIN
    g_counting = false;
    EXPECT_EQ(g_allocations, 0u);
    EXPECT_EQ(sink.last, payload.data()) << "the caller's bytes, not a copy";
    EXPECT_TRUE(up.FinSeen());
    EXPECT_EQ(sink.bytes, 2920u + 10000u * 2460u + 10u);

    // The counter sees the copy an out-of-order segment needs.
    g_counting = true;
    up.Segment(up.NextSeq() + 5, payload.data(), 100, false, false, 10001, sink);
    g_counting = false;
    EXPECT_GT(g_allocations, 0u);
}

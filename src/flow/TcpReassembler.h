#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flow/ConnectionKey.h"

// Receives the bytes of one direction of a TCP connection in sequence order, each byte once.
class ReassemblySink {
  public:
    virtual ~ReassemblySink() = default;
    // The next bytes of the direction. Valid during the call only. The reassembler has moved
    // past them already: its NextSeq() is the number after them.
    virtual void OnBytes(const unsigned char* data, int length) = 0;
    // `length` bytes of the direction will never come (lost before the capture, or given up
    // on); the next bytes delivered follow them.
    virtual void OnGap(uint32_t length) = 0;
};

// The bytes that all directions of one analyser hold out of order: one cap over them all, so a
// flood of holes cannot exhaust memory.
class FlowMemory {
  public:
    static const size_t kDefaultCap = size_t{64} << 20;
    explicit FlowMemory(size_t cap = kDefaultCap) : m_cap(cap) {}
    FlowMemory(const FlowMemory&) = delete;
    FlowMemory& operator=(const FlowMemory&) = delete;

    // Takes n bytes from the budget; false (nothing taken) when that would pass the cap.
    bool Reserve(size_t n) {
        if (n > m_cap - m_used) return false;
        m_used += n;
        if (m_used > m_peak) m_peak = m_used;
        return true;
    }
    void Release(size_t n) { m_used = n < m_used ? m_used - n : 0; }
    size_t Used() const { return m_used; }
    size_t Peak() const { return m_peak; }
    size_t Cap() const { return m_cap; }

  private:
    size_t m_cap;
    size_t m_used = 0;
    size_t m_peak = 0;
};

// One direction of a TCP connection put back in sequence order. Segments in order go straight
// through to the sink without a copy; a segment ahead of a hole is copied and waits, bounded per
// direction and by the shared FlowMemory. A hole that cannot fill (the bounds are reached, the
// direction has waited longer than kHoleTimeoutUs of capture time, or Flush) becomes a gap and
// delivery goes on after it. Bytes already delivered are never delivered again: retransmissions
// and duplicates are dropped, and where a later segment overlaps held or delivered bytes with
// different contents, the bytes seen first are kept. Sequence numbers wrap.
class TcpReassembler {
  public:
    // Bytes held behind holes by one direction at most.
    static const uint32_t kMaxHeldBytes = 1u << 20;
    static const int kMaxHeldSegments = 1024;
    // A segment starting further ahead of the next expected byte than this is taken as the
    // direction having moved on (a capture that lost a great deal): what is held is delivered,
    // then a gap up to it.
    static const uint32_t kMaxAhead = 32u << 20;
    // Capture time a hole may stay open while later bytes wait behind it.
    static const int64_t kHoleTimeoutUs = 10 * 1000 * 1000;

    explicit TcpReassembler(FlowMemory* memory = nullptr);
    ~TcpReassembler();
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    // The next byte of the direction has this sequence number (for instance the SYN's sequence
    // number + 1, or the acknowledgement number the other side sent). Drops anything held.
    void Start(uint32_t nextSeq);
    // Without Start, the first segment seen starts the direction (a capture that begins in the
    // middle of a connection).
    bool Started() const { return m_started; }
    // Sequence number of the next byte to deliver.
    uint32_t NextSeq() const { return m_next; }

    // One segment of the direction: seq is the TCP sequence number field of its header, data the
    // payload. A SYN takes one sequence number before the payload (and starts an unstarted
    // direction); a FIN one after it. Delivers what is now in order.
    void Segment(uint32_t seq, const unsigned char* data, int length, bool syn, bool fin,
                 int64_t timeUs, ReassemblySink& sink);
    // The connection is over (or its entry leaves): every hole becomes a gap and everything
    // held is delivered.
    void Flush(ReassemblySink& sink);
    // Forgets what is held without delivering it; the direction stays where it is.
    void Clear();

    size_t HeldBytes() const { return m_heldBytes; }
    size_t HeldSegments() const { return m_held.size(); }
    bool FinSeen() const { return m_finSeen; }
    // Totals since construction.
    uint64_t DeliveredBytes() const { return m_delivered; }
    uint64_t GapBytes() const { return m_gapBytes; }
    uint64_t DroppedBytes() const { return m_dropped; }  // duplicates and retransmissions

  private:
    struct Held {
        uint32_t seq;    // of the first byte
        int64_t timeUs;  // capture time it arrived
        std::vector<unsigned char> bytes;
    };

    uint32_t Ahead(uint32_t seq) const { return seq - m_next; }  // offset from the next byte
    void Deliver(const unsigned char* data, uint32_t length, ReassemblySink& sink);
    void Gap(uint32_t length, ReassemblySink& sink);
    void DeliverHeld(ReassemblySink& sink);
    void GiveUpFirstHole(uint32_t orUpTo, ReassemblySink& sink);
    bool TakeRoom(uint32_t length);
    std::vector<Held>::iterator FirstEndingAfter(uint32_t ahead);
    void NoteFin(uint32_t finSeq);
    void GiveUpStale(int64_t nowUs, ReassemblySink& sink);

    FlowMemory* m_memory;
    std::vector<Held> m_held;  // sorted by sequence offset from m_next, never overlapping
    size_t m_heldBytes = 0;
    int64_t m_oldestUs = 0;  // no later than the arrival of the oldest held segment
    uint32_t m_next = 0;
    uint32_t m_finSeq = 0;  // of a FIN seen ahead, while m_finPending
    bool m_started = false;
    bool m_finPending = false;
    bool m_finSeen = false;
    uint64_t m_delivered = 0;
    uint64_t m_gapBytes = 0;
    uint64_t m_dropped = 0;
};

// A TCP connection as one object: its two directions, reassembled each on its own. The client is
// the side that sent the SYN, or else the request that made the connection interesting.
class TcpFlow {
  public:
    enum Direction { kToServer = 0, kToClient = 1 };

    TcpFlow(const ConnectionKey& clientToServer, FlowMemory* memory)
        : m_key(clientToServer), m_toServer(memory), m_toClient(memory) {}

    // Client to server.
    const ConnectionKey& Key() const { return m_key; }
    // The direction of a segment with this source-to-destination key, or -1.
    int DirectionOf(const ConnectionKey& k) const {
        if (k == m_key) return kToServer;
        if (k == m_key.Reverse()) return kToClient;
        return -1;
    }
    TcpReassembler& ToServer() { return m_toServer; }
    TcpReassembler& ToClient() { return m_toClient; }
    TcpReassembler& Of(Direction d) { return d == kToServer ? m_toServer : m_toClient; }

  private:
    ConnectionKey m_key;
    TcpReassembler m_toServer;
    TcpReassembler m_toClient;
};

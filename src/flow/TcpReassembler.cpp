#include "flow/TcpReassembler.h"

#include <algorithm>
#include <utility>

namespace {
// Offsets from the next byte of 2^31 and more are behind it (sequence numbers wrap).
const uint32_t kBehind = 0x80000000u;
}  // namespace

const size_t FlowMemory::kDefaultCap;
const uint32_t TcpReassembler::kMaxHeldBytes;
const int TcpReassembler::kMaxHeldSegments;
const uint32_t TcpReassembler::kMaxAhead;
const int64_t TcpReassembler::kHoleTimeoutUs;

TcpReassembler::TcpReassembler(FlowMemory* memory) : m_memory(memory) {}

TcpReassembler::~TcpReassembler() {
    Clear();
}

void TcpReassembler::Start(uint32_t nextSeq) {
    // Every connection starts both its directions: nothing to clear is the usual case.
    if (m_heldBytes != 0 || !m_held.empty() || m_finPending) Clear();
    m_next = nextSeq;
    m_started = true;
}

void TcpReassembler::Clear() {
    if (m_memory != nullptr) m_memory->Release(m_heldBytes);
    m_held.clear();
    m_heldBytes = 0;
    m_finPending = false;
}

void TcpReassembler::Segment(uint32_t seq, const unsigned char* data, int length, bool syn,
                             bool fin, int64_t timeUs, ReassemblySink& sink) {
    if (data == nullptr || length < 0) length = 0;
    uint32_t s = syn ? seq + 1 : seq;  // the SYN's own number comes before the payload
    if (!m_started) {
        m_started = true;
        m_next = s;
    }
    uint32_t left = static_cast<uint32_t>(length);
    const uint32_t finSeq = s + left;

    uint32_t ahead = Ahead(s);
    if (left > 0 && ahead > kMaxAhead && ahead < kBehind) {
        // The direction moved on while the capture lost a great deal: let what waits go.
        Flush(sink);
        ahead = Ahead(s);
        if (ahead < kBehind) Gap(ahead, sink);
    }

    // The segment piece by piece: bytes behind, bytes in order, bytes already held, new bytes
    // ahead. Each step takes at least one byte.
    while (left > 0) {
        ahead = Ahead(s);
        uint32_t n;
        if (ahead >= kBehind) {
            n = std::min(left, m_next - s);  // delivered already
            m_dropped += n;
        } else if (ahead == 0) {
            // Straight from the caller's buffer, up to the first held byte (which stays: the
            // bytes seen first win).
            n = m_held.empty() ? left : std::min(left, Ahead(m_held.front().seq));
            Deliver(data, n, sink);
            DeliverHeld(sink);
        } else {
            auto it = FirstEndingAfter(ahead);
            if (it != m_held.end() && Ahead(it->seq) <= ahead) {
                // Held already: the copy seen first is kept, whatever these bytes say.
                n = static_cast<uint32_t>(
                    std::min<size_t>(left, Ahead(it->seq) + it->bytes.size() - ahead));
                m_dropped += n;
            } else {
                n = it == m_held.end() ? left : std::min(left, Ahead(it->seq) - ahead);
                if (!TakeRoom(n)) {
                    // No room: the first hole will not fill, and delivery moves on; the piece
                    // is looked at again from there.
                    GiveUpFirstHole(s, sink);
                    continue;
                }
                m_oldestUs = m_held.empty() ? timeUs : std::min(m_oldestUs, timeUs);
                m_held.insert(it, Held{s, timeUs, std::vector<unsigned char>(data, data + n)});
                m_heldBytes += n;
            }
        }
        s += n;
        data += n;
        left -= n;
    }

    if (fin) NoteFin(finSeq);
    DeliverHeld(sink);  // the FIN may be in order now
    GiveUpStale(timeUs, sink);
}

void TcpReassembler::Flush(ReassemblySink& sink) {
    while (!m_held.empty()) GiveUpFirstHole(m_next, sink);
    if (m_finPending) {
        // The FIN says where the direction ends: what is missing before it is a gap.
        Gap(Ahead(m_finSeq), sink);
        DeliverHeld(sink);
    }
}

// State first, then the sink: it may look at NextSeq() and HeldBytes() while it runs, and sees
// the direction after these bytes.
void TcpReassembler::Deliver(const unsigned char* data, uint32_t length, ReassemblySink& sink) {
    if (length == 0) return;
    m_next += length;
    m_delivered += length;
    sink.OnBytes(data, static_cast<int>(length));
}

void TcpReassembler::Gap(uint32_t length, ReassemblySink& sink) {
    if (length == 0) return;
    m_next += length;
    m_gapBytes += length;
    sink.OnGap(length);
}

// Delivers the held segments that are in order now, and a FIN reached.
void TcpReassembler::DeliverHeld(ReassemblySink& sink) {
    for (;;) {
        if (m_finPending && m_finSeq == m_next) {
            m_finPending = false;
            m_finSeen = true;
            ++m_next;
        }
        if (m_held.empty()) break;
        const uint32_t ahead = Ahead(m_held.front().seq);
        if (ahead != 0 && ahead < kBehind) break;
        Held h = std::move(m_held.front());
        m_held.erase(m_held.begin());
        const size_t size = h.bytes.size();
        m_heldBytes -= size;
        if (m_memory != nullptr) m_memory->Release(size);
        // Bytes held after a FIN's number start behind it.
        const uint32_t skip = static_cast<uint32_t>(std::min<size_t>(m_next - h.seq, size));
        m_dropped += skip;
        Deliver(h.bytes.data() + skip, static_cast<uint32_t>(size - skip), sink);
    }
    // A FIN inside a hole given up is never reached.
    if (m_finPending && Ahead(m_finSeq) >= kBehind) m_finPending = false;
}

// The hole before the first held byte (with nothing held, the one before orUpTo) will not fill.
void TcpReassembler::GiveUpFirstHole(uint32_t orUpTo, ReassemblySink& sink) {
    Gap(Ahead(m_held.empty() ? orUpTo : m_held.front().seq), sink);
    DeliverHeld(sink);
}

bool TcpReassembler::TakeRoom(uint32_t length) {
    if (m_heldBytes + length > kMaxHeldBytes) return false;
    if (m_held.size() >= static_cast<size_t>(kMaxHeldSegments)) return false;
    return m_memory == nullptr || m_memory->Reserve(length);
}

std::vector<TcpReassembler::Held>::iterator TcpReassembler::FirstEndingAfter(uint32_t ahead) {
    return std::partition_point(m_held.begin(), m_held.end(), [&](const Held& h) {
        return Ahead(h.seq) + h.bytes.size() <= ahead;
    });
}

void TcpReassembler::NoteFin(uint32_t finSeq) {
    // One FIN a direction, the first seen; one behind or absurdly far ahead is not taken, nor
    // one whose number held bytes took first.
    const uint32_t ahead = Ahead(finSeq);
    if (m_finSeen || m_finPending || ahead > kMaxAhead) return;
    auto it = FirstEndingAfter(ahead);
    if (it != m_held.end() && Ahead(it->seq) <= ahead) return;
    m_finPending = true;
    m_finSeq = finSeq;
}

void TcpReassembler::GiveUpStale(int64_t nowUs, ReassemblySink& sink) {
    // m_oldestUs may be older than what is held now; it is made exact only when it looks stale.
    auto stale = [&] {
        return nowUs > m_oldestUs &&
               uint64_t(nowUs) - uint64_t(m_oldestUs) > uint64_t(kHoleTimeoutUs);
    };
    while (!m_held.empty() && stale()) {
        m_oldestUs = m_held.front().timeUs;
        for (const Held& h : m_held) m_oldestUs = std::min(m_oldestUs, h.timeUs);
        if (!stale()) break;
        GiveUpFirstHole(m_next, sink);
    }
}

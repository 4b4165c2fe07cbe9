// TEMPORARY stand-in until the real reassembler lands: in order only.
#include "flow/TcpReassembler.h"

TcpReassembler::TcpReassembler(FlowMemory* memory) : m_memory(memory) {}
TcpReassembler::~TcpReassembler() {}
void TcpReassembler::Start(uint32_t nextSeq) {
    m_next = nextSeq;
    m_started = true;
}
void TcpReassembler::Segment(uint32_t seq, const unsigned char* data, int length, bool syn,
                             bool fin, int64_t, ReassemblySink& sink) {
    if (syn) ++seq;
    if (!m_started) Start(seq);
    int32_t d = static_cast<int32_t>(seq - m_next);
    if (d < 0) {
        if (-d >= length) return;
        data += -d;
        length += d;
        d = 0;
        seq = m_next;
    }
    if (d > 0) sink.OnGap(static_cast<uint32_t>(d));
    if (length > 0) sink.OnBytes(data, length);
    m_next = seq + static_cast<uint32_t>(length) + (d < 0 ? 0 : 0) + (fin ? 1 : 0);
}
void TcpReassembler::Flush(ReassemblySink&) {}
void TcpReassembler::Clear() {}

#include "cli/CliOutput.h"

CliOutput::CliOutput(FILE* out, bool flushEachBatch)
    : m_out(out), m_flushEachBatch(flushEachBatch), m_thread(&CliOutput::Run, this) {}

CliOutput::~CliOutput() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void CliOutput::Write(const std::string& line) {
    std::unique_lock<std::mutex> hold(m_lock);
    // Bounded: a reader that never reads stalls the writers rather than exhausting memory.
    m_changed.wait(hold, [this] { return m_pending.size() < kMaxPending || m_stop; });
    m_pending += line;
    hold.unlock();
    m_changed.notify_all();
}

void CliOutput::Drain() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [this] { return m_pending.empty() && m_written == m_taken; });
    hold.unlock();
    std::fflush(m_out);
}

void CliOutput::Run() {
    std::string batch;
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_changed.wait(hold, [this] { return !m_pending.empty() || m_stop; });
        if (m_pending.empty()) break;  // stopping, and nothing is left
        batch.swap(m_pending);
        ++m_taken;
        hold.unlock();
        m_changed.notify_all();  // room for the writers
        std::fwrite(batch.data(), 1, batch.size(), m_out);
        if (m_flushEachBatch) std::fflush(m_out);
        batch.clear();
        hold.lock();
        ++m_written;
        m_changed.notify_all();
    }
}

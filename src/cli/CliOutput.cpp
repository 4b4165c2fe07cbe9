#include "cli/CliOutput.h"

#include <chrono>

CliOutput::CliOutput(FILE* out, bool flushEachBatch)
    : m_out(out), m_flushEachBatch(flushEachBatch), m_thread(&CliOutput::Run, this) {}

CliOutput::~CliOutput() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_ready.notify_all();
    m_changed.notify_all();
    m_thread.join();
}

void CliOutput::Write(const std::string& line) {
    std::unique_lock<std::mutex> hold(m_lock);
    // Bounded: a reader that never reads stalls the writers rather than exhausting memory.
    m_changed.wait(hold, [this] { return m_pending.size() < kMaxPending || m_stop; });
    const bool first = m_pending.empty();
    m_pending += line;
    // The thread is woken for the first line of a batch, and early for a large one.
    const bool wake = (first && m_idle) || (m_pending.size() >= kBatchBytes &&
                                            m_pending.size() - line.size() < kBatchBytes);
    hold.unlock();
    if (wake) m_ready.notify_one();
}

void CliOutput::Drain() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_draining = true;
    hold.unlock();
    m_ready.notify_one();
    hold.lock();
    m_changed.wait(hold, [this] { return m_pending.empty() && m_written == m_taken; });
    m_draining = false;
    hold.unlock();
    std::fflush(m_out);
}

void CliOutput::Run() {
    std::string batch;
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_idle = true;
        m_ready.wait(hold, [this] { return !m_pending.empty() || m_stop; });
        m_idle = false;
        if (m_pending.empty()) break;  // stopping, and nothing is left
        // The lines that follow the first within the delay leave with it.
        m_ready.wait_for(hold, std::chrono::milliseconds(kBatchDelayMs), [this] {
            return m_stop || m_draining || m_pending.size() >= kBatchBytes;
        });
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

#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

// The console's report lines, written to their stream by a thread of their own: the capture
// threads that produce them never wait on a slow reader of stdout (a pipe, a paused terminal)
// unless more than kMaxPending bytes are already waiting. Lines leave in batches at most
// kBatchDelayMs after the first of them: waking the thread for every line costs the capture
// threads a system call and the other core a task switch each.
class CliOutput {
  public:
    static constexpr size_t kMaxPending = 16 << 20;
    static constexpr int kBatchDelayMs = 5;
    // A batch this large leaves at once.
    static constexpr size_t kBatchBytes = 64 << 10;

    // With flushEachBatch every batch leaves at once (live captures, whose lines a pipe waits
    // for); otherwise the stream's buffer decides.
    CliOutput(FILE* out, bool flushEachBatch);
    // Writes what is waiting, then stops the thread.
    ~CliOutput();
    CliOutput(const CliOutput&) = delete;
    CliOutput& operator=(const CliOutput&) = delete;

    void Write(const std::string& line);
    // Returns once every line written so far is out of this object and the stream is flushed.
    void Drain();

  private:
    void Run();

    FILE* m_out;
    bool m_flushEachBatch;
    std::mutex m_lock;
    std::condition_variable m_ready;    // for the thread: lines wait, or it must stop
    std::condition_variable m_changed;  // for the writers and Drain: room, or a batch is out
    std::string m_pending;
    bool m_idle = false;  // the thread waits for a first line
    bool m_draining = false;
    unsigned long long m_written = 0;  // batches taken by the thread and finished
    unsigned long long m_taken = 0;    // batches taken by the thread
    bool m_stop = false;
    std::thread m_thread;
};

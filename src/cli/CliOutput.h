#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

// The console's report lines, written to their stream by a thread of their own: the capture
// threads that produce them never wait on a slow reader of stdout (a pipe, a paused terminal)
// unless more than kMaxPending bytes are already waiting.
class CliOutput {
  public:
    static const size_t kMaxPending = 16 << 20;

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
    std::condition_variable m_changed;
    std::string m_pending;
    unsigned long long m_written = 0;  // batches taken by the thread and finished
    unsigned long long m_taken = 0;    // batches taken by the thread
    bool m_stop = false;
    std::thread m_thread;
};

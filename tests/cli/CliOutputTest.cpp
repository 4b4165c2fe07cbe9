// The console's output thread: every line out, in order, and soon, however the writers call.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliOutput.h"

namespace {

std::string ReadAll(FILE* f) {
    std::string out;
    std::rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) out.append(buffer, n);
    return out;
}

}  // namespace

// Two writers, bursts and pauses, lines past a batch's size: each writer's lines come out
// whole and in its order, none lost, once Drain returns; and again after the object is gone.
TEST(CliOutput, EveryLineOutInOrderWhateverTheRhythm) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const int kLines = 20000;
    {
        CliOutput out(f, false);
        auto writer = [&out](char who) {
            for (int i = 0; i < kLines; ++i) {
                // Now and then a line longer than a batch, and a pause that lets the thread idle.
                const size_t pad = i % 5000 == 17 ? CliOutput::kBatchBytes + 3 : 0;
                out.Write(std::string(1, who) + std::to_string(i) + std::string(pad, '.') + "\n");
                if (i % 4000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(12));
            }
        };
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
        out.Drain();
        const std::string text = ReadAll(f);
        int next[2] = {0, 0};
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            ASSERT_NE(end, std::string::npos);
            const std::string line = text.substr(at, end - at);
            const int who = line[0] == 'a' ? 0 : 1;
            ASSERT_EQ(std::stoi(line.substr(1)), next[who]) << line.substr(0, 20);
            ++next[who];
            at = end + 1;
        }
        EXPECT_EQ(next[0], kLines);
        EXPECT_EQ(next[1], kLines);
        std::fseek(f, 0, SEEK_END);
        out.Write("last\n");
    }
    const std::string text = ReadAll(f);
    EXPECT_EQ(text.substr(text.size() - 5), "last\n");
    std::fclose(f);
}

// A lone line (a live capture's new stream) leaves within the batch delay, without a Drain: the
// thread is woken for the first line of a batch.
TEST(CliOutput, ALoneLineLeavesSoonWithoutDrain) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    FILE* w = fdopen(pipeEnds[1], "w");
    ASSERT_NE(w, nullptr);
    {
        CliOutput out(w, true);
        for (int round = 0; round < 3; ++round) {
            // The thread idles in between: each line starts a batch of its own.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            const auto start = std::chrono::steady_clock::now();
            out.Write("stream " + std::to_string(round) + "\n");
            char buffer[64] = {};
            const ssize_t n = read(pipeEnds[0], buffer, sizeof(buffer) - 1);
            const auto waited = std::chrono::steady_clock::now() - start;
            ASSERT_GT(n, 0);
            EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
                      "stream " + std::to_string(round) + "\n");
            EXPECT_LT(waited, std::chrono::milliseconds(500));
        }
    }
    std::fclose(w);
    close(pipeEnds[0]);
}

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// The session secrets a TLS client wrote to its key log (the SSLKEYLOGFILE format browsers, curl
// and ffmpeg write): one line per secret, "LABEL <client random hex> <secret hex>", keyed by the
// ClientHello's random. A live capture re-reads the files as they grow: ReadFile and Refresh go
// on from the end of the last complete line read from each file. What it holds is bounded: past
// kMaxSessions the oldest sessions are forgotten (a browser left running writes keys without end).
class KeyLog {
  public:
    using Random = std::array<uint8_t, 32>;
    struct Secrets {
        std::vector<uint8_t> master;  // TLS 1.2: CLIENT_RANDOM, 48 bytes
        // TLS 1.3, each as long as the suite's hash
        std::vector<uint8_t> clientHandshake;
        std::vector<uint8_t> serverHandshake;
        std::vector<uint8_t> clientTraffic0;
        std::vector<uint8_t> serverTraffic0;
    };

    static constexpr size_t kMaxSessions = 65536;
    // A longer line is no key log line; a partial line longer than this is dropped unread.
    static constexpr size_t kMaxLineLength = 1024;

    // One line, without its end of line. Comments and blank lines are skipped; a line that is
    // not "LABEL hex hex" with a 32-byte random and a secret of a possible length counts as
    // malformed. Labels of secrets not used here (exporter, early traffic) are skipped.
    void AddLine(const std::string& line);
    // Several lines; an unterminated last line is taken as a line too.
    void AddText(const std::string& text);

    // Reads what the file holds past the point the last read of it stopped at, and remembers it
    // for Refresh; a file that became shorter (replaced or truncated) is read from its start
    // again. False when it cannot be read (it is still remembered: it may appear later).
    bool ReadFile(const std::string& path);
    // Reads the new lines of every file read before; returns how many sessions were added.
    size_t Refresh();

    // The secrets of the session with this client random; null when none are known.
    const Secrets* Find(const uint8_t* clientRandom) const;

    size_t Sessions() const { return m_sessions.size(); }
    size_t MalformedLines() const { return m_malformed; }
    size_t Lines() const { return m_lines; }

  private:
    Secrets& Entry(const Random& random);

    std::map<Random, Secrets> m_sessions;
    std::deque<Random> m_order;  // oldest first
    size_t m_malformed = 0;
    size_t m_lines = 0;
    // A growing file: where the next read starts, and the line begun at its end.
    struct File {
        std::string path;
        uint64_t offset = 0;
        std::string partial;
        bool skippingLongLine = false;
    };
    bool Read(File& file);

    std::vector<File> m_files;
};

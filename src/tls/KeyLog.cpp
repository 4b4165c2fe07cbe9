#include "tls/KeyLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool DecodeHex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.empty() || text.size() % 2 != 0) return false;
    out.resize(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const int hi = HexValue(text[2 * i]);
        const int lo = HexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

// Splits on runs of spaces and tabs; at most four fields are looked at.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size() && fields.size() < 4) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at >= line.size()) break;
        size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

}  // namespace

KeyLog::Secrets& KeyLog::Entry(const Random& random) {
    auto found = m_sessions.find(random);
    if (found != m_sessions.end()) return found->second;
    while (m_sessions.size() >= kMaxSessions && !m_order.empty()) {
        m_sessions.erase(m_order.front());
        m_order.pop_front();
    }
    m_order.push_back(random);
    return m_sessions[random];
}

void KeyLog::AddLine(const std::string& raw) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') return;
    ++m_lines;
    if (line.size() > kMaxLineLength) {
        ++m_malformed;
        return;
    }
    const std::vector<std::string> f = Fields(line);
    std::vector<uint8_t> random;
    std::vector<uint8_t> secret;
    if (f.size() != 3 || !DecodeHex(f[1], random) || random.size() != 32 ||
        !DecodeHex(f[2], secret)) {
        ++m_malformed;
        return;
    }
    std::vector<uint8_t> Secrets::*slot = nullptr;
    if (f[0] == "CLIENT_RANDOM") {
        if (secret.size() != 48) {
            ++m_malformed;
            return;
        }
        slot = &Secrets::master;
    } else if (f[0] == "CLIENT_HANDSHAKE_TRAFFIC_SECRET") {
        slot = &Secrets::clientHandshake;
    } else if (f[0] == "SERVER_HANDSHAKE_TRAFFIC_SECRET") {
        slot = &Secrets::serverHandshake;
    } else if (f[0] == "CLIENT_TRAFFIC_SECRET_0") {
        slot = &Secrets::clientTraffic0;
    } else if (f[0] == "SERVER_TRAFFIC_SECRET_0") {
        slot = &Secrets::serverTraffic0;
    } else if (f[0] == "EXPORTER_SECRET" || f[0] == "EARLY_EXPORTER_SECRET" ||
               f[0] == "CLIENT_EARLY_TRAFFIC_SECRET") {
        return;  // not needed to read the traffic
    } else {
        ++m_malformed;
        return;
    }
    // TLS 1.3 secrets are as long as SHA-256 or SHA-384.
    if (slot != &Secrets::master && secret.size() != 32 && secret.size() != 48) {
        ++m_malformed;
        return;
    }
    Random key;
    std::memcpy(key.data(), random.data(), key.size());
    Entry(key).*slot = std::move(secret);
}

void KeyLog::AddText(const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        AddLine(text.substr(at, end - at));
        at = end + 1;
    }
}

bool KeyLog::ReadFile(const std::string& path) {
    for (File& f : m_files)
        if (f.path == path) return Read(f);
    m_files.push_back(File());
    m_files.back().path = path;
    return Read(m_files.back());
}

size_t KeyLog::Refresh() {
    const size_t before = m_sessions.size();
    const size_t lines = m_lines;
    for (File& f : m_files) Read(f);
    // Sessions past the bound replace old ones: count new lines, not the size.
    return m_lines != lines ? std::max<size_t>(m_sessions.size() - before, 1) : 0;
}

bool KeyLog::Read(File& file) {
    const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) < file.offset) {
        file.offset = 0;
        file.partial.clear();
        file.skippingLongLine = false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(file.offset));
        if (n <= 0) break;
        file.offset += static_cast<uint64_t>(n);
        size_t at = 0;
        while (at < static_cast<size_t>(n)) {
            const char* nl = static_cast<const char*>(
                std::memchr(buffer + at, '\n', static_cast<size_t>(n) - at));
            const size_t end =
                nl != nullptr ? static_cast<size_t>(nl - buffer) : static_cast<size_t>(n);
            if (!file.skippingLongLine) {
                if (file.partial.size() + (end - at) > kMaxLineLength) {
                    file.skippingLongLine = true;
                    file.partial.clear();
                } else {
                    file.partial.append(buffer + at, end - at);
                }
            }
            if (nl == nullptr) break;
            if (file.skippingLongLine) {
                ++m_lines;
                ++m_malformed;
                file.skippingLongLine = false;
            } else {
                AddLine(file.partial);
            }
            file.partial.clear();
            at = end + 1;
        }
    }
    close(fd);
    return true;
}

const KeyLog::Secrets* KeyLog::Find(const uint8_t* clientRandom) const {
    if (clientRandom == nullptr) return nullptr;
    Random key;
    std::memcpy(key.data(), clientRandom, key.size());
    auto found = m_sessions.find(key);
    return found != m_sessions.end() ? &found->second : nullptr;
}

#pragma once
// Shared pieces of the fuzz targets: exact-size chunk copies, the segment split, the temporary
// application folder.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fuzzsupport {

// A heap copy of exactly the chunk's bytes, so one byte read past its end is an ASan report.
class ExactCopy {
  public:
    ExactCopy(const uint8_t* data, size_t size) : m_size(size) {
        // new[] of zero bytes still yields a unique pointer; keep nullptr for "nothing".
        if (size > 0) {
            m_bytes.reset(new unsigned char[size]);
            std::memcpy(m_bytes.get(), data, size);
        }
    }
    const unsigned char* data() const { return m_bytes.get(); }
    unsigned char* data() { return m_bytes.get(); }
    int size() const { return static_cast<int>(m_size); }

  private:
    std::unique_ptr<unsigned char[]> m_bytes;
    size_t m_size;
};

// Cuts the input into chunks, each announced by a 2-byte big-endian length; a length beyond
// the input takes what is left.
inline std::vector<std::pair<const uint8_t*, size_t>> SplitChunks(const uint8_t* data,
                                                                  size_t size) {
    std::vector<std::pair<const uint8_t*, size_t>> chunks;
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        chunks.emplace_back(data + at, length);
        at += length;
    }
    return chunks;
}

inline bool CopyFile(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    if (in == nullptr) return false;
    FILE* out = std::fopen(to.c_str(), "wb");
    if (out == nullptr) {
        std::fclose(in);
        return false;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) std::fwrite(buffer, 1, n, out);
    std::fclose(in);
    std::fclose(out);
    return true;
}

// A private application folder below /tmp with a copy of the build's database and an empty
// Videos folder; STREVIX_HOME names it for the rest of the process.
inline const std::string& AppFolder() {
    // Never destroyed, so the exit handler below still sees it.
    static const std::string* folder = [] {
        char pattern[] = "/tmp/strevix-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        auto* path = new std::string(made);
        CopyFile(std::string(STREVIX_BUILD_DIR) + "/QuilletDT.dll", *path + "/QuilletDT.dll");
        mkdir((*path + "/Videos").c_str(), 0755);
        setenv("STREVIX_HOME", path->c_str(), 1);
        // The folder goes when the process ends normally; a crash leaves it for inspection.
        std::atexit([] {
            std::string command = "rm -rf '" + AppFolder() + "'";
            if (std::system(command.c_str()) != 0) {
            }
        });
        return path;
    }();
    return *folder;
}

// Empties a folder of its plain files (recordings of the last input).
inline void EmptyFolder(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(dir);
}

// Reads every byte of a view so a wrong length is an ASan report, and checks it lies inside
// the buffer it claims to view.
inline unsigned Touch(const unsigned char* p, int length, const unsigned char* base, int baseLen) {
    if (p == nullptr || length <= 0) return 0;
    if (p < base || p + length > base + baseLen) {
        std::fprintf(stderr, "view [%p,+%d) outside its buffer [%p,+%d)\n",
                     static_cast<const void*>(p), length, static_cast<const void*>(base), baseLen);
        std::abort();
    }
    unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum += p[i];
    return sum;
}

}  // namespace fuzzsupport

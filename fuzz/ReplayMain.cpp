// Replays saved inputs through a fuzz target without libFuzzer: every file of every folder
// named on the command line (or the files named), in name order. Any crash or sanitizer
// report fails the run; a folder that does not exist holds nothing to replay.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool ReadAll(const std::string& path, std::vector<uint8_t>* out) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0)
        out->insert(out->end(), buffer, buffer + n);
    std::fclose(in);
    return true;
}

void Collect(const std::string& path, std::vector<std::string>* files) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        files->push_back(path);
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) Collect(path + "/" + name, files);
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) Collect(argv[i], &files);
    for (const std::string& file : files) {
        std::vector<uint8_t> bytes;
        if (!ReadAll(file, &bytes)) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 1;
        }
        std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
        // The target sees a heap block of exactly the input's size, as under libFuzzer.
        std::vector<uint8_t> exact(bytes.begin(), bytes.end());
        exact.shrink_to_fit();
        LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}

#include "platform/ProcessList.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace platform {

namespace {

bool AllDigits(const char* s) {
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    return true;
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableName(const std::string& pidDir) {
    char buffer[4096];
    ssize_t n = readlink((pidDir + "/exe").c_str(), buffer, sizeof(buffer) - 1);
    if (n > 0) {
        std::string path(buffer, static_cast<size_t>(n));
        // A replaced or removed binary reads "/path/name (deleted)".
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
            path.resize(path.size() - deleted.size());
        }
        return BaseName(path);
    }
    FILE* f = std::fopen((pidDir + "/comm").c_str(), "re");
    if (f == nullptr) return std::string();
    std::string comm;
    size_t got = std::fread(buffer, 1, 64, f);
    std::fclose(f);
    comm.assign(buffer, got);
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
    return comm;
}

}  // namespace

bool RunningProcessNames(std::vector<std::string>* names) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc"), closedir);
    if (!dir) return false;
    while (dirent* entry = readdir(dir.get())) {
        if (!AllDigits(entry->d_name)) continue;
        std::string name = ExecutableName(std::string("/proc/") + entry->d_name);
        // A process that ended while we looked has neither file left.
        if (!name.empty()) names->push_back(name);
    }
    return true;
}

std::string FoldCase(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace platform

int GetProcessCountFromName(const std::string& name) {
    try {
        std::vector<std::string> names;
        if (!platform::RunningProcessNames(&names)) return 0;
        const std::string wanted = platform::FoldCase(name);
        int count = 0;
        for (const std::string& n : names)
            if (platform::FoldCase(n).find(wanted) != std::string::npos) ++count;
        return count;
    } catch (...) {
        throw "GetProcessCountFromName() error.";
    }
}

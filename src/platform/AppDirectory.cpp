#include "platform/AppDirectory.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace platform {

namespace {

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// An absolute path from the environment; relative ones are ignored, as the XDG rules ask.
std::string AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::string();
    return WithoutTrailingSlash(value);
}

// Owned by this user and writable by them: the folder is theirs to keep state in. Root owns
// its installation, so root keeps using the installed folder and never writes root-owned files
// into the home of whoever ran sudo.
bool IsOwnWritableFolder(const std::string& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return st.st_uid == getuid() && access(folder.c_str(), W_OK) == 0;
}

std::string PerUserFolder() {
    std::string data = AbsoluteFromEnvironment("XDG_DATA_HOME");
    if (data.empty()) {
        std::string home = AbsoluteFromEnvironment("HOME");
        if (home.empty()) {
            std::vector<char> buffer(16384);
            struct passwd entry {};
            struct passwd* found = nullptr;
            if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
                found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
                home = WithoutTrailingSlash(found->pw_dir);
            }
        }
        if (home.empty()) return std::string();
        data = (home == "/" ? std::string() : home) + "/.local/share";
    }
    return (data == "/" ? std::string() : data) + "/strevix";
}

std::string Problem(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// Makes the per-user folder private and complete; empty when it is, else what is wrong.
std::string PreparePerUserFolder(const std::string& folder) {
    if (folder.empty()) return "no home folder for the per-user application folder";
    if (!MakeFolders(folder, 0700)) return Problem("cannot create " + folder, errno);
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) return Problem("cannot use " + folder, errno);
    if (st.st_uid != getuid()) return folder + ": owned by another user";
    // A folder made by hand, or by an older version, is closed to others all the same.
    if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) {
        return Problem("cannot make " + folder + " private", errno);
    }
    for (const char* sub : {"/log", "/Videos"}) {
        if (!MakeFolders(folder + sub, 0700))
            return Problem("cannot create " + folder + sub, errno);
    }
    return std::string();
}

// Copies source to target through a private temporary file, so that a second process never
// sees half a file; a target that appeared meanwhile is kept.
std::string CopyPrivately(const std::string& source, const std::string& target) {
    const std::string failure = "cannot copy " + source + " to " + target;
    int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Problem(failure, errno);
    const std::string temporary = target + ".new-" + std::to_string(getpid());
    int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int error = errno;
        close(in);
        return Problem(failure, error);
    }
    int error = 0;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(in, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                error = errno;
                break;
            }
            done += w;
        }
        if (error != 0) break;
    }
    close(in);
    if (close(out) != 0 && error == 0) error = errno;
    if (error == 0 && link(temporary.c_str(), target.c_str()) != 0 && errno != EEXIST) {
        error = errno;
    }
    unlink(temporary.c_str());
    return error == 0 ? std::string() : Problem(failure, error);
}

}  // namespace

Folders FoldersFor(const std::string& executableFolder) {
    Folders folders;
    const char* named = std::getenv("STREVIX_HOME");
    if (named != nullptr && named[0] != '\0') {
        folders.state = WithoutTrailingSlash(named);
        folders.resources = folders.state;
        return folders;
    }
    folders.resources = executableFolder;
    if (executableFolder.empty() || IsOwnWritableFolder(executableFolder)) {
        folders.state = executableFolder;
        return folders;
    }
    folders.state = PerUserFolder();
    folders.perUser = true;
    return folders;
}

std::string ExecutableFolder() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::string();
    std::string path(buffer, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash);
}

Folders CurrentFolders() {
    return FoldersFor(ExecutableFolder());
}

std::string ApplicationFolder() {
    Folders folders = CurrentFolders();
    if (folders.perUser) PreparePerUserFolder(folders.state);
    return folders.state;
}

std::string ResourceFolder() {
    return CurrentFolders().resources;
}

std::string ProvideStateFile(const Folders& folders, const std::string& name,
                             std::string* problem) {
    const std::string path = folders.state + "/" + name;
    std::string why;
    if (folders.perUser) {
        why = PreparePerUserFolder(folders.state);
        struct stat st {};
        if (why.empty() && lstat(path.c_str(), &st) != 0) {
            why = errno == ENOENT ? CopyPrivately(folders.resources + "/" + name, path)
                                  : Problem("cannot use " + path, errno);
        }
    }
    if (problem != nullptr) *problem = why;
    return path;
}

bool MakeFolders(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;
        return false;
    }
    size_t slash = path.rfind('/');
    // A parent that cannot be made keeps its errno: the reason, not the ENOENT that follows.
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), mode)) {
        return false;
    }
    if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST) return true;
    return false;
}

}  // namespace platform

#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts program with exactly these arguments (argv[1...]), detached: no shell, its own session,
// standard input from /dev/null, no descriptors of ours beyond 0-2; the child is reaped in the
// background and never waited for. A program without '/' is searched in PATH. Returns the
// child's pid, or -1 with errno set. With an output file, the child's standard output and error
// are appended to it (started afresh beyond 1 MiB) instead of going where ours go.
int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  const std::string& output = std::string());

// Opens a folder in the desktop's file manager (xdg-open). Returns the pid or -1.
int OpenFolder(const std::string& folder);

}  // namespace platform

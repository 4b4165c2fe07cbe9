#pragma once

#include <string>
#include <vector>

namespace platform {

// The executable file name (without folder) of every running process, in /proc order.
// A process whose executable cannot be read (another user's, a kernel thread) is named by its
// /proc/<pid>/comm. Returns false when /proc cannot be read at all.
bool RunningProcessNames(std::vector<std::string>* names);

// Folds ASCII letters to lower case.
std::string FoldCase(const std::string& text);

}  // namespace platform

// Number of running processes whose executable file name contains name, compared without letter
// case. The running program finds itself. An unreadable /proc counts as none. Any other failure
// throws the text "GetProcessCountFromName() error.".
int GetProcessCountFromName(const std::string& name);

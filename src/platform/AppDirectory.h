#pragma once

#include <string>

namespace platform {

// The folder of the running executable without a trailing '/', or STREVIX_HOME when it is set.
std::string ApplicationFolder();

// Creates a folder and its parents; true when it exists afterwards.
bool MakeFolders(const std::string& path);

}  // namespace platform

#pragma once

#include <sys/types.h>

#include <string>

namespace platform {

// Where the program keeps what it writes (state: the database, log/, Videos/) and where it reads
// what was installed with it (resources: player/, start.html, the database new users start from).
// Paths carry no trailing '/'.
struct Folders {
    std::string state;
    std::string resources;
    bool perUser = false;  // state is the per-user folder of an installed program
};

// The folder rules, for an executable in executableFolder:
// - STREVIX_HOME, when set, is both folders;
// - an executable folder the user owns and may write (a build tree, a portable copy) is both;
// - otherwise (an installation) the resources stay there and the state is the per-user folder
//   $XDG_DATA_HOME/strevix, by default ~/.local/share/strevix.
// Decides only; creates nothing.
Folders FoldersFor(const std::string& executableFolder);

// The folder of the running executable; empty when it cannot be read.
std::string ExecutableFolder();

// FoldersFor(ExecutableFolder()).
Folders CurrentFolders();

// The state folder of this run. A per-user one is created (mode 0700) on the way, with its log/
// and Videos/, so that nothing below it is ever made with looser modes.
std::string ApplicationFolder();

// The resources folder of this run.
std::string ResourceFolder();

// The path of the state file `name`. In a per-user folder a missing one is first copied from
// the resources folder (mode 0600); when that fails the path is still returned and `problem`
// (when given) says why, naming the paths; it is cleared otherwise.
std::string ProvideStateFile(const Folders& folders, const std::string& name,
                             std::string* problem = nullptr);

// Creates a folder and its parents (new ones with `mode`); true when it exists afterwards.
bool MakeFolders(const std::string& path, mode_t mode = 0755);

}  // namespace platform

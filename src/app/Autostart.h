#pragma once

#include <string>

// The user's XDG autostart entry of the program: $XDG_CONFIG_HOME/autostart/strevix.desktop
// (~/.config when the variable is unset or not absolute).
std::string AutostartPath();

// AutoRun "1" keeps the entry, starting executable; "0" removes an entry of ours. False when the
// file could not be written or removed.
bool ApplyAutostart(bool enabled, const std::string& executable);

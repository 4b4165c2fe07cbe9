#include "app/Autostart.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/AppDirectory.h"

namespace {

const char* const kMarker = "X-Strevix-AutoRun=true";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Desktop entries quote arguments with double quotes, escaping ", `, $ and \.
std::string Quoted(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

std::string AutostartPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/autostart/strevix.desktop";
}

bool ApplyAutostart(bool enabled, const std::string& executable) {
    const std::string path = AutostartPath();
    const std::string existing = ReadAll(path);
    if (!enabled) {
        // Only an entry this program wrote is taken away.
        if (existing.find(kMarker) == std::string::npos) return true;
        return std::remove(path.c_str()) == 0;
    }
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Strevix\n"
        "Comment=Finds the addresses of video streams in network traffic\n"
        "Exec=" +
        Quoted(executable) +
        "\n"
        "Icon=strevix\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n" +
        std::string(kMarker) + "\n";
    if (existing == entry) return true;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!platform::MakeFolders(folder)) return false;
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << entry;
        if (!out) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

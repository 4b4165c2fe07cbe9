#include "app/Launch.h"

#include <cctype>

#include "common/LogOut.h"
#include "platform/AppDirectory.h"

const std::string& VideoFolder() {
    static const std::string folder = GetAppDirectory() + "/Videos";
    return folder;
}

std::string PlayerPath() {
    return platform::ResourceFolder() + "/player/ffplayer";
}

std::string TranscoderPath() {
    return platform::ResourceFolder() + "/player/ffmpeg/ffmpeg";
}

std::string FormatMp4Name(std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return std::string();
    char buffer[64];
    size_t n = std::strftime(buffer, sizeof(buffer), "/%y%m%d%H%M%S.mp4", &local);
    return std::string(buffer, n);
}

bool IsLaunchableAddress(const std::string& address) {
    for (unsigned char c : address)
        if (c < 0x20 || c == 0x7F) return false;
    size_t sep = address.find("://");
    if (sep == std::string::npos || sep == 0) return false;
    std::string scheme = address.substr(0, sep);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const char* const kSchemes[] = {"rtmp",   "rtmpt", "rtmps", "rtmpe", "rtmpte",
                                           "rtmpts", "rtsp",  "rtsps", "http",  "https"};
    for (const char* s : kSchemes)
        if (scheme == s) return true;
    return false;
}

std::vector<std::string> PlayerArguments(const std::string& address) {
    return {"--i", address, "--o"};
}

std::vector<std::string> TranscoderArguments(const std::string& address,
                                             const std::string& outputPath) {
    return {"-i", address, "-vcodec", "copy", "-acodec", "copy", "-f", "mp4", outputPath};
}

#include "platform/Adapters.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

std::string ReadLine(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return std::string();
    char buffer[256];
    std::string line;
    if (std::fgets(buffer, sizeof(buffer), f) != nullptr) line = buffer;
    std::fclose(f);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string LinkTarget(const std::string& path) {
    char buffer[4096];
    ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::string();
    std::string target(buffer, static_cast<size_t>(n));
    size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

// DEVTYPE of the interface's uevent (bridge, vlan, wlan, ...), or empty.
std::string DeviceType(const std::string& dir) {
    FILE* f = std::fopen((dir + "/uevent").c_str(), "re");
    if (f == nullptr) return std::string();
    char buffer[256];
    std::string type;
    while (std::fgets(buffer, sizeof(buffer), f) != nullptr) {
        std::string line(buffer);
        if (line.compare(0, 8, "DEVTYPE=") != 0) continue;
        type = line.substr(8);
        while (!type.empty() && (type.back() == '\n' || type.back() == '\r')) type.pop_back();
        break;
    }
    std::fclose(f);
    return type;
}

}  // namespace

std::string DescribeInterface(const std::string& name, bool loopback, const std::string& sysRoot) {
    const std::string dir = sysRoot + "/" + name;
    // ARPHRD_* numbers of the link types worth naming.
    const int type = std::atoi(ReadLine(dir + "/type").c_str());
    if (loopback || type == 772) return "Loopback adapter";
    const std::string devType = DeviceType(dir);
    std::string kind;
    if (devType == "wlan" || Exists(dir + "/wireless") || Exists(dir + "/phy80211")) {
        kind = "Wireless";
    } else if (devType == "bridge") {
        kind = "Bridge";
    } else if (devType == "vlan") {
        kind = "VLAN";
    } else if (type == 1) {
        kind = "Ethernet";
    } else if (type == 512) {
        kind = "PPP";
    } else if (type == 65534 || type == 776 || type == 778 || type == 823) {
        kind = "Tunnel";
    } else {
        kind = "Network";
    }
    // A physical interface has a device behind it; its driver names the hardware.
    const bool physical = Exists(dir + "/device");
    std::string text = (physical ? "" : "Virtual ") + kind + " adapter";
    const std::string driver = LinkTarget(dir + "/device/driver");
    if (!driver.empty()) text += " (" + driver + ")";
    return text;
}

int ListAdapters(std::vector<AdapterInfo>* adapters) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -3;
    std::vector<std::pair<std::string, bool>> names;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_name == nullptr) continue;
        std::string name(a->ifa_name);
        auto same = [&](const std::pair<std::string, bool>& n) { return n.first == name; };
        if (std::find_if(names.begin(), names.end(), same) != names.end()) continue;
        names.emplace_back(name, (a->ifa_flags & IFF_LOOPBACK) != 0);
    }
    freeifaddrs(list);
    for (const auto& n : names)
        adapters->emplace_back(n.first, DescribeInterface(n.first, n.second));
    return 0;
}

}  // namespace platform

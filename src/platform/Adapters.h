#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

// (interface name, description) of one network interface.
typedef std::pair<std::string, std::string> AdapterInfo;

// One pair per interface that getifaddrs reports, in its order. The description says what the
// system knows of the interface: loopback, Ethernet, wireless or another link type, virtual or
// not, and its driver. 0 on success, -3 when the interfaces cannot be listed.
int ListAdapters(std::vector<AdapterInfo>* adapters);

// The description of one interface, from /sys/class/net/<name> (sysRoot for tests).
std::string DescribeInterface(const std::string& name, bool loopback,
                              const std::string& sysRoot = "/sys/class/net");

}  // namespace platform

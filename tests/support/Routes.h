// The routes that the programs' "is there a connection" test reads below ZR40_ROOT.
#pragma once

#include <ifaddrs.h>
#include <net/if.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace testsupport {

// A non-loopback interface that is up on this machine; empty when there is none.
inline std::string UpInterface() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::string name;
    for (ifaddrs* a = list; a != nullptr && name.empty(); a = a->ifa_next) {
        if (a->ifa_name != nullptr && (a->ifa_flags & IFF_UP) != 0 &&
            (a->ifa_flags & IFF_LOOPBACK) == 0) {
            name = a->ifa_name;
        }
    }
    ::freeifaddrs(list);
    return name;
}

// <root>/proc/net/route with one default route through an interface that is up here (the test
// also asks the interface itself); false when there is none to name.
inline bool WriteDefaultRoute(const std::filesystem::path& root) {
    const std::string iface = UpInterface();
    if (iface.empty()) {
        return false;
    }
    std::filesystem::create_directories(root / "proc/net");
    std::ofstream(root / "proc/net/route")
        << "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n"
        << iface << "\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\n";
    return true;
}

}  // namespace testsupport

// Started by the system tests as another process:
//   system_helper argv <file> [arg...]  writes its identity, environment and arguments to <file>
//   system_helper lock <name>           takes the lock, prints its state, holds it until stdin ends
//   xdg-open <url>                      (a copy by that name) writes the URL to $ZR_TEST_OUT
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/system/System.h"

namespace {

int WriteArgv(int argc, char** argv) {
    const std::string file = argv[2];
    {
        std::ofstream out(file + ".tmp");
        out << "uid=" << geteuid() << "\n";
        for (const char* name :
             {"HOME", "USER", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY",
              "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_SESSION_TYPE", "ZR40_SHOW"}) {
            const char* value = std::getenv(name);
            out << name << "=" << (value != nullptr ? value : "(unset)") << "\n";
        }
        out << "cwd=" << std::filesystem::current_path().string() << "\n";
        for (int i = 3; i < argc; ++i) {
            out << "arg=" << argv[i] << "\n";
        }
    }
    // Whole or not at all for the test that waits for it.
    std::filesystem::rename(file + ".tmp", file);
    return 0;
}

int HoldLock(const char* name) {
    const platform::system::SingleInstance lock(name);
    std::cout << static_cast<int>(lock.State()) << std::endl;
    char c = 0;
    while (std::cin.get(c)) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Copied in as a stand-in for the desktop's URL opener.
    if (std::filesystem::path(argv[0]).filename() == "xdg-open") {
        const char* out = std::getenv("ZR_TEST_OUT");
        if (out == nullptr) {
            return 2;
        }
        std::ofstream(std::string(out) + ".tmp") << (argc > 1 ? argv[1] : "") << "\n";
        std::filesystem::rename(std::string(out) + ".tmp", out);
        return 0;
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "argv" && argc > 2) {
        return WriteArgv(argc, argv);
    }
    if (mode == "lock" && argc > 2) {
        return HoldLock(argv[2]);
    }
    return 2;
}

// A sysfs tree as the kernel lays it out, for discovery tests: device and interface directories
// under devices/, reached through symlinks in bus/usb/devices, drivers linking to their modules.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/platform/devices/TempTree.h"

namespace testsupport {

namespace fs = std::filesystem;
using testtree::WriteFile;

struct InterfaceSpec {
    int number;
    const char* cls;  // hex as sysfs prints it
    const char* subClass;
    const char* protocol;
    const char* driver = nullptr;      // bound driver, none when null
    const char* tty = nullptr;         // cdc_acm layout: tty/<name>
    const char* net = nullptr;         // net/<name>
    const char* serialPort = nullptr;  // usb-serial layout: <name>/tty/<name>
};

class FakeSysfs {
  public:
    explicit FakeSysfs(fs::path root) : root_(std::move(root)) {
        fs::create_directories(root_ / "bus/usb/devices");
        WriteFile(osRelease(), "6.1.0-test\n");
        Module("cdc_acm", "0.26");
        for (const char* unversioned : {"cdc_mbim", "option", "qmi_wwan"}) {
            Module(unversioned, nullptr);
        }
        // The root hub, which is no interface of ours.
        fs::create_directories(root_ / "devices/usb1");
        WriteFile(root_ / "devices/usb1/idVendor", "1d6b\n");
        Link(root_ / "devices/usb1", "usb1");
    }

    fs::path root() const { return root_; }
    fs::path osRelease() const { return root_ / "osrelease"; }

    void Device(const std::string& name, const char* vendor, const char* product,
                const std::vector<InterfaceSpec>& interfaces) {
        const fs::path dir = root_ / "devices/usb1" / name;
        WriteFile(dir / "idVendor", std::string(vendor) + "\n");
        WriteFile(dir / "idProduct", std::string(product) + "\n");
        Link(dir, name);
        for (const auto& iface : interfaces) {
            const std::string entry = name + ":1." + std::to_string(iface.number);
            const fs::path itf = dir / entry;
            char number[8];
            std::snprintf(number, sizeof number, "%02x", iface.number);
            using Attribute = std::pair<const char*, const char*>;
            for (const auto& [file, value] : {Attribute{"bInterfaceNumber", number},
                                              {"bInterfaceClass", iface.cls},
                                              {"bInterfaceSubClass", iface.subClass},
                                              {"bInterfaceProtocol", iface.protocol}}) {
                WriteFile(itf / file, std::string(value) + "\n");
            }
            if (iface.driver != nullptr) {
                fs::create_directory_symlink(root_ / "bus/usb/drivers" / iface.driver,
                                             itf / "driver");
            }
            if (iface.tty != nullptr) {
                fs::create_directories(itf / "tty" / iface.tty);
            }
            if (iface.net != nullptr) {
                fs::create_directories(itf / "net" / iface.net);
            }
            if (iface.serialPort != nullptr) {
                fs::create_directories(itf / iface.serialPort / "tty" / iface.serialPort);
            }
            Link(itf, entry);
        }
    }

  private:
    void Module(const std::string& name, const char* version) {
        const fs::path module = root_ / "module" / name;
        fs::create_directories(module);
        if (version != nullptr) {
            WriteFile(module / "version", std::string(version) + "\n");
        }
        const fs::path driver = root_ / "bus/usb/drivers" / name;
        fs::create_directories(driver);
        fs::create_directory_symlink("../../../../module/" + name, driver / "module");
    }

    void Link(const fs::path& target, const std::string& name) {
        fs::create_directory_symlink(fs::relative(target, root_ / "bus/usb/devices"),
                                     root_ / "bus/usb/devices" / name);
    }

    fs::path root_;
};

// The three functions as a ZR-40 shows them, plus the NCM/MBIM data interface.
inline const std::vector<InterfaceSpec> kZr40 = {
    {0, "02", "02", "01", "cdc_acm", "ttyACM0"},         {1, "0a", "00", "00", "cdc_acm"},
    {2, "02", "02", "00", "cdc_acm", "ttyACM1"},         {3, "0a", "00", "00", "cdc_acm"},
    {4, "02", "0e", "00", "cdc_mbim", nullptr, "wwan0"}, {5, "0a", "00", "02", "cdc_mbim"},
};

}  // namespace testsupport

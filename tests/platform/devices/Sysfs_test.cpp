#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/devices/Devices.h"
#include "tests/platform/devices/TempTree.h"

namespace dev = platform::devices;
namespace fs = std::filesystem;
using testtree::TempDir;
using testtree::WriteFile;

namespace {

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

// A sysfs tree as the kernel lays it out: device and interface directories under devices/,
// reached through symlinks in bus/usb/devices, drivers linking to their modules.
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
const std::vector<InterfaceSpec> kZr40 = {
    {0, "02", "02", "01", "cdc_acm", "ttyACM0"},         {1, "0a", "00", "00", "cdc_acm"},
    {2, "02", "02", "00", "cdc_acm", "ttyACM1"},         {3, "0a", "00", "00", "cdc_acm"},
    {4, "02", "0e", "00", "cdc_mbim", nullptr, "wwan0"}, {5, "0a", "00", "02", "cdc_mbim"},
};

std::vector<std::string> PortNames(const std::vector<dev::DeviceInfo>& devices) {
    std::vector<std::string> names;
    for (const auto& d : devices) {
        names.push_back(d.PortName().value_or("<none>"));
    }
    return names;
}

class SysfsScan : public ::testing::Test {
  protected:
    TempDir dir_;
    FakeSysfs sys_{dir_.path() / "sys"};
    std::unique_ptr<dev::Backend> backend_ = dev::Sysfs(sys_.root(), sys_.osRelease());
};

}  // namespace

TEST_F(SysfsScan, OneDeviceShowsItsThreeFunctions) {
    sys_.Device("1-2", "1d7a", "3c52", kZr40);

    const auto ports = backend_->PresentDevices(dev::SetupClass::Ports);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].hardwareId, dev::kUpdateHardwareId);
    EXPECT_EQ(ports[0].PortName(), "ttyACM1");
    EXPECT_EQ(ports[0].DriverVersion(), "0.26");

    const auto modem = backend_->PresentDevices(dev::SetupClass::Modem);
    ASSERT_EQ(modem.size(), 1u);
    EXPECT_EQ(modem[0].hardwareId, dev::kModemHardwareId);
    EXPECT_EQ(modem[0].PortName(), "ttyACM0");

    const auto net = backend_->PresentDevices(dev::SetupClass::Net);
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0].hardwareId, dev::kNetHardwareId);
    EXPECT_EQ(net[0].NetCfgInstanceId(), "wwan0");
    EXPECT_EQ(net[0].PortName(), std::nullopt);
    EXPECT_EQ(net[0].DriverVersion(), "6.1.0-test");  // module without a version
}

TEST_F(SysfsScan, TwoDevicesAreBothCountedInPathOrder) {
    sys_.Device("1-2", "1d7a", "3c52", kZr40);
    auto second = kZr40;
    second[0].tty = "ttyACM4";
    second[2].tty = "ttyACM5";
    second[4].net = "wwan1";
    sys_.Device("1-10", "1d7a", "3c52", second);

    // "1-10:..." sorts before "1-2:...".
    const auto ports = dev::FindDevices(*backend_, dev::SetupClass::Ports, dev::kUpdateHardwareId);
    EXPECT_EQ(PortNames(ports), (std::vector<std::string>{"ttyACM5", "ttyACM1"}));
    EXPECT_EQ(PortNames(backend_->PresentDevices(dev::SetupClass::Modem)),
              (std::vector<std::string>{"ttyACM4", "ttyACM0"}));
    const auto net = backend_->PresentDevices(dev::SetupClass::Net);
    ASSERT_EQ(net.size(), 2u);
    EXPECT_EQ(net[0].NetCfgInstanceId(), "wwan1");
    EXPECT_EQ(net[1].NetCfgInstanceId(), "wwan0");
    EXPECT_EQ(PortNames(backend_->PresentDevices(dev::SetupClass::Ports)), PortNames(ports));
}

TEST_F(SysfsScan, OtherVendorsAndProductsAreIgnored) {
    sys_.Device("1-1", "1234", "3c52", kZr40);
    sys_.Device("1-3", "1d7a", "3c53", kZr40);
    sys_.Device("1-4", "1D7A", "3C52", kZr40);  // case of the hex digits does not matter
    const auto modem = backend_->PresentDevices(dev::SetupClass::Modem);
    EXPECT_EQ(PortNames(modem), std::vector<std::string>{"ttyACM0"});
}

TEST_F(SysfsScan, InterfaceWithoutTtyHasNoPortName) {
    auto unbound = kZr40;
    unbound[2].tty = nullptr;
    unbound[2].driver = nullptr;
    sys_.Device("1-2", "1d7a", "3c52", unbound);
    const auto ports = backend_->PresentDevices(dev::SetupClass::Ports);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].PortName(), std::nullopt);
    EXPECT_EQ(ports[0].DriverVersion(), std::nullopt);  // no driver bound
}

TEST_F(SysfsScan, VendorSpecificInterfacesByWhatTheyExpose) {
    sys_.Device("2-1", "1d7a", "3c52",
                {
                    {0, "02", "02", "01", "cdc_acm", "ttyACM0"},
                    {1, "ff", "ff", "ff", "option", nullptr, nullptr, "ttyUSB0"},
                    {2, "ff", "ff", "ff"},  // no driver, nothing to go by
                    {3, "ff", "ff", "ff", "qmi_wwan", nullptr, "wwp0s20u1i3"},
                });
    EXPECT_EQ(PortNames(backend_->PresentDevices(dev::SetupClass::Ports)),
              std::vector<std::string>{"ttyUSB0"});
    const auto net = backend_->PresentDevices(dev::SetupClass::Net);
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0].NetCfgInstanceId(), "wwp0s20u1i3");
}

TEST_F(SysfsScan, SecondAtInterfaceIsTheUpdatePortAndAThirdIsNothing) {
    sys_.Device("1-2", "1d7a", "3c52",
                {
                    {0, "02", "02", "01", "cdc_acm", "ttyACM0"},
                    {2, "02", "02", "01", "cdc_acm", "ttyACM1"},
                    {4, "02", "02", "01", "cdc_acm", "ttyACM2"},
                });
    EXPECT_EQ(PortNames(backend_->PresentDevices(dev::SetupClass::Modem)),
              std::vector<std::string>{"ttyACM0"});
    EXPECT_EQ(PortNames(backend_->PresentDevices(dev::SetupClass::Ports)),
              std::vector<std::string>{"ttyACM1"});
}

TEST_F(SysfsScan, MissingTreeOrKernelReleaseLeavesThingsOut) {
    EXPECT_TRUE(
        dev::Sysfs(dir_.path() / "nothing")->PresentDevices(dev::SetupClass::Ports).empty());

    sys_.Device("1-2", "1d7a", "3c52", kZr40);
    const auto noRelease = dev::Sysfs(sys_.root(), dir_.path() / "no-osrelease");
    const auto net = noRelease->PresentDevices(dev::SetupClass::Net);
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0].DriverVersion(), std::nullopt);
    EXPECT_EQ(noRelease->PresentDevices(dev::SetupClass::Modem).at(0).DriverVersion(), "0.26");
}

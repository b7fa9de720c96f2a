#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/devices/Devices.h"
#include "tests/platform/devices/TempTree.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TempDir.h"

namespace dev = platform::devices;
namespace fs = std::filesystem;
using testsupport::FakeSysfs;
using testsupport::kZr40;
using testsupport::TempDir;
using testtree::WriteFile;

namespace {

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
    FakeSysfs sys_{dir_.Path() / "sys"};
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
    EXPECT_EQ(ports[0].Driver(), "cdc_acm");

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
    EXPECT_EQ(net[0].Driver(), "cdc_mbim");
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
    EXPECT_EQ(ports[0].Driver(), std::nullopt);
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
        dev::Sysfs(dir_.Path() / "nothing")->PresentDevices(dev::SetupClass::Ports).empty());

    sys_.Device("1-2", "1d7a", "3c52", kZr40);
    const auto noRelease = dev::Sysfs(sys_.root(), dir_.Path() / "no-osrelease");
    const auto net = noRelease->PresentDevices(dev::SetupClass::Net);
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0].DriverVersion(), std::nullopt);
    EXPECT_EQ(noRelease->PresentDevices(dev::SetupClass::Modem).at(0).DriverVersion(), "0.26");
}

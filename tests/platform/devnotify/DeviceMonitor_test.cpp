#include "platform/devnotify/DeviceMonitor.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <thread>

#include "platform/devices/Catalog.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ScopedEnv.h"

namespace {

namespace devnotify = platform::devnotify;
namespace devices = platform::devices;
namespace window = platform::window;
using devnotify::Change;
using devnotify::PortChange;

std::vector<std::pair<bool, std::string>> Ports(const Change& change) {
    std::vector<std::pair<bool, std::string>> ports;
    for (const PortChange& p : change.ports) {
        ports.emplace_back(p.arrived, p.port);
    }
    return ports;
}

TEST(CatalogChange, PortsThatCameOrWentAndAnyOtherDifference) {
    const auto before = devices::ParseCatalog(
        "Ports\tUPD\tPortName=/run/a/ttyZR40_UPDATE\tDriverVersion=1.0.7.0\n"
        "Modem\tMDM\tPortName=ttyACM0\n"
        "Net\tNET\tNetCfgInstanceId={1}\n");
    const auto driverOnly = devices::ParseCatalog(
        "Ports\tUPD\tPortName=/run/a/ttyZR40_UPDATE\tDriverVersion=1.0.8.0\n"
        "Modem\tMDM\tPortName=ttyACM0\n"
        "Net\tNET\tNetCfgInstanceId={1}\n");
    const auto bootLoader = devices::ParseCatalog(
        "Ports\tUPD\tPortName=/run/a/ttyZR40_UPDATE2\n"
        "Ports\tOTHER\tPortName=ttyACM0\n");

    Change same = devnotify::CatalogChange(before, before);
    EXPECT_FALSE(same.devicesChanged);
    EXPECT_TRUE(same.ports.empty());

    Change driver = devnotify::CatalogChange(before, driverOnly);
    EXPECT_TRUE(driver.devicesChanged);
    EXPECT_TRUE(driver.ports.empty());

    // A port that moved to another record under the same name did not come or go.
    Change reenumerated = devnotify::CatalogChange(before, bootLoader);
    EXPECT_TRUE(reenumerated.devicesChanged);
    EXPECT_EQ(Ports(reenumerated),
              (std::vector<std::pair<bool, std::string>>{{false, "/run/a/ttyZR40_UPDATE"},
                                                         {true, "/run/a/ttyZR40_UPDATE2"}}));

    Change unplugged = devnotify::CatalogChange(bootLoader, {});
    EXPECT_EQ(Ports(unplugged), (std::vector<std::pair<bool, std::string>>{
                                    {false, "/run/a/ttyZR40_UPDATE2"}, {false, "ttyACM0"}}));
}

TEST(UdevEvents, TtysAreThePortsAndEveryDeviceThatComesOrGoesIsAChange) {
    Change change;
    devnotify::AddUdevEvent({"change", "tty", "ttyACM1"}, change);
    devnotify::AddUdevEvent({"online", "usb", "1-2"}, change);
    EXPECT_FALSE(change.devicesChanged);
    EXPECT_TRUE(change.ports.empty());

    devnotify::AddUdevEvent({"add", "usb", "1-2"}, change);
    devnotify::AddUdevEvent({"bind", "usb", "1-2:1.0"}, change);
    devnotify::AddUdevEvent({"add", "tty", "ttyACM1"}, change);
    devnotify::AddUdevEvent({"add", "net", "wwan0"}, change);
    devnotify::AddUdevEvent({"remove", "tty", "ttyACM0"}, change);
    EXPECT_TRUE(change.devicesChanged);
    EXPECT_EQ(Ports(change),
              (std::vector<std::pair<bool, std::string>>{{true, "ttyACM1"}, {false, "ttyACM0"}}));

    // Wherever netlink is missing the monitor reports nothing, and ends cleanly.
    devnotify::DeviceMonitor monitor(std::nullopt);
    window::Window w("udev", [](const window::Message&) -> std::intptr_t { return 0; });
    monitor.Subscribe(w.Handle(), devnotify::Interest::DevicesChanged);
}

// The manager's view of the ports, kept from the notifications alone: a port goes only after it
// came, and everything arrives on the thread that made the windows.
class Listener {
  public:
    window::Handler PortHandler() {
        return [this](const window::Message& m) -> std::intptr_t {
            EXPECT_EQ(std::this_thread::get_id(), m_thread);
            EXPECT_EQ(m.message, window::kDeviceChangeMessage);
            if (m.wParam == window::kDeviceArrival) {
                EXPECT_TRUE(m_ports.insert(m.port).second) << "came twice: " << m.port;
            } else {
                EXPECT_EQ(m.wParam, window::kDeviceRemoveComplete);
                EXPECT_EQ(m_ports.erase(m.port), 1u) << "went without coming: " << m.port;
            }
            return 0;
        };
    }
    window::Handler ChangeHandler() {
        return [this](const window::Message& m) -> std::intptr_t {
            EXPECT_EQ(std::this_thread::get_id(), m_thread);
            EXPECT_EQ(m.message, window::kDeviceChangeMessage);
            EXPECT_EQ(m.wParam, window::kDevNodesChanged);
            ++m_changes;
            return 0;
        };
    }
    const std::set<std::string>& Seen() const { return m_ports; }
    int ChangeCount() const { return m_changes; }

  private:
    std::thread::id m_thread = std::this_thread::get_id();
    std::set<std::string> m_ports;
    int m_changes = 0;
};

TEST(DeviceMonitor, NotificationsFollowTheSimulatedDevice) {
    testsupport::TempDir root;
    testsupport::ScopedEnv rootEnv("ZR40_ROOT", root.Path().c_str());
    devsim_test::TempDir dir;
    const devsim_test::fs::path catalog = dir.Path() / "catalog.txt";
    Listener listener;
    window::Window tool("tool", listener.ChangeHandler());
    window::Window manager("manager", listener.PortHandler());
    auto monitor = std::make_unique<devnotify::DeviceMonitor>(catalog);
    monitor->Subscribe(tool.Handle(), devnotify::Interest::DevicesChanged);
    monitor->Subscribe(manager.Handle(), devnotify::Interest::Ports);
    // Both windows wait on one thread, as a toolkit loop would.
    auto pump = [&](auto pred) {
        while (!pred()) {
            pollfd fds[2] = {{tool.WakeFd(), POLLIN, 0}, {manager.WakeFd(), POLLIN, 0}};
            if (::poll(fds, 2, devsim_test::kGuardMs) <= 0) {
                return false;
            }
            tool.ProcessPending();
            manager.ProcessPending();
        }
        return true;
    };
    const std::string update = (dir.Path() / "ttyZR40_UPDATE").string();
    const std::string modem = (dir.Path() / "ttyZR40_MODEM").string();

    devsim_test::DevSim sim(dir.Path(), {"--outdated-drivers"});
    ASSERT_EQ(sim.NextLine(), "ready");
    ASSERT_TRUE(pump([&] {
        return listener.Seen() == std::set<std::string>{update, modem} &&
               listener.ChangeCount() > 0;
    }));

    int changes = listener.ChangeCount();
    ASSERT_TRUE(sim.Raise(SIGUSR1));
    ASSERT_TRUE(sim.WaitFor("drivers-updated"));
    ASSERT_TRUE(pump([&] { return listener.ChangeCount() > changes; }));

    {
        devsim_test::Terminal port(update);
        ASSERT_TRUE(port.Write({0xFF, 0x55, 0x00, 0x42, 0x00, 0x01, 0x01, 0xFE}));
    }
    ASSERT_TRUE(sim.WaitFor("appeared update bootloader")) << sim.Seen();
    ASSERT_TRUE(pump([&] { return listener.Seen() == std::set<std::string>{update}; }));

    changes = listener.ChangeCount();
    EXPECT_EQ(sim.Stop(), 0);
    ASSERT_TRUE(pump([&] { return listener.Seen().empty() && listener.ChangeCount() > changes; }));
    monitor.reset();
    EXPECT_TRUE(tool.Post({0x400, 0, 0, {}}));  // the windows outlive the monitor
}

}  // namespace

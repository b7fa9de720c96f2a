// The simulator as a USB gadget, found and driven through the guest kernel's own USB host stack
// (tools/usbvm.sh runs these through scenarios.sh): sysfs as the kernel lays it out, cdc_acm,
// cdc_ncm and usb-serial bound for real, and real re-enumeration. Needs root, dummy_hcd and the
// usb-serial generic driver told the boot loader's id; outside such a guest every case skips.
//
// ZR_USBVM_WAIT_MS (default 120000) guards each wait for the kernel; nothing is asserted about
// time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Loader/app/MmInhibit.h"
#include "Loader/device/PortManage.h"
#include "platform/devices/Devices.h"
#include "platform/devnotify/DeviceMonitor.h"
#include "platform/fd/UniqueFd.h"
#include "platform/kernel/Clock.h"
#include "platform/mobile/Mobile.h"
#include "platform/serial/SerialPort.h"
#include "platform/window/Window.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoaderTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using platform::devices::DeviceInfo;
using platform::devices::SetupClass;
using testsupport::ChildProcess;

std::chrono::milliseconds Guard() {
    const char* text = std::getenv("ZR_USBVM_WAIT_MS");
    return std::chrono::milliseconds(text != nullptr && *text != '\0' ? std::atol(text) : 120000);
}

std::vector<DeviceInfo> Present(SetupClass setupClass) {
    return platform::devices::Sysfs()->PresentDevices(setupClass);
}

bool Bound(SetupClass setupClass) {
    const auto devices = Present(setupClass);
    return devices.size() == 1 && devices[0].Driver() &&
           (setupClass == SetupClass::Net ? devices[0].NetCfgInstanceId()
                                          : devices[0].PortName()) &&
           (setupClass == SetupClass::Net ||
            fs::exists("/dev/" + devices[0].PortName().value_or("")));
}

bool NormalModeBound() {
    return Bound(SetupClass::Modem) && Bound(SetupClass::Ports) && Bound(SetupClass::Net);
}

// The tty under an interface of the device with the given number, as the kernel names it.
std::string TtyOfInterface(int number) {
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices")) {
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path() / "bInterfaceNumber");
        int value = -1;
        if (name.find(':') != std::string::npos && (in >> value) && value == number &&
            fs::is_directory(entry.path() / "tty")) {
            return fs::directory_iterator(entry.path() / "tty")->path().filename().string();
        }
    }
    return {};
}

// One AT command on a port, the answer up to its final result.
std::string AtCommand(const std::string& port, const std::string& command,
                      testsupport::Deadline until) {
    platform::serial::SerialPort serial;
    if (serial.Open(port) || serial.SetSettings({})) {
        return "cannot open " + port;
    }
    const std::string line = command + "\r\n";
    if (serial.Write(line.data(), line.size()).error) {
        return "cannot write " + port;
    }
    std::string answer;
    while (answer.find("OK\r\n") == std::string::npos &&
           answer.find("ERROR\r\n") == std::string::npos && testsupport::MsLeft(until) > 0) {
        if (serial.WaitForInput(testsupport::MsLeft(until)) !=
            platform::serial::WaitResult::Input) {
            break;
        }
        char buffer[256];
        const auto got = serial.Read(buffer, sizeof buffer);
        answer.append(buffer, got.bytes);
    }
    return answer;
}

class UsbGuest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists("/sys/class/udc") || fs::is_empty("/sys/class/udc") || ::geteuid() != 0) {
            GTEST_SKIP() << "no USB device controller here, or not root (tools/usbvm.sh)";
        }
    }

    void TearDown() override {
        if (sim) {
            sim->Signal(SIGTERM);
            EXPECT_TRUE(sim->Finish(testsupport::In(Guard()))) << sim->Text();
        }
    }

    // The device plugged in: the simulator's side ready, the gadget bound.
    void Plug(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {ZR_DEVSIM,  "--dir",       dir.Path().string(),
                                         "--gadget", "--reenum-ms", "500"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        sim = std::make_unique<ChildProcess>(argv, ChildProcess::Options{});
        ASSERT_TRUE(sim->WaitFor("ready", testsupport::In(Guard()))) << sim->Text();
    }

    // Checks the condition until it holds or the guard runs out: the kernel binds drivers and
    // makes device nodes on its own time and tells nobody but udev.
    template <class Pred>
    static bool Until(Pred pred) {
        const auto until = testsupport::In(Guard());
        while (!pred()) {
            if (testsupport::MsLeft(until) < 0) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    testsupport::TempDir dir{"zr40-usbvm-"};
    std::unique_ptr<ChildProcess> sim;
};

TEST_F(UsbGuest, DiscoveryFindsEachFunctionWithItsTtyAndBoundDriver) {
    Plug();
    ASSERT_TRUE(Until(NormalModeBound));

    const DeviceInfo modem = Present(SetupClass::Modem).at(0);
    const DeviceInfo update = Present(SetupClass::Ports).at(0);
    const DeviceInfo net = Present(SetupClass::Net).at(0);
    EXPECT_EQ(modem.PortName(), TtyOfInterface(0));
    EXPECT_EQ(update.PortName(), TtyOfInterface(2));  // a CDC-ACM function has two interfaces
    EXPECT_NE(modem.PortName(), update.PortName());
    EXPECT_EQ(modem.Driver(), "cdc_acm");
    EXPECT_EQ(update.Driver(), "cdc_acm");
    EXPECT_EQ(net.Driver(), "cdc_ncm");
    EXPECT_TRUE(fs::exists("/sys/class/net/" + net.NetCfgInstanceId().value_or("-")));
    std::ifstream release("/proc/sys/kernel/osrelease");
    std::string kernel;
    release >> kernel;
    EXPECT_EQ(modem.DriverVersion(), kernel);

    loadertest::Config config{"[SYSTEM]\nWaitTime=1\n"};
    CUsbPort port(config.get(), platform::kernel::SystemClock());
    EXPECT_EQ(port.CheckDriverVersions(false), 1);
    EXPECT_EQ(port.CheckDriverVersions(true), 1);
    EXPECT_EQ(port.FindPort(CUsbPort::kModemPort), 1);
    EXPECT_EQ(port.FindPort(CUsbPort::kUpdatePort), 1);

    // The ports found are the device's: its modem answers on the modem port.
    const std::string answer = AtCommand(*modem.PortName(), "AT+GMR", testsupport::In(Guard()));
    EXPECT_NE(answer.find("Ver1.00"), std::string::npos) << answer;
}

TEST_F(UsbGuest, LineSettingsSetThroughCdcAcmReadBackAsSet) {
    Plug();
    ASSERT_TRUE(Until(NormalModeBound));
    for (const SetupClass setupClass : {SetupClass::Ports, SetupClass::Modem}) {
        const std::string name = Present(setupClass).at(0).PortName().value_or("-");
        SCOPED_TRACE(name);
        platform::serial::SerialPort port;
        ASSERT_FALSE(port.Open(name));
        platform::serial::LineSettings want;
        want.stopBits = platform::serial::StopBits::One;
        ASSERT_FALSE(port.SetSettings(want));

        // Another descriptor asks the driver, not the port object's memory.
        const platform::fd::UniqueFd fd(
            ::open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(fd.Valid());
        termios t{};
        ASSERT_EQ(::tcgetattr(fd.Get(), &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), B115200);
        EXPECT_EQ(::cfgetispeed(&t), B115200);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
        EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

        // The tool's own settings: one and a half stop bits go out as two.
        ASSERT_FALSE(port.SetSettings({}));
        ASSERT_EQ(::tcgetattr(fd.Get(), &t), 0);
        EXPECT_NE(t.c_cflag & CSTOPB, 0u);
        platform::serial::LineSettings got;
        ASSERT_FALSE(port.GetSettings(got));
        EXPECT_EQ(got.baudRate, 115200u);
        EXPECT_TRUE(got.hardwareFlowControl);
    }
}

TEST_F(UsbGuest, TheBootLoaderShowsTheUpdatePortAloneOnAVendorSerialInterface) {
    Plug();
    ASSERT_TRUE(Until(NormalModeBound));
    const std::string normalPort = Present(SetupClass::Ports).at(0).PortName().value_or("-");
    {
        platform::serial::SerialPort port;
        ASSERT_FALSE(port.Open(normalPort));
        ASSERT_FALSE(port.SetSettings({}));
        const std::uint8_t download[] = {0xFF, 0x55, 0x00, 0x42, 0x00, 0x01, 0x01, 0xFE};
        ASSERT_FALSE(port.Write(download, sizeof download).error);
        ASSERT_TRUE(sim->WaitFor("appeared update bootloader", testsupport::In(Guard())))
            << sim->Text();
    }
    ASSERT_TRUE(Until([] {
        return Bound(SetupClass::Ports) && Present(SetupClass::Modem).empty() &&
               Present(SetupClass::Net).empty();
    }));
    const DeviceInfo update = Present(SetupClass::Ports).at(0);
    EXPECT_TRUE(update.PortName().value_or("").starts_with("ttyUSB")) << *update.PortName();
    EXPECT_EQ(update.Driver(), "usbserial_generic");
    // No AT interface is left for a modem manager to take the device for a modem.
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices")) {
        std::ifstream vendor(entry.path() / "idVendor");
        std::string text;
        if ((vendor >> text) && text == "1d7a") {
            std::ifstream itf(entry.path() / (entry.path().filename().string() + ":1.0") /
                              "bInterfaceClass");
            std::string interfaceClass;
            itf >> interfaceClass;
            EXPECT_EQ(interfaceClass, "ff");
            EXPECT_FALSE(fs::exists(entry.path() / (entry.path().filename().string() + ":1.1")));
        }
    }
}

TEST_F(UsbGuest, TwoAtInterfacesInTheOtherOrderAreReadAsTheTableSays) {
    Plug({"--gadget-update-first"});
    ASSERT_TRUE(Until(NormalModeBound));
    // The first AT interface is the modem port, whatever the device behind it plays: here its
    // update function, so the modem answers on what discovery calls the update port.
    const DeviceInfo modem = Present(SetupClass::Modem).at(0);
    const DeviceInfo update = Present(SetupClass::Ports).at(0);
    EXPECT_EQ(modem.PortName(), TtyOfInterface(0));
    EXPECT_EQ(update.PortName(), TtyOfInterface(2));
    const std::string answer = AtCommand(*update.PortName(), "AT+GMR", testsupport::In(Guard()));
    EXPECT_NE(answer.find("Ver1.00"), std::string::npos) << answer;
}

TEST_F(UsbGuest, TheShippedWriteRunsAcrossTwoRealReEnumerations) {
    Plug({"--frame-log", (dir.Path() / "frames.log").string()});
    ASSERT_TRUE(Until(NormalModeBound));
    testsupport::TempDir work{"zr40-usbvm-loader-"};
    ChildProcess loader({ZR_LOADER, "--verbose", "--wait-version", "120"},
                        ChildProcess::Options{.cwd = work.Path()});
    const auto status = loader.Wait(testsupport::In(Guard() * 5));
    const auto record = [&] {
        std::ifstream in(work.Path() / "ZR40Loader_err.log");
        std::string text = loader.Text() + "\n" + sim->Text() + "\n";
        for (std::string line; std::getline(in, line);) {
            text += line + "\n";
        }
        return text;
    };
    ASSERT_TRUE(status) << record();
    EXPECT_EQ(*status, 0) << record();
    EXPECT_NE(loader.Text().rfind("Ver1.01"), std::string::npos) << record();

    sim->Signal(SIGTERM);
    ASSERT_TRUE(sim->Finish(testsupport::In(Guard())));
    const auto& events = sim->Lines();
    const auto at = [&](const std::string& line) {
        return std::find(events.begin(), events.end(), line) - events.begin();
    };
    const auto n = static_cast<std::ptrdiff_t>(events.size());
    EXPECT_LT(at("download-mode"), at("appeared update bootloader"));
    EXPECT_LT(at("appeared update bootloader"), at("reset"));
    EXPECT_LT(at("reset"), at("appeared update normal"));
    EXPECT_LT(at("appeared update normal"), n) << sim->Text();
    sim.reset();
}

// A simulator killed outright cannot take its gadget down; the next one does, or the controller
// would stay busy and no device could be plugged in again.
TEST_F(UsbGuest, AGadgetLeftByAKilledSimulatorIsRemovedByTheNext) {
    Plug();
    ASSERT_TRUE(Until(NormalModeBound));
    sim->Kill();
    ASSERT_TRUE(sim->Wait(testsupport::In(Guard())));
    sim.reset();
    Plug();
    ASSERT_TRUE(Until(NormalModeBound));
    int gadgets = 0;
    for (const auto& entry : fs::directory_iterator("/sys/kernel/config/usb_gadget")) {
        gadgets += entry.path().filename().string().starts_with("zr40-") ? 1 : 0;
    }
    EXPECT_EQ(gadgets, 1);
}

// A fault of the catalogue's world in the real one: the device pulled out in the middle of a
// frame leaves the PC's USB bus for good, and the write fails.
TEST_F(UsbGuest, AnUnplugFaultTakesTheDeviceOffTheBus) {
    Plug({"--fault-unplug", "C_PS:2"});
    ASSERT_TRUE(Until(NormalModeBound));
    testsupport::TempDir work{"zr40-usbvm-loader-"};
    // The shipped script up to its first image, with short waits: its 20 s of timers and 20 s
    // for each frame's answer would only make the failure late.
    std::ofstream(work.Path() / "script.ini") << "[GLOBAL]\n"
                                                 "Port=open,10\n"
                                                 "CMD=ff550042000101fe\n"
                                                 "Timer=2\n"
                                                 "Port=close\n"
                                                 "Port=open,30\n"
                                                 "DBB_D2_CMD=4442,2805,12,00370037\n"
                                                 "Wait_DBB=4442,-1\n"
                                                 "DBB_LM_File=DATA\\C_PS\\QRV_C_PS.cvt,3\n";
    ChildProcess loader({ZR_LOADER, "--script", (work.Path() / "script.ini").string()},
                        ChildProcess::Options{.cwd = work.Path()});
    ASSERT_TRUE(sim->WaitFor("unplugged", testsupport::In(Guard() * 5))) << sim->Text();
    const auto status = loader.Wait(testsupport::In(Guard() * 5));
    ASSERT_TRUE(status) << loader.Text();
    EXPECT_EQ(*status, 1) << loader.Text();
    EXPECT_TRUE(Until([] {
        return Present(SetupClass::Ports).empty() && Present(SetupClass::Modem).empty() &&
               Present(SetupClass::Net).empty();
    }));
    EXPECT_TRUE(fs::exists(work.Path() / "ZR40Loader_err.log"));
}

// The device notifications from the kernel's own events as udevd passes them on: the ports a
// window is told of follow the gadget into its boot loader and off the bus, each port going
// only after it came.
TEST_F(UsbGuest, DeviceNotificationsFollowRealUdevEvents) {
    if (!fs::exists("/run/udev/control")) {
        GTEST_SKIP() << "no udevd running";
    }
    namespace window = platform::window;
    std::set<std::string> ports;
    int changes = 0;
    window::Window manager("manager", [&](const window::Message& m) -> std::intptr_t {
        // The gadget's own side is a tty too; a PC with the real device has none of those.
        if (m.port.starts_with("ttyGS")) {
            return 0;
        }
        if (m.wParam == window::kDeviceArrival) {
            EXPECT_TRUE(ports.insert(m.port).second) << "came twice: " << m.port;
        } else if (m.wParam == window::kDeviceRemoveComplete) {
            EXPECT_EQ(ports.erase(m.port), 1u) << "went without coming: " << m.port;
        }
        return 0;
    });
    window::Window tool("tool", [&](const window::Message& m) -> std::intptr_t {
        EXPECT_EQ(m.wParam, window::kDevNodesChanged);
        ++changes;
        return 0;
    });
    platform::devnotify::DeviceMonitor monitor(std::nullopt);
    monitor.Subscribe(manager.Handle(), platform::devnotify::Interest::Ports);
    monitor.Subscribe(tool.Handle(), platform::devnotify::Interest::DevicesChanged);
    const auto pump = [&](auto pred) {
        const auto until = testsupport::In(Guard());
        while (!pred()) {
            pollfd fds[2] = {{manager.WakeFd(), POLLIN, 0}, {tool.WakeFd(), POLLIN, 0}};
            if (testsupport::MsLeft(until) < 0 || ::poll(fds, 2, testsupport::MsLeft(until)) <= 0) {
                return false;
            }
            manager.ProcessPending();
            tool.ProcessPending();
        }
        return true;
    };

    Plug();
    ASSERT_TRUE(pump([&] {
        return ports == std::set<std::string>{"ttyACM0", "ttyACM1"} && changes > 0;
    }));
    {
        platform::serial::SerialPort port;
        ASSERT_FALSE(port.Open("ttyACM1"));
        const std::uint8_t download[] = {0xFF, 0x55, 0x00, 0x42, 0x00, 0x01, 0x01, 0xFE};
        ASSERT_FALSE(port.Write(download, sizeof download).error);
        ASSERT_TRUE(sim->WaitFor("appeared update bootloader", testsupport::In(Guard())));
    }
    ASSERT_TRUE(pump([&] { return ports == std::set<std::string>{"ttyUSB0"}; }));

    const int before = changes;
    sim->Signal(SIGTERM);
    ASSERT_TRUE(sim->Finish(testsupport::In(Guard())));
    sim.reset();
    EXPECT_TRUE(pump([&] { return ports.empty() && changes > before; }));
}

// ModemManager on the system bus with the package's rules, run by modemmanager.sh: held off the
// device through the tool's InhibitDevice, it lets the update port hear the tool alone across
// the whole write and its two re-enumerations, and takes the modem back afterwards.
TEST_F(UsbGuest, InhibitedModemManagerLeavesTheWholeWriteToTheTool) {
    if (std::getenv("ZR_USBVM_MM") == nullptr) {
        GTEST_SKIP() << "needs ModemManager running (tests/usbvm/modemmanager.sh)";
    }
    const fs::path frames = dir.Path() / "frames.log";
    Plug({"--frame-log", frames.string()});
    ASSERT_TRUE(Until(NormalModeBound));
    ASSERT_TRUE(Until([] { return !platform::mobile::ModemManagerDeviceUids().empty(); }));
    {
        CMmInhibit inhibit;
        ASSERT_FALSE(inhibit.Inhibited().empty());
        testsupport::TempDir work{"zr40-usbvm-loader-"};
        ChildProcess loader({ZR_LOADER, "--wait-version", "300"},
                            ChildProcess::Options{.cwd = work.Path()});
        const auto status = loader.Wait(testsupport::In(Guard() * 5));
        ASSERT_TRUE(status) << loader.Text();
        EXPECT_EQ(*status, 0) << loader.Text();
        EXPECT_NE(loader.Text().rfind("Ver1.01"), std::string::npos) << loader.Text();
    }
    std::ifstream in(frames);
    std::vector<std::string> received;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("rx ")) {
            received.push_back(line);
        }
    }
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.front(), "rx RAW VERSION 10");
    EXPECT_EQ(std::count_if(received.begin(), received.end(),
                            [](const std::string& l) { return l.starts_with("rx GARBAGE"); }),
              0);
    EXPECT_TRUE(Until([] { return !platform::mobile::ModemManagerDeviceUids().empty(); }));
}

}  // namespace

// The ZR-40 on a Linux PC: a USB composite device whose interfaces are bound to cdc_acm,
// cdc_mbim / cdc_ncm / cdc_ether or a vendor driver. The setup-class view the tool expects is
// rebuilt from the interfaces: one device per function, named by the hardware ids it has on
// the other platform.
//
// Properties:
//   PortName          the interface's tty ("ttyACM0"; the serial layer opens it under /dev)
//   NetCfgInstanceId  the interface's network interface name as is ("wwan0"), the id under
//                     which a Mobile Broadband service knows the adapter
//   Driver            the bound kernel driver's name ("cdc_acm"); absent while none is bound
//   DriverVersion     the bound driver module's version, or the kernel release for a driver
//                     that carries none (drivers built into the kernel); absent while no
//                     driver is bound
#include <algorithm>
#include <charconv>
#include <map>
#include <system_error>
#include <utility>

#include "platform/devices/BoundedRead.h"
#include "platform/devices/Devices.h"

namespace platform::devices {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kVendor = "1d7a";
constexpr std::string_view kProduct = "3c52";

enum class Function { Update, Modem, Net };
enum class Child { Any, Tty, Net };  // what the interface must expose to match
constexpr int kAny = -1;
constexpr int kUnreadable = -2;  // an attribute that is missing matches no row

struct Rule {
    int interfaceClass;
    int subClass;
    int protocol;
    Child child;
    Function function;
};

// Interface to function, first matching row wins. The interfaces of one device are taken in
// bInterfaceNumber order and each function goes to one interface at most, so of two CDC-ACM
// AT interfaces the first is the modem port and the second the update port.
//
// The device in its boot loader is the one without an AT interface: it shows the update port
// alone as a vendor-specific serial interface (ff), bound to a usb-serial driver. A lone CDC-ACM
// interface would read as a modem port (the function drivers report protocol 01 whatever they
// carry) and the device would look like a modem without its update port; a product id of its
// own would hide it from the rules that match the device by id. The udev rules
// (dist/70-zr40.rules) read the same: no 02/02/01 interface, the boot loader.
constexpr Rule kRules[] = {
    {0x02, 0x02, 0x01, Child::Any, Function::Modem},   // CDC-ACM, AT commands
    {0x02, 0x02, kAny, Child::Any, Function::Update},  // another CDC-ACM interface
    {0xff, kAny, kAny, Child::Tty, Function::Update},  // vendor serial (usb-serial driver)
    {0x02, 0x0e, kAny, Child::Any, Function::Net},     // MBIM
    {0x02, 0x0d, kAny, Child::Any, Function::Net},     // CDC-NCM
    {0x02, 0x06, kAny, Child::Any, Function::Net},     // CDC-ECM
    {0xff, kAny, kAny, Child::Net, Function::Net},     // vendor network (QMI and the like)
};

struct FunctionInfo {
    std::string_view hardwareId;
    SetupClass setupClass;
};

FunctionInfo Describe(Function function) {
    switch (function) {
        case Function::Update:
            return {kUpdateHardwareId, SetupClass::Ports};
        case Function::Modem:
            return {kModemHardwareId, SetupClass::Modem};
        case Function::Net:
            return {kNetHardwareId, SetupClass::Net};
    }
    return {};
}

// sysfs attributes are one short line.
std::optional<std::string> ReadAttribute(const fs::path& file) {
    auto content = detail::ReadRegularFile(file, 4096);
    if (!content) {
        return std::nullopt;
    }
    std::string& text = content->text;
    const auto end = text.find_last_not_of(" \t\r\n");
    text.resize(end == std::string::npos ? 0 : end + 1);
    if (text.empty()) {
        return std::nullopt;
    }
    return std::move(text);
}

std::optional<int> ReadHex(const fs::path& file) {
    const auto text = ReadAttribute(file);
    if (!text) {
        return std::nullopt;
    }
    int value = 0;
    const char* last = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), last, value, 16);
    if (ec != std::errc() || ptr != last) {
        return std::nullopt;
    }
    return value;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::vector<std::string> ChildNames(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> FirstChild(const fs::path& dir) {
    auto names = ChildNames(dir);
    if (names.empty()) {
        return std::nullopt;
    }
    return std::move(names.front());
}

// cdc_acm puts the tty right under the interface (tty/ttyACM0); usb-serial drivers put a port
// device in between (ttyUSB0/tty/ttyUSB0).
std::optional<std::string> TtyName(const fs::path& interfaceDir) {
    if (auto name = FirstChild(interfaceDir / "tty")) {
        return name;
    }
    for (const auto& child : ChildNames(interfaceDir)) {
        if (child.starts_with("tty")) {
            if (auto name = FirstChild(interfaceDir / child / "tty")) {
                return name;
            }
        }
    }
    return std::nullopt;
}

struct Interface {
    std::string entry;  // "1-2:1.0", also the sort key
    fs::path dir;
    int number = 0;
    int interfaceClass = kAny;
    int subClass = kAny;
    int protocol = kAny;
    std::optional<std::string> tty;
    std::optional<std::string> net;
};

bool Matches(const Rule& rule, const Interface& itf) {
    const auto field = [](int want, int have) { return want == kAny || want == have; };
    if (!field(rule.interfaceClass, itf.interfaceClass) || !field(rule.subClass, itf.subClass) ||
        !field(rule.protocol, itf.protocol)) {
        return false;
    }
    switch (rule.child) {
        case Child::Any:
            return true;
        case Child::Tty:
            return itf.tty.has_value();
        case Child::Net:
            return itf.net.has_value();
    }
    return false;
}

// "<device>:<configuration>.<interface>" gives the device part; none for other entries.
std::optional<std::string> DeviceOfInterface(std::string_view entry) {
    const auto colon = entry.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        return std::nullopt;
    }
    const std::string_view rest = entry.substr(colon + 1);
    const auto dot = rest.find('.');
    const auto digits = [](std::string_view s) {
        return !s.empty() &&
               std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dot == std::string_view::npos || !digits(rest.substr(0, dot)) ||
        !digits(rest.substr(dot + 1))) {
        return std::nullopt;
    }
    return std::string(entry.substr(0, colon));
}

class SysfsBackend final : public Backend {
  public:
    SysfsBackend(fs::path root, fs::path osRelease)
        : root_(std::move(root)), osRelease_(std::move(osRelease)) {}

    std::vector<DeviceInfo> PresentDevices(SetupClass setupClass) const override {
        std::vector<std::pair<std::string, DeviceInfo>> found;  // sort key, device
        const fs::path usbDevices = root_ / "bus" / "usb" / "devices";

        std::map<std::string, std::vector<Interface>> byDevice;
        for (const auto& entry : ChildNames(usbDevices)) {
            if (auto device = DeviceOfInterface(entry)) {
                byDevice[*device].push_back(ReadInterface(usbDevices, entry));
            }
        }
        for (auto& [device, interfaces] : byDevice) {
            if (!IsZr40(usbDevices / device)) {
                continue;
            }
            std::stable_sort(
                interfaces.begin(), interfaces.end(),
                [](const Interface& a, const Interface& b) { return a.number < b.number; });
            bool taken[3] = {false, false, false};
            for (const auto& itf : interfaces) {
                const Rule* rule = nullptr;
                for (const auto& candidate : kRules) {
                    if (!taken[static_cast<int>(candidate.function)] && Matches(candidate, itf)) {
                        rule = &candidate;
                        break;
                    }
                }
                if (rule == nullptr) {
                    continue;
                }
                taken[static_cast<int>(rule->function)] = true;
                const FunctionInfo function = Describe(rule->function);
                if (function.setupClass == setupClass) {
                    found.emplace_back(itf.entry, MakeDevice(function, itf));
                }
            }
        }

        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<DeviceInfo> devices;
        devices.reserve(found.size());
        for (auto& item : found) {
            devices.push_back(std::move(item.second));
        }
        return devices;
    }

  private:
    static bool IsZr40(const fs::path& deviceDir) {
        const auto vendor = ReadAttribute(deviceDir / "idVendor");
        const auto product = ReadAttribute(deviceDir / "idProduct");
        return vendor && product && EqualsNoCase(*vendor, kVendor) &&
               EqualsNoCase(*product, kProduct);
    }

    static Interface ReadInterface(const fs::path& usbDevices, const std::string& entry) {
        Interface itf;
        itf.entry = entry;
        itf.dir = usbDevices / entry;
        itf.number = ReadHex(itf.dir / "bInterfaceNumber").value_or(0);
        itf.interfaceClass = ReadHex(itf.dir / "bInterfaceClass").value_or(kUnreadable);
        itf.subClass = ReadHex(itf.dir / "bInterfaceSubClass").value_or(kUnreadable);
        itf.protocol = ReadHex(itf.dir / "bInterfaceProtocol").value_or(kUnreadable);
        itf.tty = TtyName(itf.dir);
        itf.net = FirstChild(itf.dir / "net");
        return itf;
    }

    DeviceInfo MakeDevice(const FunctionInfo& function, const Interface& itf) const {
        DeviceInfo device;
        device.hardwareId = function.hardwareId;
        if (itf.tty) {
            device.properties.emplace(kPortName, *itf.tty);
        }
        if (itf.net) {
            device.properties.emplace(kNetCfgInstanceId, *itf.net);
        }
        if (auto driver = DriverOf(itf.dir)) {
            device.properties.emplace(kDriver, std::move(*driver));
        }
        if (auto version = DriverVersionOf(itf.dir)) {
            device.properties.emplace(kDriverVersion, std::move(*version));
        }
        return device;
    }

    static std::optional<std::string> DriverOf(const fs::path& interfaceDir) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(interfaceDir / "driver", ec);
        if (ec || target.filename().empty()) {
            return std::nullopt;
        }
        return target.filename().string();
    }

    std::optional<std::string> DriverVersionOf(const fs::path& interfaceDir) const {
        std::error_code ec;
        if (!fs::is_directory(interfaceDir / "driver", ec)) {
            return std::nullopt;
        }
        if (auto version = ReadAttribute(interfaceDir / "driver" / "module" / "version")) {
            return version;
        }
        return ReadAttribute(osRelease_);
    }

    fs::path root_;
    fs::path osRelease_;
};

}  // namespace

std::unique_ptr<Backend> Sysfs(std::filesystem::path root, std::filesystem::path osRelease) {
    return std::make_unique<SysfsBackend>(std::move(root), std::move(osRelease));
}

}  // namespace platform::devices

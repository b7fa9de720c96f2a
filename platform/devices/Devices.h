// Present devices of a setup class, as the update tool looks for the ZR-40's functions.
//
// Two backends: the catalogue file named by ZR40_DEVICE_CATALOG (simulator, test rigs) and a
// scan of sysfs for the device's USB interfaces. Callers pick the devices they want by hardware
// id; both backends report the same hardware ids and property names.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::devices {

enum class SetupClass { Ports, Modem, Net };

// Hardware ids of the device's three functions.
inline constexpr std::string_view kUpdateHardwareId = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE";
inline constexpr std::string_view kModemHardwareId = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM";
inline constexpr std::string_view kNetHardwareId = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&NETIF";

// Appended to the modem port's name to reach its second AT channel.
inline constexpr std::string_view kSecondAtChannelSuffix =
    "_{0254B0B5-AA88-461f-8044-3D5C47AB5709}";

// Property names.
inline constexpr char kPortName[] = "PortName";
inline constexpr char kDriverVersion[] = "DriverVersion";
inline constexpr char kDriver[] = "Driver";
inline constexpr char kNetCfgInstanceId[] = "NetCfgInstanceId";

struct DeviceInfo {
    std::string hardwareId;
    std::map<std::string, std::string, std::less<>> properties;

    std::optional<std::string> Property(std::string_view name) const;
    // A device path or a name under /dev ("ttyACM1").
    std::optional<std::string> PortName() const { return Property(kPortName); }
    std::optional<std::string> DriverVersion() const { return Property(kDriverVersion); }
    std::optional<std::string> NetCfgInstanceId() const { return Property(kNetCfgInstanceId); }
    // The kernel driver bound to the function (sysfs only): "cdc_acm".
    std::optional<std::string> Driver() const { return Property(kDriver); }
};

class Backend {
  public:
    virtual ~Backend() = default;
    // Every present device of the class, in a stable enumeration order.
    virtual std::vector<DeviceInfo> PresentDevices(SetupClass setupClass) const = 0;
};

// Reads the catalogue file at every query; a missing file means no devices.
std::unique_ptr<Backend> Catalog(std::filesystem::path file);

// Scans <root>/bus/usb/devices for the ZR-40's interfaces (VID 1d7a, PID 3c52). Only the
// device's functions are reported. `osRelease` gives the driver version of a driver whose
// module carries none.
std::unique_ptr<Backend> Sysfs(std::filesystem::path root = "/sys",
                               std::filesystem::path osRelease = "/proc/sys/kernel/osrelease");

// The catalogue when ZR40_DEVICE_CATALOG is set and not empty, otherwise sysfs. The variable is
// looked at on every call.
std::unique_ptr<Backend> SystemBackend();

std::vector<DeviceInfo> PresentDevices(SetupClass setupClass);

// Devices of the class whose hardware id contains `idPart` (case-sensitive), in enumeration order.
std::vector<DeviceInfo> FindDevices(const Backend& backend, SetupClass setupClass,
                                    std::string_view idPart);
std::vector<DeviceInfo> FindDevices(SetupClass setupClass, std::string_view idPart);

}  // namespace platform::devices

// The Mobile Broadband and dial-up queries the update tool makes about the device.
//
// Interfaces are named by id; the device's own interface has the id of its network adapter's
// NetCfgInstanceId (see platform/devices).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::mobile {

// Registration states as the Mobile Broadband service numbers them.
inline constexpr int kRegisterUnknown = 0;
inline constexpr int kRegisterDeregistered = 1;
inline constexpr int kRegisterSearching = 2;
inline constexpr int kRegisterHome = 3;
inline constexpr int kRegisterRoaming = 4;
inline constexpr int kRegisterPartner = 5;

inline constexpr int kConnectionActivated = 1;
inline constexpr int kConnectionDeactivated = 3;

struct DeviceCaps {
    std::string firmware;
    std::string deviceId;
};

struct DialUpEntry {
    std::string entryName;
    std::string deviceName;
};

class MobileBroadband {
  public:
    virtual ~MobileBroadband() = default;

    // Ids of the interfaces present, in the service's order.
    virtual std::vector<std::string> InterfaceIds() = 0;
    // None when the interface is unknown or the service has no state for it.
    [[nodiscard]] virtual std::optional<int> RegisterState(std::string_view id) = 0;
    [[nodiscard]] virtual std::optional<mobile::DeviceCaps> DeviceCaps(std::string_view id) = 0;
    [[nodiscard]] virtual std::optional<int> ConnectionState(std::string_view id) = 0;
    // Dial-up connections that are up now, in the system's order.
    virtual std::vector<DialUpEntry> ActiveDialUps() = 0;
};

// Answers from the device catalogue (records Mbn and DialUp), read again for every query.
std::unique_ptr<MobileBroadband> Catalog(std::filesystem::path file);

// A system without a Mobile Broadband service and without dial-up connections.
std::unique_ptr<MobileBroadband> NoService();

// ModemManager on the system bus. Without the bus or the service there are no interfaces;
// no query waits longer than a bounded D-Bus call.
std::unique_ptr<MobileBroadband> ModemManager();

// ModemManager's uids (the modem's `Device`, the USB device's sysfs folder) of the device's
// modems that it manages now; none without the bus or the service.
std::vector<std::string> ModemManagerDeviceUids();

// The catalogue when ZR40_DEVICE_CATALOG is set and not empty, otherwise ModemManager().
std::unique_ptr<MobileBroadband> Create();

}  // namespace platform::mobile

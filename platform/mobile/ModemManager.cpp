// The Mobile Broadband queries answered by ModemManager on the system bus.
//
// A modem is the device's when the USB device its `Device` property names has the device's
// vendor and product; its interface id is its network port's name, which is what device
// discovery reports as the adapter's NetCfgInstanceId. Every query asks the service anew over a
// connection of its own, so the object holds no state that threads would share.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/devices/BoundedRead.h"
#include "platform/devices/Devices.h"
#include "platform/mobile/Mobile.h"
#include "platform/paths/Paths.h"
#include "platform/system/Bus.h"

namespace platform::mobile {

namespace {

using system::BusPtr;
using system::MessagePtr;

constexpr char kService[] = "org.freedesktop.ModemManager1";
constexpr char kRoot[] = "/org/freedesktop/ModemManager1";
constexpr char kModem[] = "org.freedesktop.ModemManager1.Modem";
constexpr char kModem3gpp[] = "org.freedesktop.ModemManager1.Modem.Modem3gpp";
constexpr char kBearer[] = "org.freedesktop.ModemManager1.Bearer";

constexpr std::uint32_t kPortTypeNet = 2;

struct Modem {
    std::string device;
    std::string revision;
    std::string equipmentId;
    std::string netPort;
    std::vector<std::string> bearers;
    std::optional<std::uint32_t> registration;
};

// The service's registration states, as 3GPP numbers them.
int RegisterStateOf(std::uint32_t state) {
    switch (state) {
        case 1:  // home
        case 6:  // home, SMS only
        case 9:  // home, CSFB not preferred
            return kRegisterHome;
        case 5:   // roaming
        case 7:   // roaming, SMS only
        case 10:  // roaming, CSFB not preferred
            return kRegisterRoaming;
        case 2:
            return kRegisterSearching;
        case 0:   // idle: not registered, not searching
        case 3:   // denied
        case 8:   // emergency calls only
        case 11:  // restricted local services only
            return kRegisterDeregistered;
        default:
            return kRegisterUnknown;
    }
}

// The part after `key` in the hardware id ("VID_" → "1D7A").
std::string_view IdPart(std::string_view hardwareId, std::string_view key) {
    const auto at = hardwareId.find(key);
    return at == std::string_view::npos ? std::string_view()
                                        : hardwareId.substr(at + key.size(), 4);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

bool AttributeIs(const std::filesystem::path& file, std::string_view want) {
    auto content = devices::detail::ReadRegularFile(file, 64);
    if (!content) {
        return false;
    }
    std::string_view text = content->text;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return !want.empty() && EqualsNoCase(text, want);
}

// `Device` is the sysfs folder of the USB device, which a test root relocates.
bool IsOurDevice(const std::string& device) {
    if (device.empty() || device.front() != '/') {
        return false;
    }
    const std::filesystem::path dir = paths::Relocate(device);
    return AttributeIs(dir / "idVendor", IdPart(devices::kNetHardwareId, "VID_")) &&
           AttributeIs(dir / "idProduct", IdPart(devices::kNetHardwareId, "PID_"));
}

// Reads a property value of the expected signature; any other is skipped.
bool ReadVariant(sd_bus_message* m, const char* signature, auto&& read) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) < 0 || type != 'v') {
        return false;
    }
    if (contents == nullptr || std::string_view(contents) != signature) {
        return sd_bus_message_skip(m, "v") >= 0;
    }
    return sd_bus_message_enter_container(m, 'v', signature) >= 0 && read() &&
           sd_bus_message_exit_container(m) >= 0;
}

bool ReadString(sd_bus_message* m, std::string& out) {
    return ReadVariant(m, "s", [&] {
        const char* text = nullptr;
        if (sd_bus_message_read(m, "s", &text) < 0) {
            return false;
        }
        out = text;
        return true;
    });
}

bool ReadModemProperty(sd_bus_message* m, std::string_view name, Modem& modem) {
    if (name == "Device") {
        return ReadString(m, modem.device);
    }
    if (name == "Revision") {
        return ReadString(m, modem.revision);
    }
    if (name == "EquipmentIdentifier") {
        return ReadString(m, modem.equipmentId);
    }
    if (name == "Ports") {
        return ReadVariant(m, "a(su)", [&] {
            if (sd_bus_message_enter_container(m, 'a', "(su)") < 0) {
                return false;
            }
            const char* port = nullptr;
            std::uint32_t type = 0;
            int rc = 0;
            while ((rc = sd_bus_message_read(m, "(su)", &port, &type)) > 0) {
                if (type == kPortTypeNet && modem.netPort.empty()) {
                    modem.netPort = port;
                }
            }
            return rc == 0 && sd_bus_message_exit_container(m) >= 0;
        });
    }
    if (name == "Bearers") {
        return ReadVariant(m, "ao", [&] {
            char** paths = nullptr;
            if (sd_bus_message_read_strv(m, &paths) < 0) {
                return false;
            }
            for (char** p = paths; p != nullptr && *p != nullptr; ++p) {
                modem.bearers.emplace_back(*p);
                free(*p);
            }
            free(paths);
            return true;
        });
    }
    return sd_bus_message_skip(m, "v") >= 0;
}

bool Read3gppProperty(sd_bus_message* m, std::string_view name, Modem& modem) {
    if (name == "RegistrationState") {
        return ReadVariant(m, "u", [&] {
            std::uint32_t state = 0;
            if (sd_bus_message_read(m, "u", &state) < 0) {
                return false;
            }
            modem.registration = state;
            return true;
        });
    }
    return sd_bus_message_skip(m, "v") >= 0;
}

// a{sv} of one interface.
template <class ReadProperty>
bool ReadProperties(sd_bus_message* m, Modem& modem, ReadProperty readProperty) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        return false;
    }
    int rc = 0;
    while ((rc = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0 || !readProperty(m, name, modem) ||
            sd_bus_message_exit_container(m) < 0) {
            return false;
        }
    }
    return rc == 0 && sd_bus_message_exit_container(m) >= 0;
}

// One object's a{sa{sv}}; false when the reply is malformed.
bool ReadObject(sd_bus_message* m, Modem& modem, bool& isModem) {
    if (sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0) {
        return false;
    }
    int rc = 0;
    while ((rc = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
        const char* interface = nullptr;
        if (sd_bus_message_read(m, "s", &interface) < 0) {
            return false;
        }
        const std::string_view name = interface;
        bool ok = false;
        if (name == kModem) {
            isModem = true;
            ok = ReadProperties(m, modem, ReadModemProperty);
        } else if (name == kModem3gpp) {
            ok = ReadProperties(m, modem, Read3gppProperty);
        } else {
            ok = sd_bus_message_skip(m, "a{sv}") >= 0;
        }
        if (!ok || sd_bus_message_exit_container(m) < 0) {
            return false;
        }
    }
    return rc == 0 && sd_bus_message_exit_container(m) >= 0;
}

class ModemManagerService final : public MobileBroadband {
  public:
    std::vector<std::string> InterfaceIds() override {
        std::vector<std::string> ids;
        for (auto& modem : OurModems(nullptr)) {
            ids.push_back(std::move(modem.netPort));
        }
        return ids;
    }

    std::optional<int> RegisterState(std::string_view id) override {
        const auto modem = Find(id, nullptr);
        if (!modem || !modem->registration) {
            return std::nullopt;
        }
        return RegisterStateOf(*modem->registration);
    }

    std::optional<mobile::DeviceCaps> DeviceCaps(std::string_view id) override {
        const auto modem = Find(id, nullptr);
        if (!modem) {
            return std::nullopt;
        }
        return mobile::DeviceCaps{modem->revision, modem->equipmentId};
    }

    std::optional<int> ConnectionState(std::string_view id) override {
        BusPtr bus;
        const auto modem = Find(id, &bus);
        if (!modem) {
            return std::nullopt;
        }
        for (const auto& bearer : modem->bearers) {
            int connected = 0;
            sd_bus_error error{};
            const int rc = sd_bus_get_property_trivial(bus.get(), kService, bearer.c_str(), kBearer,
                                                       "Connected", &error, 'b', &connected);
            sd_bus_error_free(&error);
            if (rc >= 0 && connected != 0) {
                return kConnectionActivated;
            }
        }
        return kConnectionDeactivated;
    }

    // A dial-up connection is a phone-book entry of the other platform; Linux has none, and a
    // PPP session over the device runs as one of ModemManager's bearers, which ConnectionState
    // reports.
    std::vector<DialUpEntry> ActiveDialUps() override { return {}; }

  private:
    // The device's modems (with a network port unless `anyPort`), in the service's order.
    // `keep` receives the connection for further calls.
    static std::vector<Modem> OurModems(BusPtr* keep, bool anyPort = false) {
        BusPtr bus = system::OpenSystemBus();
        if (!bus) {
            system::SayOnce("mobile-bus", "no system bus: no Mobile Broadband interface");
            return {};
        }
        sd_bus_message* rawCall = nullptr;
        if (sd_bus_message_new_method_call(bus.get(), &rawCall, kService, kRoot,
                                           "org.freedesktop.DBus.ObjectManager",
                                           "GetManagedObjects") < 0) {
            return {};
        }
        MessagePtr call(rawCall);
        // Asking must not start a service that is not running.
        sd_bus_message_set_auto_start(call.get(), 0);
        sd_bus_error error{};
        sd_bus_message* rawReply = nullptr;
        const int rc =
            sd_bus_call(bus.get(), call.get(), system::kBusCallTimeoutUs, &error, &rawReply);
        MessagePtr reply(rawReply);
        if (rc < 0) {
            system::SayOnce("mobile-mm", std::string("ModemManager does not answer (") +
                                             (error.message != nullptr ? error.message : "") +
                                             "): no Mobile Broadband interface");
            sd_bus_error_free(&error);
            return {};
        }
        sd_bus_error_free(&error);

        std::vector<Modem> modems;
        sd_bus_message* m = reply.get();
        if (sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0) {
            return {};
        }
        int entry = 0;
        while ((entry = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
            const char* path = nullptr;
            Modem modem;
            bool isModem = false;
            if (sd_bus_message_read(m, "o", &path) < 0 || !ReadObject(m, modem, isModem) ||
                sd_bus_message_exit_container(m) < 0) {
                return {};
            }
            if (isModem && (anyPort || !modem.netPort.empty()) && IsOurDevice(modem.device)) {
                modems.push_back(std::move(modem));
            }
        }
        if (entry < 0) {
            return {};
        }
        if (keep != nullptr) {
            *keep = std::move(bus);
        }
        return modems;
    }

  public:
    static std::vector<std::string> DeviceUids() {
        std::vector<std::string> uids;
        for (auto& modem : OurModems(nullptr, true)) {
            uids.push_back(std::move(modem.device));
        }
        return uids;
    }

  private:
    static std::optional<Modem> Find(std::string_view id, BusPtr* keep) {
        for (auto& modem : OurModems(keep)) {
            if (modem.netPort == id) {
                return std::move(modem);
            }
        }
        return std::nullopt;
    }
};

}  // namespace

std::unique_ptr<MobileBroadband> ModemManager() {
    return std::make_unique<ModemManagerService>();
}

std::vector<std::string> ModemManagerDeviceUids() {
    return ModemManagerService::DeviceUids();
}

}  // namespace platform::mobile

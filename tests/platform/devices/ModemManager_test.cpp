#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devices/Catalog.h"
#include "platform/mobile/Mobile.h"
#include "tests/platform/devices/TempTree.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

namespace mob = platform::mobile;
using testsupport::BusService;
using testsupport::PrivateBus;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testtree::WriteFile;

namespace {

constexpr std::uint32_t kPortAt = 3;
constexpr std::uint32_t kPortNet = 2;

// One modem object of the service; the test changes its state while the service runs.
struct FakeModem {
    std::mutex* mutex;
    std::string device;
    std::string revision;
    std::string equipmentId;
    std::vector<std::pair<std::string, std::uint32_t>> ports;
    std::string bearer;
    std::uint32_t registration = 0;
    bool connected = false;
};

// Every property of the three interfaces, by name.
int GetProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                void* userdata, sd_bus_error*) {
    auto& m = *static_cast<FakeModem*>(userdata);
    std::lock_guard lock(*m.mutex);
    const std::string name = property;
    if (name == "Ports") {
        int rc = sd_bus_message_open_container(reply, 'a', "(su)");
        for (const auto& [port, type] : m.ports) {
            rc = rc < 0 ? rc : sd_bus_message_append(reply, "(su)", port.c_str(), type);
        }
        return rc < 0 ? rc : sd_bus_message_close_container(reply);
    }
    if (name == "Bearers") {
        return m.bearer.empty() ? sd_bus_message_append(reply, "ao", 0)
                                : sd_bus_message_append(reply, "ao", 1, m.bearer.c_str());
    }
    if (name == "RegistrationState") {
        return sd_bus_message_append(reply, "u", m.registration);
    }
    if (name == "Connected") {
        return sd_bus_message_append(reply, "b", static_cast<int>(m.connected));
    }
    const std::string& text = name == "Device"     ? m.device
                              : name == "Revision" ? m.revision
                                                   : m.equipmentId;
    return sd_bus_message_append(reply, "s", text.c_str());
}

const sd_bus_vtable kModemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Device", "s", GetProperty, 0, 0),
    SD_BUS_PROPERTY("Revision", "s", GetProperty, 0, 0),
    SD_BUS_PROPERTY("EquipmentIdentifier", "s", GetProperty, 0, 0),
    SD_BUS_PROPERTY("Ports", "a(su)", GetProperty, 0, 0),
    SD_BUS_PROPERTY("Bearers", "ao", GetProperty, 0, 0),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable k3gppVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("OperatorCode", "s", GetProperty, 0, 0),
    SD_BUS_PROPERTY("RegistrationState", "u", GetProperty, 0, 0),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable kBearerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Connected", "b", GetProperty, 0, 0),
    SD_BUS_VTABLE_END,
};

constexpr char kRoot[] = "/org/freedesktop/ModemManager1";
constexpr char kUsbDevice[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr char kOtherUsbDevice[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";

// ModemManager with the ZR-40 and another maker's modem, over a sysfs tree under a test root.
class ModemManagerBackend : public ::testing::Test {
  protected:
    ModemManagerBackend() {
        WriteFile(root_.Path() / (std::string(kUsbDevice).substr(1) + "/idVendor"), "1d7a\n");
        WriteFile(root_.Path() / (std::string(kUsbDevice).substr(1) + "/idProduct"), "3C52\n");
        WriteFile(root_.Path() / (std::string(kOtherUsbDevice).substr(1) + "/idVendor"), "1199\n");
        WriteFile(root_.Path() / (std::string(kOtherUsbDevice).substr(1) + "/idProduct"), "9071\n");
    }

    void Serve() {
        ours_ = {&mutex_,
                 kUsbDevice,
                 "Ver1.01",
                 "356789012345678",
                 {{"ttyACM0", kPortAt}, {"wwan0", kPortNet}, {"ttyACM1", kPortAt}},
                 std::string(kRoot) + "/Bearer/0",
                 1,
                 false};
        other_ = {&mutex_, kOtherUsbDevice, "SWI9X30C", "123", {{"wwan1", kPortNet}}, "", 1, true};
        service_ = std::make_unique<BusService>(bus_.Address(), [this](sd_bus* b) {
            sd_bus_add_object_manager(b, nullptr, kRoot);
            const std::string modem = std::string(kRoot) + "/Modem/";
            for (auto [path, fake] : {std::pair{modem + "0", &other_}, {modem + "1", &ours_}}) {
                sd_bus_add_object_vtable(b, nullptr, path.c_str(),
                                         "org.freedesktop.ModemManager1.Modem", kModemVtable, fake);
                sd_bus_add_object_vtable(b, nullptr, path.c_str(),
                                         "org.freedesktop.ModemManager1.Modem.Modem3gpp",
                                         k3gppVtable, fake);
            }
            sd_bus_add_object_vtable(b, nullptr, ours_.bearer.c_str(),
                                     "org.freedesktop.ModemManager1.Bearer", kBearerVtable, &ours_);
            sd_bus_request_name(b, "org.freedesktop.ModemManager1", 0);
        });
        ASSERT_TRUE(service_->Ok());
    }

    void Set(std::uint32_t registration, bool connected) {
        std::lock_guard lock(mutex_);
        ours_.registration = registration;
        ours_.connected = connected;
    }

    TempDir root_;
    ScopedEnv rootVar_{"ZR40_ROOT", root_.Path().c_str()};
    PrivateBus bus_;
    ScopedEnv systemBus_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().c_str()};
    ScopedEnv noCatalog_{platform::devices::kCatalogVariable, nullptr};
    std::mutex mutex_;
    FakeModem ours_{};
    FakeModem other_{};
    std::unique_ptr<BusService> service_;
};

}  // namespace

TEST_F(ModemManagerBackend, TheDevicesModemIsItsNetworkPortWithItsStatesAndCaps) {
    ASSERT_FALSE(bus_.Address().empty());
    Serve();
    const auto mbn = mob::Create();

    // Only the modem on the device's USB ids counts; its id is its network port.
    EXPECT_EQ(mbn->InterfaceIds(), std::vector<std::string>{"wwan0"});
    EXPECT_EQ(mbn->RegisterState("wwan1"), std::nullopt);
    EXPECT_EQ(mbn->ConnectionState("wwan1"), std::nullopt);
    EXPECT_EQ(mbn->DeviceCaps("ttyACM0"), std::nullopt);

    const auto caps = mbn->DeviceCaps("wwan0");
    ASSERT_TRUE(caps.has_value());
    EXPECT_EQ(caps->firmware, "Ver1.01");
    EXPECT_EQ(caps->deviceId, "356789012345678");
    EXPECT_TRUE(mbn->ActiveDialUps().empty());

    const std::pair<std::uint32_t, int> states[] = {
        {1, mob::kRegisterHome},         {6, mob::kRegisterHome},
        {5, mob::kRegisterRoaming},      {10, mob::kRegisterRoaming},
        {2, mob::kRegisterSearching},    {0, mob::kRegisterDeregistered},
        {3, mob::kRegisterDeregistered}, {4, mob::kRegisterUnknown},
    };
    for (const auto& [state, expected] : states) {
        Set(state, false);
        EXPECT_EQ(mbn->RegisterState("wwan0"), expected) << state;
        EXPECT_NE(mbn->ConnectionState("wwan0"), mob::kConnectionActivated);
    }
    Set(1, true);
    EXPECT_EQ(mbn->ConnectionState("wwan0"), mob::kConnectionActivated);
}

TEST_F(ModemManagerBackend, WithoutTheServiceOrTheBusThereIsNoInterface) {
    ASSERT_FALSE(bus_.Address().empty());
    const auto check = [](mob::MobileBroadband& mbn) {
        EXPECT_TRUE(mbn.InterfaceIds().empty());
        EXPECT_EQ(mbn.RegisterState("wwan0"), std::nullopt);
        EXPECT_EQ(mbn.DeviceCaps("wwan0"), std::nullopt);
        EXPECT_EQ(mbn.ConnectionState("wwan0"), std::nullopt);
        EXPECT_TRUE(mbn.ActiveDialUps().empty());
    };
    check(*mob::ModemManager());

    const std::string nowhere = "unix:path=" + (root_.Path() / "no-bus").string();
    ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str());
    check(*mob::ModemManager());
}

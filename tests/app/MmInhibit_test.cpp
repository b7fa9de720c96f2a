// ModemManager asked to leave the device alone, against a fake ModemManager on a private bus.
#include "Loader/app/MmInhibit.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::pair<std::string, bool>>;

constexpr char kRoot[] = "/org/freedesktop/ModemManager1";
constexpr char kOurs[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr char kOtherMakers[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";

struct FakeModemManager {
    std::mutex mutex;
    std::condition_variable changed;
    Calls calls;
};

int InhibitDevice(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto& fake = *static_cast<FakeModemManager*>(userdata);
    const char* uid = nullptr;
    int inhibit = 0;
    if (const int rc = sd_bus_message_read(m, "sb", &uid, &inhibit); rc < 0) {
        return rc;
    }
    {
        std::lock_guard lock(fake.mutex);
        fake.calls.emplace_back(uid, inhibit != 0);
    }
    fake.changed.notify_all();
    return sd_bus_reply_method_return(m, "");
}

int GetDevice(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* userdata,
              sd_bus_error*) {
    return sd_bus_message_append(reply, "s", static_cast<const char*>(userdata));
}

const sd_bus_vtable kManagerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("InhibitDevice", "sb", "", InhibitDevice, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable kModemVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Device", "s", GetDevice, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

class MmInhibit : public ::testing::Test {
  protected:
    MmInhibit() {
        for (const auto& [device, vendor, product] :
             {std::tuple{kOurs, "1d7a", "3c52"}, std::tuple{kOtherMakers, "1199", "9071"}}) {
            const fs::path dir = root_.Path() / (device + 1);
            fs::create_directories(dir);
            std::ofstream(dir / "idVendor") << vendor << "\n";
            std::ofstream(dir / "idProduct") << product << "\n";
        }
    }

    void Serve() {
        service_ = std::make_unique<testsupport::BusService>(bus_.Address(), [this](sd_bus* b) {
            sd_bus_add_object_manager(b, nullptr, kRoot);
            sd_bus_add_object_vtable(b, nullptr, kRoot, "org.freedesktop.ModemManager1",
                                     kManagerVtable, &fake_);
            // The device's modem has only AT ports while it is not set up for data.
            int n = 0;
            for (const char* device : {kOtherMakers, kOurs}) {
                const std::string path = std::string(kRoot) + "/Modem/" + std::to_string(n++);
                sd_bus_add_object_vtable(b, nullptr, path.c_str(),
                                         "org.freedesktop.ModemManager1.Modem", kModemVtable,
                                         const_cast<char*>(device));
            }
            sd_bus_request_name(b, "org.freedesktop.ModemManager1", 0);
        });
        ASSERT_TRUE(service_->Ok());
    }

    Calls TakeCalls() {
        std::lock_guard lock(fake_.mutex);
        return std::exchange(fake_.calls, {});
    }

    testsupport::TempDir root_;
    testsupport::ScopedEnv rootVar_{"ZR40_ROOT", root_.Path().c_str()};
    testsupport::PrivateBus bus_;
    testsupport::ScopedEnv systemBus_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().c_str()};
    FakeModemManager fake_;
    std::unique_ptr<testsupport::BusService> service_;
};

TEST_F(MmInhibit, OnlyTheDevicesModemIsInhibitedAndReleasedOnceWhenTheObjectGoes) {
    Serve();
    {
        CMmInhibit inhibit;
        EXPECT_EQ(inhibit.Inhibited(), std::vector<std::string>{kOurs});
        EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}}));
    }
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, false}}));

    CMmInhibit early;
    early.Release();
    early.Release();
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}, {kOurs, false}}));
}

// ModemManager restarted while the tool works forgets the inhibition and would probe the ports
// at once: it is asked again as soon as its name has an owner again.
TEST_F(MmInhibit, ARestartedModemManagerIsAskedAgain) {
    Serve();
    CMmInhibit inhibit;
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}}));
    service_->Run([](sd_bus* b) {
        sd_bus_release_name(b, "org.freedesktop.ModemManager1");
        sd_bus_request_name(b, "org.freedesktop.ModemManager1", 0);
    });
    {
        std::unique_lock lock(fake_.mutex);
        EXPECT_TRUE(fake_.changed.wait_for(lock, std::chrono::seconds(30),
                                           [&] { return !fake_.calls.empty(); }));
    }
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}}));
    inhibit.Release();
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, false}}));
    EXPECT_EQ(inhibit.Renewals(), 1);
}

TEST_F(MmInhibit, WithoutModemManagerThereIsNothingToDo) {
    CMmInhibit found;
    EXPECT_TRUE(found.Inhibited().empty());
    CMmInhibit named({kOurs});
    EXPECT_TRUE(named.Inhibited().empty());
    testsupport::ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    CMmInhibit noSystemBus({kOurs});
    EXPECT_TRUE(noSystemBus.Inhibited().empty());
}

}  // namespace

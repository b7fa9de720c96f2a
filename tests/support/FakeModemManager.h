// ModemManager as far as the tool asks it to leave a device alone: InhibitDevice, and one modem
// object per device it manages, whose Device property is the device's sysfs path. Served on a
// testsupport::BusService:
//
//   testsupport::FakeModemManager mm({"/sys/devices/.../1-2"});
//   testsupport::BusService service(bus.Address(), [&](sd_bus* b) { mm.Serve(b); });
//   service.Run(testsupport::FakeModemManager::Restart);
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class FakeModemManager {
  public:
    using Calls = std::vector<std::pair<std::string, bool>>;

    explicit FakeModemManager(std::vector<std::string> devices) : devices_(std::move(devices)) {}
    FakeModemManager(const FakeModemManager&) = delete;
    FakeModemManager& operator=(const FakeModemManager&) = delete;

    // Called on the service's thread with each InhibitDevice as it comes; set before serving.
    std::function<void(const std::string& uid, bool inhibit)> onCall;

    // On the service's thread, before it serves.
    void Serve(sd_bus* bus) {
        sd_bus_add_object_manager(bus, nullptr, kRoot);
        sd_bus_add_object_vtable(bus, nullptr, kRoot, "org.freedesktop.ModemManager1", kManager,
                                 this);
        // A modem with only AT ports, as the device's is while it is not set up for data.
        int n = 0;
        for (std::string& device : devices_) {
            const std::string path = std::string(kRoot) + "/Modem/" + std::to_string(n++);
            sd_bus_add_object_vtable(bus, nullptr, path.c_str(),
                                     "org.freedesktop.ModemManager1.Modem", kModem, device.data());
        }
        sd_bus_request_name(bus, kName, 0);
    }

    // What a restart looks like on the bus: the name loses its owner and gets one again.
    static void Restart(sd_bus* bus) {
        sd_bus_release_name(bus, kName);
        sd_bus_request_name(bus, kName, 0);
    }

    Calls TakeCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(calls_, {});
    }

    // Until a call has come in; `guard` only bounds a broken test.
    bool WaitForCall(std::chrono::seconds guard) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, guard, [&] { return !calls_.empty(); });
    }

  private:
    static int InhibitDevice(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<FakeModemManager*>(userdata);
        const char* uid = nullptr;
        int inhibit = 0;
        if (const int rc = sd_bus_message_read(m, "sb", &uid, &inhibit); rc < 0) {
            return rc;
        }
        if (self.onCall) {
            self.onCall(uid, inhibit != 0);
        }
        {
            std::lock_guard lock(self.mutex_);
            self.calls_.emplace_back(uid, inhibit != 0);
        }
        self.changed_.notify_all();
        return sd_bus_reply_method_return(m, "");
    }

    static int Device(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                      void* userdata, sd_bus_error*) {
        return sd_bus_message_append(reply, "s", static_cast<const char*>(userdata));
    }

    static constexpr char kName[] = "org.freedesktop.ModemManager1";
    static constexpr char kRoot[] = "/org/freedesktop/ModemManager1";
    static inline const sd_bus_vtable kManager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("InhibitDevice", "sb", "", &FakeModemManager::InhibitDevice,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    static inline const sd_bus_vtable kModem[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Device", "s", &FakeModemManager::Device, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_VTABLE_END,
    };

    std::vector<std::string> devices_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Calls calls_;
};

}  // namespace testsupport

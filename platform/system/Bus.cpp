#include "platform/system/Bus.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace platform::system {

BusPtr OpenSystemBus() {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) {
        return nullptr;
    }
    BusPtr bus(raw);
    const char* address = secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        address = "unix:path=/run/dbus/system_bus_socket";
    }
    // The time-out is set before the start so that the greeting call is bounded as well.
    if (sd_bus_set_address(bus.get(), address) < 0 || sd_bus_set_bus_client(bus.get(), 1) < 0 ||
        sd_bus_set_method_call_timeout(bus.get(), kBusCallTimeoutUs) < 0 ||
        sd_bus_start(bus.get()) < 0) {
        return nullptr;
    }
    return bus;
}

void SayOnce(std::string_view topic, std::string_view text) {
    static std::mutex mutex;
    static std::set<std::string, std::less<>> said;
    {
        std::lock_guard lock(mutex);
        if (!said.emplace(topic).second) {
            return;
        }
    }
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace platform::system

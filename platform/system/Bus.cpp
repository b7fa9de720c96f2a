#include "platform/system/Bus.h"

#include <cstdio>
#include <mutex>
#include <set>
#include <string>

namespace platform::system {

BusPtr OpenSystemBus() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) {
        return nullptr;
    }
    BusPtr bus(raw);
    if (sd_bus_set_method_call_timeout(bus.get(), kBusCallTimeoutUs) < 0) {
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

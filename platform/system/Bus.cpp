#include "platform/system/Bus.h"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

namespace platform::system {

namespace {

// A value in a bus address keeps only these bytes as they are.
std::string EscapeAddress(const std::string& value) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '/' || c == '.' ||
                           c == '\\' || c == '*';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

}  // namespace

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

BusPtr OpenSessionBus() {
    std::string address;
    if (const char* set = secure_getenv("DBUS_SESSION_BUS_ADDRESS");
        set != nullptr && *set != '\0') {
        address = set;
    } else if (const char* runtime = secure_getenv("XDG_RUNTIME_DIR");
               runtime != nullptr && *runtime != '\0') {
        address = "unix:path=" + EscapeAddress(std::string(runtime) + "/bus");
    } else {
        return nullptr;
    }
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) {
        return nullptr;
    }
    BusPtr bus(raw);
    if (sd_bus_set_address(bus.get(), address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus.get(), 1) < 0 ||
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

int BusTimeoutMs(sd_bus* bus) {
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) {
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t nowUs =
        static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
    const std::uint64_t ms = until > nowUs ? (until - nowUs + 999) / 1000 : 0;
    return static_cast<int>(std::min<std::uint64_t>(ms, INT32_MAX));
}

}  // namespace platform::system

// Connections to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and to the user's session bus
// whose calls give up after a bounded time, so that a service that hangs cannot hang the programs.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace platform::system {

inline constexpr std::uint64_t kBusCallTimeoutUs = 3'000'000;

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// None when there is no system bus.
BusPtr OpenSystemBus();
// Milliseconds until the connection wants to be processed again for a time-out it keeps (an
// unanswered call); -1 when it keeps none.
int BusTimeoutMs(sd_bus* bus);

// The session bus of DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus; none when neither is
// set or the connection is refused. Started, not waited for: the greeting completes as the bus
// is processed, so a caller with a loop of its own never blocks here.
BusPtr OpenSessionBus();

// Says `text` on stderr once per `topic` in the life of the process.
void SayOnce(std::string_view topic, std::string_view text);

}  // namespace platform::system

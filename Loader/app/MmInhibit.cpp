#include "Loader/app/MmInhibit.h"

#include <utility>

#include "platform/mobile/Mobile.h"

namespace sys = platform::system;

namespace {

constexpr char kService[] = "org.freedesktop.ModemManager1";
constexpr char kPath[] = "/org/freedesktop/ModemManager1";
constexpr char kInterface[] = "org.freedesktop.ModemManager1";

bool CallInhibitDevice(sd_bus* bus, const std::string& uid, bool bInhibit) {
    sd_bus_message* rawCall = nullptr;
    if (sd_bus_message_new_method_call(bus, &rawCall, kService, kPath, kInterface,
                                       "InhibitDevice") < 0) {
        return false;
    }
    sys::MessagePtr call(rawCall);
    // A ModemManager that is not running has nothing to leave alone.
    sd_bus_message_set_auto_start(call.get(), 0);
    if (sd_bus_message_append(call.get(), "sb", uid.c_str(), static_cast<int>(bInhibit)) < 0) {
        return false;
    }
    sd_bus_error error{};
    sd_bus_message* rawReply = nullptr;
    const int rc = sd_bus_call(bus, call.get(), sys::kBusCallTimeoutUs, &error, &rawReply);
    sys::MessagePtr reply(rawReply);
    if (rc < 0) {
        sys::SayOnce("mm-inhibit", std::string("ModemManager does not leave the device alone (") +
                                       (error.message != nullptr ? error.message : "") + ")");
    }
    sd_bus_error_free(&error);
    return rc >= 0;
}

}  // namespace

CMmInhibit::CMmInhibit() {
    Inhibit(platform::mobile::ModemManagerDeviceUids());
}

CMmInhibit::CMmInhibit(std::vector<std::string> uids) {
    Inhibit(std::move(uids));
}

CMmInhibit::~CMmInhibit() {
    Release();
}

void CMmInhibit::Inhibit(std::vector<std::string> uids) {
    if (uids.empty()) {
        sys::SayOnce("mm-inhibit-none",
                     "ModemManager does not manage the device: nothing to inhibit");
        return;
    }
    m_bus = sys::OpenSystemBus();
    if (!m_bus) {
        sys::SayOnce("mm-inhibit-bus", "no system bus: ModemManager is not asked to inhibit");
        return;
    }
    for (auto& uid : uids) {
        if (CallInhibitDevice(m_bus.get(), uid, true)) {
            m_uids.push_back(std::move(uid));
        }
    }
    if (m_uids.empty()) {
        m_bus.reset();
    }
}

void CMmInhibit::Release() {
    if (!m_bus) {
        return;
    }
    for (const auto& uid : m_uids) {
        // A failure here is healed by closing the connection just after.
        (void)CallInhibitDevice(m_bus.get(), uid, false);
    }
    m_uids.clear();
    m_bus.reset();
}

// The readers of the modem port's AT answers: the firmware version ("AT+GMR"), the serial number
// ("AT+CGSN", echoed or not) and the service area ("AT@FCMINFO=1"). The first byte picks the
// reader, the rest is the answer as gathered.
//
// A reader's find comes from where its rule says; once the answer holds a whole value, more
// bytes never change it; and a value put into the simulator's answer is read back unchanged,
// echo on or off, within what the tool gathers of that answer.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Loader/device/AtChannel.h"
#include "sim/devsim/AtModem.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// The simulated modem's answer to one command, cut to what the tool reads of it.
std::string SimulatorAnswer(const sim::devsim::ModemInfo& info, bool echo, std::string_view command,
                            std::size_t capacity) {
    sim::devsim::AtChannel channel(info, echo);
    std::string out;
    channel.Feed(std::span(reinterpret_cast<const std::uint8_t*>(command.data()), command.size()),
                 out);
    return out.substr(0, capacity);
}

void Version(const std::string& answer) {
    const std::optional<std::string> version = AtVersionIn(answer);
    const auto at = answer.find("Ver");
    if (!version) {
        Check(at == std::string::npos);
        return;
    }
    Check(at != std::string::npos && answer.compare(at, version->size(), *version) == 0);
    Check(version->size() <= 7 && AtVersionIn(*version) == version);
    if (version->size() < 7) {
        return;
    }
    Check(AtVersionIn(answer + answer) == version);
    for (bool echo : {false, true}) {
        sim::devsim::ModemInfo info;
        info.version = *version;
        Check(AtVersionIn(SimulatorAnswer(info, echo, "AT+GMR\r\n", kAtVersionCapacity)) ==
              version);
    }
}

void Serial(const std::string& answer) {
    const std::optional<std::string> serial = AtSerialIn(answer);
    const bool echoed = !answer.empty() && answer[0] == 'A';
    if (!serial) {
        Check(answer.empty() || (echoed ? answer.size() < 26 : answer.size() <= 2));
        return;
    }
    Check(*serial == answer.substr(echoed ? 10 : 2, 15));
    if (serial->size() < 15) {
        return;
    }
    Check(AtSerialIn(answer + answer) == serial);
    for (bool echo : {false, true}) {
        sim::devsim::ModemInfo info;
        info.serial = *serial;
        Check(AtSerialIn(SimulatorAnswer(info, echo, "AT+CGSN\r\n", kAtSerialCapacity)) == serial);
    }
}

void Area(const std::string& answer) {
    const AtArea area = AtAreaIn(answer);
    if (area == AtArea::kUndecided) {
        return;
    }
    Check(AtAreaIn(answer + answer) == area);
    sim::devsim::ModemInfo info;
    info.area = area == AtArea::kHome      ? sim::devsim::Area::Home
                : area == AtArea::kRoaming ? sim::devsim::Area::Roaming
                                           : sim::devsim::Area::None;
    for (bool echo : {false, true}) {
        Check(AtAreaIn(SimulatorAnswer(info, echo, "AT@FCMINFO=1\r\n", kAtAreaCapacity)) == area);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            Version(answer);
            break;
        case 1:
            Serial(answer);
            break;
        default:
            Area(answer);
            break;
    }
    return 0;
}

#include "ZR40UpReg/VersionCheck.h"

#include <cstdint>

#include "platform/devices/Devices.h"
#include "platform/serial/SerialPort.h"

namespace net = platform::net;
namespace serial = platform::serial;

namespace {

bool ValueAfter(std::string_view body, std::string_view marker, std::size_t length,
                std::string& value) {
    const std::size_t at = body.find(marker);
    if (at == std::string_view::npos || body.size() - (at + marker.size()) < length) {
        return false;
    }
    value.assign(body.substr(at + marker.size(), length));
    return true;
}

constexpr std::uint8_t kVersionRequest[10] = {0xFF, 0xFD, 0xEF, 0xFD, 0xEE,
                                              0x6F, 0x00, 0x01, 0x40, 0xFE};
constexpr std::size_t kDateCodeOffset = 9;
constexpr std::size_t kDateCodeChars = 6;
constexpr int kSilentReads = 20;
constexpr std::uint32_t kReadIntervalMs = 10;

}  // namespace

bool ParseVersionPage(std::string_view body, VersionPage& page) {
    body = body.substr(0, kVersionPageMax);
    VersionPage found;
    if (!ValueAfter(body, "VerDate=", 6, found.strDateCode) ||
        !ValueAfter(body, "VerName=", 7, found.strName)) {
        page = {};
        return false;
    }
    page = std::move(found);
    return true;
}

VersionFetch FetchVersionPage(const net::UpdateServer& server, const net::Canceller* pCanceller) {
    net::Request request;
    request.url = server.Url(net::kVersionPagePath);
    request.basicAuth = net::Credentials{net::kVersionPageUser, net::kVersionPagePassword};
    std::string body;
    const net::Result result = net::Perform(
        request,
        [&body](std::string_view chunk) {
            // What does not fit is dropped, not refused: the values sit near the top.
            body.append(chunk.substr(0, kVersionPageMax - body.size()));
            return true;
        },
        pCanceller);
    VersionFetch fetch;
    fetch.status = result.Ok() ? result.status : 0;
    fetch.parsed = fetch.status == 200 && ParseVersionPage(body, fetch.page);
    return fetch;
}

long DateCodeNumber(std::string_view dateCode) {
    long value = 0;
    for (const char c : dateCode) {
        if (c < '0' || c > '9' || value > 99'999'999) {
            break;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string DateCodeInAnswer(std::span<const std::uint8_t> answer) {
    if (answer.size() < kVersionAnswerBytes) {
        return {};
    }
    std::string code;
    for (std::size_t i = 0; i < kDateCodeChars; ++i) {
        const std::uint8_t b = answer[kDateCodeOffset + i];
        code += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : ' ';
    }
    return code;
}

std::string ReadDeviceDateCode(const std::string& strPort, platform::kernel::Clock& clock) {
    serial::SerialPort port;
    if (port.Open(strPort) || port.SetQueueSizes(4096, 4096) ||
        port.SetSettings(serial::LineSettings{}) || port.SetTimeouts(serial::Timeouts{})) {
        return {};
    }
    std::uint8_t answer[kVersionAnswerBytes] = {};
    std::size_t got = 0;
    platform::kernel::Sleep(0);
    if (port.Write(kVersionRequest, sizeof kVersionRequest).error) {
        got = 0;
    } else {
        int silent = 0;
        while (got < kVersionAnswerBytes && silent < kSilentReads) {
            clock.SleepMs(kReadIntervalMs);
            const serial::IoResult r = port.Read(answer + got, kVersionAnswerBytes - got);
            if (r.error) {
                break;
            }
            silent = r.bytes == 0 ? silent + 1 : 0;
            got += r.bytes;
        }
    }
    static_cast<void>(port.Purge(true, true));
    port.Close();
    return DateCodeInAnswer(std::span<const std::uint8_t>(answer, got));
}

std::vector<std::string> SystemUpdatePorts() {
    std::vector<std::string> ports;
    for (const auto& device : platform::devices::FindDevices(
             platform::devices::SetupClass::Ports, platform::devices::kUpdateHardwareId)) {
        if (auto name = device.PortName()) {
            ports.push_back(*name);
        }
    }
    return ports;
}

std::vector<std::string> DeviceAccess::UpdatePorts() const {
    return updatePorts ? updatePorts() : SystemUpdatePorts();
}

bool DeviceAccess::IsDeviceOlder(std::string_view serverDateCode) const {
    const long server = DateCodeNumber(serverDateCode);
    platform::kernel::Clock& waits = clock != nullptr ? *clock : platform::kernel::SystemClock();
    for (const std::string& port : UpdatePorts()) {
        if (DateCodeNumber(ReadDeviceDateCode(port, waits)) < server) {
            return true;
        }
    }
    return false;
}

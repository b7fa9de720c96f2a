// The newest firmware the server offers (its version page) and the firmware of a connected
// device (its date code on the update port), and how the two compare.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/Clock.h"
#include "platform/net/Http.h"
#include "platform/net/UpdateServer.h"

// At most this much of the page is looked at.
inline constexpr std::size_t kVersionPageMax = 20479;

struct VersionPage {
    std::string strDateCode;  // 6 characters
    std::string strName;      // 7 characters
};

// "VerDate=" and the 6 characters after it, "VerName=" and the 7 after it, anywhere and in any
// order. False when a marker is missing or fewer characters follow it than the value needs.
bool ParseVersionPage(std::string_view body, VersionPage& page);

struct VersionFetch {
    long status = 0;  // 0: no answer
    bool parsed = false;
    VersionPage page;
};

VersionFetch FetchVersionPage(const platform::net::UpdateServer& server,
                              const platform::net::Canceller* pCanceller);

// The leading decimal digits; 0 without any.
long DateCodeNumber(std::string_view dateCode);

// The device's answer to the version request on its update port.
inline constexpr std::size_t kVersionAnswerBytes = 18;

// The date code in that answer: its 6 bytes from offset 9, unprintable ones as spaces; empty
// when fewer than kVersionAnswerBytes bytes came.
std::string DateCodeInAnswer(std::span<const std::uint8_t> answer);

// The date code the device reports on its update port: 6 characters, unprintable bytes as
// spaces; empty when the port does not open or the answer does not come whole. Every read
// is 10 ms after the last; the device gets 20 reads in a row (about 200 ms) to send another
// byte before it counts as silent, also in the middle of its answer.
std::string ReadDeviceDateCode(const std::string& strPort, platform::kernel::Clock& clock);

// What the version job needs of the devices; tests give their own.
struct DeviceAccess {
    // Port names of the present device update ports, in enumeration order.
    std::function<std::vector<std::string>()> updatePorts;  // empty: SystemUpdatePorts
    platform::kernel::Clock* clock = nullptr;               // null: the system clock

    std::vector<std::string> UpdatePorts() const;
    bool IsDevicePresent() const { return !UpdatePorts().empty(); }
    // A port that does not answer counts as date code 0; the first older device decides.
    bool IsDeviceOlder(std::string_view serverDateCode) const;
};

// Every present Ports device whose hardware id holds the update port's id.
std::vector<std::string> SystemUpdatePorts();

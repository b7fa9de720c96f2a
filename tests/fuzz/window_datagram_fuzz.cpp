// The datagrams other processes post to a window, decoded from arbitrary bytes.
//
// Only a datagram that is one encoded message is taken: what is taken encodes back to the very
// bytes received, and the same bytes one short or one long are refused. Every message survives
// encoding and decoding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "platform/window/Window.h"

namespace window = platform::window;

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

template <typename T>
T Read(const std::uint8_t* data) {
    T value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> datagram(data, data + size);
    const std::optional<window::Message> taken = window::DecodeDatagram(datagram);
    if (taken) {
        const auto back = window::EncodeDatagram(*taken);
        Check(size == back.size() && std::ranges::equal(back, datagram) && taken->port.empty());
        Check(!window::DecodeDatagram(std::span(datagram).first(size - 1)));
        std::vector<std::uint8_t> longer = datagram;
        longer.push_back(0);
        Check(!window::DecodeDatagram(longer));
    }

    if (size >= 20) {
        window::Message message;
        message.message = Read<std::uint32_t>(data);
        message.wParam = Read<std::uintptr_t>(data + 4);
        message.lParam = Read<std::intptr_t>(data + 12);
        message.port = "dropped";
        const std::optional<window::Message> again =
            window::DecodeDatagram(window::EncodeDatagram(message));
        Check(again && again->message == message.message && again->wParam == message.wParam &&
              again->lParam == message.lParam && again->port.empty());
    }
    return 0;
}

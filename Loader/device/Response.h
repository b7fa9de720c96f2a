// Response records: how a received frame is handed to the thread that waits for it, how a DB
// answer is judged, and the loader's error codes.
//
// Record layouts:
//   DB        "DB", command word as received, total length as unsigned 32-bit little-endian
//             (host order), payload; size = total length
//   HP        the frame exactly as received; size = total length
//   D0 answer the data bytes only; size = count
//   zero-led  the one data byte; size 1
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/device/Frame.h"

namespace frames {

// Starts a DB record from the 8 header bytes as received: sizes `record` to the total length
// (zeros after the header) for the payload to be read into record.data() + 8. Returns 0 and
// leaves `record` empty unless CheckHeader finds the length valid.
int StartDbRecord(std::span<const std::uint8_t> header, std::vector<std::uint8_t>& record);

// Total length from record bytes 4-7 (host order); 0 for a record shorter than 8 bytes.
std::uint32_t DbRecordLength(std::span<const std::uint8_t> record);

enum class DbAnswerKind {
    kInvalid,  // shorter than a header, or a length field below 8
    kError,    // command word 0x80 0xFF
    kAck,      // any other command word, no payload
    kData,     // any other command word with payload
};

struct DbAnswer {
    DbAnswerKind kind = DbAnswerKind::kInvalid;
    std::uint8_t command[2] = {0, 0};
    // Bytes 8 up to the recorded length, never past the record.
    std::span<const std::uint8_t> payload;
    // Error answers: the first four payload bytes, zeros where the payload ends early. Only
    // when hasCode is the code read from the device; otherwise it is reported as undefined.
    bool hasCode = false;
    std::int32_t code = 0;
    std::array<std::uint8_t, 4> codeBytes = {0, 0, 0, 0};
};

DbAnswer ClassifyDbRecord(std::span<const std::uint8_t> record);

struct DeviceError {
    std::int32_t code;
    int messageId;  // string table
};

// Searched in this order.
inline constexpr std::array<DeviceError, 14> kDeviceErrors = {{
    {-1, 162},
    {-2, 163},
    {-3, 178},
    {-4, 179},
    {-5, 180},
    {-6, 181},
    {-7, 182},
    {-8, 183},
    {-9, 184},
    {-10, 185},
    {-11, 186},
    {-12, 187},
    {-13, 188},
    {-14, 189},
}};

// Message id of a device error code; 0 when the code is undefined.
int DeviceErrorMessageId(std::int32_t code);

// The code's text from the string table (CP932); empty when the code is undefined.
std::string_view DeviceErrorText(std::int32_t code);

// The two step-message lines that report an error answer: "   ---> 0x%08x" with the code and
// "   ---> " with its text, or, for an undefined code (or one the answer was too short to
// carry), "   ---> 0x%02x%02x%02x%02x" with the code bytes and "   ---> 未定義エラー".
std::array<CComString, 2> DeviceErrorLines(const DbAnswer& answer);

}  // namespace frames

// Motorola S-record text images laid into the first-stage loader's memory window.
//
// The window is [TOPADR, ENDADR] of the loader configuration's [COMSTDIO] section; its bytes live
// at offset 0 of a buffer that the caller fills beforehand (0xFF in a run), so bytes no record
// writes keep their fill. Only data records (S1, S2, S3: 2-, 3- and 4-byte addresses) carry
// bytes; every other line is skipped, and a record's own checksum is not checked.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "Loader/common/ComString.h"

class CComStdioFile;
class CParamFile;

namespace srecord {

// Used when the configuration leaves the bound empty.
inline constexpr std::uint32_t kDefaultTopAddress = 0xE0100000;
inline constexpr std::uint32_t kDefaultEndAddress = 0xE021FFFF;

struct CAddressWindow {
    std::uint32_t top = kDefaultTopAddress;
    std::uint32_t end = kDefaultEndAddress;

    // ENDADR below TOPADR leaves no window at all.
    bool IsValid() const { return end >= top; }
    // ENDADR - TOPADR + 1; 0 when not valid. 64 bits: the whole address space is 2^32 bytes.
    std::uint64_t Size() const { return IsValid() ? static_cast<std::uint64_t>(end) - top + 1 : 0; }
};

// One bound as the configuration writes it: hexadecimal, an optional "0x", up to the first
// other character; an empty text gives uiDefault.
std::uint32_t ParseWindowAddress(const CComString& cstrValue, std::uint32_t uiDefault);

// [COMSTDIO] TOPADR and ENDADR of the loader configuration (read afresh on every call).
CAddressWindow ReadAddressWindow(const CParamFile& initData);

enum class RecordResult {
    kStored,     // a data record; its bytes inside the window are stored
    kSkipped,    // not a data record (other types, blank or foreign lines)
    kMalformed,  // a data record whose text is shorter than its count or not hexadecimal
};

// Stores the data bytes of one line. A byte at address A goes to window[A - top] when
// top <= A <= end; a record that starts below top is skipped whole, and its first byte past end
// ends it. Nothing beyond `window` is ever written. Characters after the record (a CR) are
// ignored.
RecordResult StoreRecord(std::string_view line, const CAddressWindow& range,
                         std::span<std::uint8_t> window);

struct ConvertResult {
    int nLines = 0;        // lines read
    int nDataRecords = 0;  // S1/S2/S3 records taken
    int nBadLine = 0;      // 1-based line of the first malformed record; 0 when none
};

// Reads every line of the opened text image and stores its data records. 1, or 0 at the first
// malformed data record: a damaged image is never half sent to the device.
int ConvertImage(CComStdioFile& file, const CAddressWindow& range, std::span<std::uint8_t> window,
                 ConvertResult& result);

// The image checksum the device compares: the two's complement of the 16-bit sum of all bytes.
std::uint16_t WindowChecksum(std::span<const std::uint8_t> window);

}  // namespace srecord

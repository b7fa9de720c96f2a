#include "Loader/script/SRecord.h"

#include <algorithm>

#include "Loader/common/ComFile.h"
#include "Loader/common/ParamFile.h"

namespace srecord {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Byte `index` of the record body (index 0 is the count at characters 2-3); -1 when the line
// ends before it or a character is not hexadecimal.
int RecordByte(std::string_view line, std::size_t index) {
    const std::size_t at = 2 + 2 * index;
    if (at + 2 > line.size()) {
        return -1;
    }
    const int hi = HexDigit(line[at]);
    const int lo = HexDigit(line[at + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

std::uint32_t ParseWindowAddress(const CComString& cstrValue, std::uint32_t uiDefault) {
    return cstrValue.IsEmpty() ? uiDefault : cstrValue.ParseHex();
}

CAddressWindow ReadAddressWindow(const CParamFile& initData) {
    CAddressWindow range;
    range.top =
        ParseWindowAddress(initData.GetParamValueText("COMSTDIO", "TOPADR"), kDefaultTopAddress);
    range.end =
        ParseWindowAddress(initData.GetParamValueText("COMSTDIO", "ENDADR"), kDefaultEndAddress);
    return range;
}

RecordResult StoreRecord(std::string_view line, const CAddressWindow& range,
                         std::span<std::uint8_t> window) {
    if (line.size() < 2 || line[0] != 'S' || line[1] < '1' || line[1] > '3') {
        return RecordResult::kSkipped;
    }
    const std::size_t addressBytes = static_cast<std::size_t>(line[1] - '0') + 1;
    const int count = RecordByte(line, 0);
    // The count covers address, data and the record checksum.
    if (count < 0 || static_cast<std::size_t>(count) < addressBytes + 1) {
        return RecordResult::kMalformed;
    }
    // Every byte the count announces must be there before any is stored.
    for (std::size_t i = 1; i <= static_cast<std::size_t>(count); ++i) {
        if (RecordByte(line, i) < 0) {
            return RecordResult::kMalformed;
        }
    }
    std::uint64_t address = 0;
    for (std::size_t i = 1; i <= addressBytes; ++i) {
        address = address * 256 + static_cast<std::uint64_t>(RecordByte(line, i));
    }
    if (!range.IsValid() || address < range.top) {
        return RecordResult::kStored;
    }
    const std::size_t dataBytes = static_cast<std::size_t>(count) - addressBytes - 1;
    for (std::size_t i = 0; i < dataBytes; ++i) {
        const std::uint64_t at = address + i;
        if (at > range.end) {
            break;
        }
        const std::uint64_t offset = at - range.top;
        if (offset >= window.size()) {
            break;
        }
        window[offset] = static_cast<std::uint8_t>(RecordByte(line, 1 + addressBytes + i));
    }
    return RecordResult::kStored;
}

int ConvertImage(CComStdioFile& file, const CAddressWindow& range, std::span<std::uint8_t> window,
                 ConvertResult& result) {
    result = ConvertResult{};
    CComString line;
    while (file.ReadString(line) != 0) {
        ++result.nLines;
        switch (StoreRecord(line.View(), range, window)) {
            case RecordResult::kStored:
                ++result.nDataRecords;
                break;
            case RecordResult::kSkipped:
                break;
            case RecordResult::kMalformed:
                result.nBadLine = result.nLines;
                return 0;
        }
    }
    // The converted window becomes the image the file hands out, read from its start.
    const auto size =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(range.Size(), window.size()));
    file.SetImage(window.data(), size);
    file.SetValue16(WindowChecksum(window.first(size)));
    return 1;
}

std::uint16_t WindowChecksum(std::span<const std::uint8_t> window) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : window) {
        sum += b;
    }
    return static_cast<std::uint16_t>(0x10000u - (sum & 0xFFFFu));
}

}  // namespace srecord

// S-record text images as the download reads them: an image opened through the text opener and
// laid into a loader window, and each of its lines on its own.
//
// Input: 4 bytes window top (big-endian), 1 byte window span - 1, 1 byte buffer length (may be
// shorter than the span), 1 byte of flags (bit 0: the bounds swapped, no window at all), then the
// image text.
//
// A record writes one run of bytes inside the window and the buffer, nothing else; a malformed or
// skipped line writes nothing. The run, written again as S3 records, lands the same. Converting
// the image stores what its lines store one by one, up to the first malformed one, and hands out
// the window with its checksum.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Loader/common/ComFile.h"
#include "Loader/script/SRecord.h"
#include "platform/resources/resources.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// The line stored into a buffer filled with 0x00 and into one filled with 0xFF: a byte written
// is the same in both, one left alone differs.
struct Stored {
    srecord::RecordResult result;
    Bytes low;
    Bytes high;

    bool Written(std::size_t i) const { return low.data()[i] == high.data()[i]; }
};

Stored Store(std::string_view line, const srecord::CAddressWindow& range, std::size_t length) {
    Stored s{srecord::RecordResult::kSkipped, Bytes(length, 0x00), Bytes(length, 0xFF)};
    s.result = srecord::StoreRecord(line, range, s.low);
    Check(srecord::StoreRecord(line, range, s.high) == s.result);
    return s;
}

std::string Hex(std::uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = digits - 1; i >= 0; --i) {
        text += kDigits[(value >> (4 * i)) & 0xF];
    }
    return text;
}

// One S3 record: count, 4 address bytes, the data and the ones' complement checksum.
std::string S3(std::uint32_t address, std::span<const std::uint8_t> data) {
    const auto count = static_cast<std::uint32_t>(4 + data.size() + 1);
    std::uint32_t sum = count;
    std::string line = "S3" + Hex(count, 2) + Hex(address, 8);
    for (int i = 0; i < 4; ++i) {
        sum += (address >> (8 * i)) & 0xFF;
    }
    for (std::uint8_t b : data) {
        line += Hex(b, 2);
        sum += b;
    }
    return line + Hex(~sum & 0xFF, 2);
}

void CheckLine(std::string_view line, const srecord::CAddressWindow& range, std::size_t length) {
    const Stored s = Store(line, range, length);
    if (s.result != srecord::RecordResult::kStored) {
        static const Bytes kLow(256, 0x00);
        static const Bytes kHigh(256, 0xFF);
        Check(length == 0 || (std::memcmp(s.low.data(), kLow.data(), length) == 0 &&
                              std::memcmp(s.high.data(), kHigh.data(), length) == 0));
        return;
    }
    std::size_t first = length;
    std::size_t last = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (s.Written(i)) {
            first = std::min(first, i);
            last = i;
        }
    }
    if (first == length) {
        return;
    }
    Check(range.IsValid());
    Check(first < range.Size() && last < range.Size());
    for (std::size_t i = first; i <= last; ++i) {
        Check(s.Written(i));
    }
    // The run again, as S3 records of at most 250 bytes.
    Stored again{srecord::RecordResult::kSkipped, Bytes(length, 0x00), Bytes(length, 0xFF)};
    for (std::size_t at = first; at <= last; at += 250) {
        const std::size_t n = std::min<std::size_t>(250, last + 1 - at);
        const std::string record =
            S3(range.top + static_cast<std::uint32_t>(at), std::span(s.low).subspan(at, n));
        Check(srecord::StoreRecord(record, range, again.low) == srecord::RecordResult::kStored);
        Check(srecord::StoreRecord(record, range, again.high) == srecord::RecordResult::kStored);
    }
    Check(again.low == s.low && again.high == s.high);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) {
        return 0;
    }
    srecord::CAddressWindow range;
    range.top = static_cast<std::uint32_t>(data[0]) << 24 |
                static_cast<std::uint32_t>(data[1]) << 16 |
                static_cast<std::uint32_t>(data[2]) << 8 | data[3];
    range.end = range.top + std::min<std::uint32_t>(data[4], 0xFFFFFFFFu - range.top);
    if ((data[6] & 1) != 0) {
        std::swap(range.top, range.end);
    }
    const std::size_t length = data[5];
    const std::string_view text(reinterpret_cast<const char*>(data) + 7, size - 7);

    // Each line on its own, as the image reader cuts them.
    std::vector<std::string_view> lines;
    for (std::string_view rest = text; !rest.empty();) {
        const auto lf = rest.find('\n');
        lines.push_back(rest.substr(0, lf));
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    }
    Bytes expected(length, 0xFF);
    int badLine = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        CheckLine(lines[i], range, length);
        if (badLine == 0 &&
            srecord::StoreRecord(lines[i], range, expected) == srecord::RecordResult::kMalformed) {
            badLine = static_cast<int>(i) + 1;
        }
    }
    // A bound of the configuration, from the first line: what it reads, written as the
    // configuration writes a bound, reads the same.
    if (!lines.empty()) {
        const std::uint32_t bound = srecord::ParseWindowAddress(CComString(lines[0]), 0);
        Check(lines[0].empty() ||
              srecord::ParseWindowAddress(CComString("0x" + Hex(bound, 8)), 1) == bound);
        Check(srecord::ParseWindowAddress(CComString(Hex(bound, 8)), 1) == bound);
    }

    // The whole image through the text opener.
    const platform::resources::ScopedResource image(
        "DATA", 151, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    CComStdioFile file;
    file.SetCapacity(0x10000);
    if (file.Open("DATA\\C_PS\\image.mot") != 1) {
        Check(text.size() > 0x10000);
        return 0;
    }
    Bytes window(length, 0xFF);
    srecord::ConvertResult result;
    const int converted = srecord::ConvertImage(file, range, window, result);
    Check(converted == (badLine == 0 ? 1 : 0) && result.nBadLine == badLine && window == expected);
    if (converted == 1) {
        Check(result.nLines == static_cast<int>(lines.size()));
        const auto handed =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(range.Size(), length));
        Check(file.GetTotalLength() == handed && file.GetReadPosition() == 0);
        Check(file.GetValue16() == srecord::WindowChecksum(std::span(window).first(handed)));
    }
    return 0;
}

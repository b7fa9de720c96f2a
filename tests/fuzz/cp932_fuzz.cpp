// The code page 932 <-> UTF-8 conversions of the tool's strings and of the user interface, on
// arbitrary bytes taken both ways.
//
// No conversion yields more than its bound (3 UTF-8 bytes a code page 932 byte, 1 code page 932
// byte a UTF-8 byte). Valid code page 932 text, which converts without a replacement, comes back
// byte for byte, except characters of the duplicate areas (NEC row 13, the NEC-selected and the
// IBM extensions), which come back as the one code that stands for them; either way the UTF-8
// stays the same on a second trip. UTF-8 goes to the codes that stand for its characters, and
// those come back as themselves. Both converters agree on valid text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Loader/common/ComString.h"
#include "platform/ui/Text.h"

namespace ui = platform::ui;

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Lead bytes of the areas whose characters have a second code elsewhere.
bool DuplicateArea(unsigned char lead) {
    return lead == 0x87 || lead == 0xED || lead == 0xEE || lead == 0xFA;
}

void FromCp932(std::string_view cp932) {
    const std::string utf8 = ui::Cp932ToUtf8(cp932);
    Check(utf8.size() <= 3 * cp932.size());
    const std::string tool = CComString(cp932).ToUtf8();
    Check(tool.size() <= 3 * cp932.size());
    if (utf8.find(kReplacement) != std::string::npos) {
        return;
    }
    Check(tool == utf8);
    const std::string back = ui::Utf8ToCp932(utf8);
    Check(CComString::FromUtf8(utf8).Str() == back);
    Check(ui::Cp932ToUtf8(back) == utf8);
    Check(back.size() == cp932.size());
    for (std::size_t i = 0; i < cp932.size();) {
        const auto lead = static_cast<unsigned char>(cp932[i]);
        const std::size_t length = cp932::IsLeadByte(lead) ? 2 : 1;
        Check(back.compare(i, length, cp932.substr(i, length)) == 0 || DuplicateArea(lead));
        i += length;
    }
}

void FromUtf8(std::string_view utf8) {
    const std::string cp932 = ui::Utf8ToCp932(utf8);
    Check(cp932.size() <= utf8.size());
    const CComString tool = CComString::FromUtf8(utf8);
    Check(tool.Str().size() <= utf8.size());
    // Text the code page holds whole goes there as the codes that stand for its characters
    // (U+00A5 as 0x5C, U+2016 as 0x8161, ...), which come back as themselves.
    if (cp932.find('?') == std::string::npos) {
        Check(tool.Str() == cp932);
        Check(ui::Utf8ToCp932(ui::Cp932ToUtf8(cp932)) == cp932);
    }
    const std::string stripped = ui::StripMnemonic(utf8);
    Check(stripped.size() <= utf8.size());
    Check(utf8.find('&') != std::string_view::npos || stripped == utf8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    FromCp932(bytes);
    FromUtf8(bytes);
    return 0;
}

// The programs hold their texts in code page 932; people see UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform::ui {

// Bytes that do not convert become U+FFFD (or '?' towards code page 932): a display never
// fails because of one bad character. At most 3 UTF-8 bytes come of a code page 932 byte, and at
// most 1 code page 932 byte of a UTF-8 byte.
std::string Cp932ToUtf8(std::string_view cp932);
std::string Utf8ToCp932(std::string_view utf8);

// "終了(&X)" -> "終了(X)" and "&&" -> "&": for hosts that show no mnemonics. Works on UTF-8.
std::string StripMnemonic(std::string_view utf8);

}  // namespace platform::ui

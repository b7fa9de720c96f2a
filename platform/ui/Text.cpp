#include "platform/ui/Text.h"

#include "platform/text/Iconv.h"

namespace platform::ui {

std::string Cp932ToUtf8(std::string_view cp932) {
    thread_local text::Converter converter("UTF-8", "CP932");
    return converter.IsOpen() ? converter.Convert(cp932, "\xEF\xBF\xBD") : std::string(cp932);
}

std::string Utf8ToCp932(std::string_view utf8) {
    thread_local text::Converter converter("CP932", "UTF-8");
    return converter.IsOpen() ? converter.Convert(utf8, "?") : std::string(utf8);
}

std::string StripMnemonic(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '&') {
            if (i + 1 < utf8.size() && utf8[i + 1] == '&') {
                out += '&';
                ++i;
            }
            continue;
        }
        out += utf8[i];
    }
    return out;
}

}  // namespace platform::ui

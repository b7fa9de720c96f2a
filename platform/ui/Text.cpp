#include "platform/ui/Text.h"

#include <iconv.h>

#include <cerrno>

namespace platform::ui {

namespace {

// One descriptor a direction and thread, kept: every text a window shows passes here.
class Converter {
  public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (IsOpen()) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    // Back in its initial state.
    iconv_t Fresh() {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        return m_cd;
    }

  private:
    iconv_t m_cd;
};

std::string Convert(std::string_view in, Converter& converter, std::string_view replacement) {
    if (!converter.IsOpen()) {
        return std::string(in);
    }
    iconv_t cd = converter.Fresh();
    std::string out;
    char buffer[256];
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    while (left > 0) {
        char* dst = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buffer, sizeof buffer - room);
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // An invalid or cut-off sequence: one replacement for the byte, then go on.
            out.append(replacement);
            ++src;
            --left;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view cp932) {
    thread_local Converter converter("UTF-8", "CP932");
    return Convert(cp932, converter, "\xEF\xBF\xBD");
}

std::string Utf8ToCp932(std::string_view utf8) {
    thread_local Converter converter("CP932", "UTF-8");
    return Convert(utf8, converter, "?");
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

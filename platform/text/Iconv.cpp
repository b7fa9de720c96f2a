#include "platform/text/Iconv.h"

#include <cerrno>

namespace platform::text {

std::string Converter::Convert(std::string_view in, std::string_view replacement) {
    iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    char buffer[256];
    char* src = const_cast<char*>(in.data());
    std::size_t left = in.size();
    while (left > 0) {
        char* dst = buffer;
        std::size_t room = sizeof buffer;
        const std::size_t r = iconv(m_cd, &src, &left, &dst, &room);
        out.append(buffer, sizeof buffer - room);
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out.append(replacement);
            ++src;
            --left;
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    char* dst = buffer;
    std::size_t room = sizeof buffer;
    iconv(m_cd, nullptr, nullptr, &dst, &room);
    out.append(buffer, sizeof buffer - room);
    return out;
}

}  // namespace platform::text

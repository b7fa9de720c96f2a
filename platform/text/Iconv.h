// iconv kept open: opening a descriptor costs more than most conversions.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace platform::text {

// One descriptor for one direction; meant to be kept per thread (thread_local).
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

    // The whole of `in`, with `replacement` for every byte that does not convert (an invalid or
    // cut-off sequence): a text is shown or stored with a mark rather than lost. Needs IsOpen().
    std::string Convert(std::string_view in, std::string_view replacement);

  private:
    iconv_t m_cd;
};

}  // namespace platform::text

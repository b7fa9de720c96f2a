// Lays test texts over the embedded text resources.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/common/ComString.h"
#include "Loader/common/ParamFile.h"
#include "platform/resources/resources.h"

// Failure messages show the text as UTF-8.
inline void PrintTo(const CComString& s, std::ostream* os) {
    *os << '"' << s.ToUtf8() << '"';
}

namespace zrtest {

// LF line ends as written in the tests become the CR LF the texts carry.
inline std::string Crlf(std::string_view lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

// Japanese test lines are written in UTF-8 and carried as code page 932.
inline std::string Cp932(std::string_view utf8) {
    return Crlf(CComString::FromUtf8(utf8).Str());
}

// Registers exactly these bytes (no terminator after them) for the object's lifetime.
class ScriptText {
  public:
    ScriptText(std::string_view bytes, int number)
        : m_bytes(std::make_unique<std::uint8_t[]>(bytes.size())),
          m_resource("INI", number, {m_bytes.get(), bytes.size()}) {
        std::ranges::copy(bytes, m_bytes.get());
    }

  private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
    platform::resources::ScopedResource m_resource;
};

class ParamFileTest : public ::testing::Test {
  protected:
    void Lay(std::string_view bytes, int number = 145) {
        m_texts.push_back(std::make_unique<ScriptText>(bytes, number));
    }
    // Lays the text as the loader script and loads it.
    int Load(std::string_view lfText) {
        Lay(Crlf(lfText));
        return file.LoadParamSection("Loader_Update");
    }
    std::vector<CComString> SectionNames() const {
        std::vector<CComString> names;
        for (int i = 0; i < file.GetParamSectionSize(); ++i) {
            names.push_back(file.GetParamSectionText(i));
        }
        return names;
    }

    std::vector<std::unique_ptr<ScriptText>> m_texts;
    CParamFile file;
};

}  // namespace zrtest

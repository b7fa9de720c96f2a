#include "Loader/common/ParamResource.h"

#include <algorithm>
#include <cstring>

#include "Loader/common/ByteSearch.h"
#include "platform/resources/resources.h"

namespace {

struct LogicalName {
    std::string_view name;
    int number;
};

constexpr std::array<LogicalName, 4> kLogicalNames{{
    {"Loader_Update", 145},
    {"Loader_Sum", 146},
    {"Loader_Ini", 147},
    {"Loader_Ver", 148},
}};

// A header's last character is dropped whatever it is; a double-byte character goes whole so no
// lone lead byte is left behind.
std::string_view WithoutLastCharacter(std::string_view s) {
    if (bytes::IsAscii(s)) {
        return s.substr(0, s.empty() ? 0 : s.size() - 1);
    }
    std::size_t last = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        last = i;
        const bool lead = cp932::IsLeadByte(static_cast<unsigned char>(s[i]));
        i += (lead && i + 1 < s.size()) ? 2 : 1;
    }
    return s.substr(0, last);
}

// Appends `item` and a NUL; false when it does not fit.
void Clear(std::span<char> out) {
    if (!out.empty()) {
        std::memset(out.data(), 0, out.size());
    }
}

bool Append(std::span<char> out, std::size_t& used, std::string_view item) {
    if (item.size() + 1 > out.size() - used) {
        return false;
    }
    std::memcpy(out.data() + used, item.data(), item.size());
    used += item.size();
    out[used++] = '\0';
    return true;
}

}  // namespace

int CParamResource::ResourceNumber(const CComString& cstrParamFile) {
    for (const LogicalName& entry : kLogicalNames) {
        if (cstrParamFile.View() == entry.name) {
            return entry.number;
        }
    }
    return 0;
}

int CParamResource::LoadText(const CComString& cstrParamFile) {
    // Past the text the buffer is NUL already: the sections of one text load it again and again.
    std::memset(m_text.data(), 0, m_nLength);
    m_nLength = 0;

    const int number = ResourceNumber(cstrParamFile);
    if (number == 0) {
        return 0;
    }
    const auto found = platform::resources::Find("INI", number);
    if (!found) {
        return 0;
    }
    std::string_view text(reinterpret_cast<const char*>(found->data()), found->size());
    text = text.substr(0, text.find('\0'));
    if (text.size() > static_cast<std::size_t>(kMaxTextLength)) {
        return 0;
    }
    if (!text.empty()) {  // an empty resource may have no bytes at all
        std::memcpy(m_text.data(), text.data(), text.size());
    }
    m_nLength = text.size();
    return 1;
}

std::string_view CParamResource::Text() const {
    return {m_text.data(), m_nLength};
}

int CParamResource::GetSectionNames(std::span<char> out, const CComString& cstrParamFile) {
    Clear(out);
    LoadText(cstrParamFile);

    const std::string_view text = Text();
    std::size_t used = 0;
    bool fits = true;
    // Comments, empty lines and other lines are stepped over alike; only a '[' in the first
    // column opens a header. A line without CR, header or not, ends the scan.
    ForEachLineEnd(0, [&](std::size_t from, std::size_t cr) {
        if (KindOf(text[from]) == LineKind::kHeader) {
            fits = Append(out, used, WithoutLastCharacter(text.substr(from + 1, cr - from - 1)));
        }
        return fits;
    });
    if (!fits) {
        Clear(out);
        return 0;
    }
    return static_cast<int>(used);
}

int CParamResource::GetSectionLines(const CComString& cstrSection, std::span<char> out,
                                    const CComString& cstrParamFile) {
    Clear(out);
    const int used = CopySectionLines(cstrSection, out, cstrParamFile);
    if (used == 0) {
        Clear(out);
    }
    return used;
}

int CParamResource::CopySectionLines(const CComString& cstrSection, std::span<char> out,
                                     const CComString& cstrParamFile) {
    LoadText(cstrParamFile);
    return CopyLoadedSectionLines(cstrSection, out);
}

std::size_t CParamResource::LoadedSectionStart(const CComString& cstrSection) const {
    if (cstrSection.GetLength() > kMaxSectionNameLength) {
        return std::string_view::npos;
    }

    std::array<char, kPatternSize> pattern{};
    std::size_t patternLength = 0;
    pattern[patternLength++] = '[';
    for (char c : cstrSection.View()) {
        pattern[patternLength++] = c;
    }
    pattern[patternLength++] = ']';

    const std::string_view text = Text();
    // The first occurrence counts wherever it stands, also inside a comment or mid-line. memmem:
    // every section of a text is looked for in the whole text.
    const void* found = ::memmem(text.data(), text.size(), pattern.data(), patternLength);
    if (found == nullptr) {
        return std::string_view::npos;
    }
    const auto match = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    const std::size_t cr = text.find('\r', match);
    if (cr == std::string_view::npos) {
        return std::string_view::npos;
    }
    return AfterLineEnd(text, cr);
}

int CParamResource::CopyLoadedSectionLines(const CComString& cstrSection, std::span<char> out) {
    return CopyLinesFrom(LoadedSectionStart(cstrSection), out);
}

int CParamResource::CopyLinesFrom(std::size_t start, std::span<char> out) {
    const std::string_view text = Text();
    std::size_t used = 0;
    bool fits = true;
    ForEachLineFrom(start, [&](std::size_t from, std::size_t length) {
        fits = Append(out, used, text.substr(from, length));
        return fits;
    });
    return fits ? static_cast<int>(used) : 0;
}

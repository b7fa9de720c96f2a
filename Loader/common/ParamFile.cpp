#include "Loader/common/ParamFile.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "Loader/common/ByteSearch.h"

// ---------------------------------------------------------------------------------------------
// CParamKey

namespace {

// On the heap: sections are also read on worker threads. One area a thread, as a text's sections
// are read one after the other.
std::span<char> LinesArea() {
    thread_local std::vector<char> lines(CParamResource::kSectionLinesSize);
    return lines;
}

int IndexOf(std::string_view s, char c) {
    const std::size_t at = bytes::Find(s, c, 0);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

bool HasGen(std::string_view s) {
    for (std::size_t g = bytes::Find(s, 'G', 0); g != std::string_view::npos;
         g = bytes::Find(s, 'G', g + 1)) {
        if (s.compare(g, 3, "GEN") == 0) {
            return true;
        }
    }
    return false;
}

// Lines in an area of NUL-terminated lines.
std::size_t CountLines(std::string_view all) {
    std::size_t count = 0;
    for (std::size_t nul = bytes::Find(all, '\0', 0); nul != std::string_view::npos;
         nul = bytes::Find(all, '\0', nul + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

CParamKey::CParamKey(const CComString& cstrSection, const CComString& cstrParamFile,
                     CParamResource& resource)
    : m_strSection(cstrSection) {
    const std::span<char> lines = LinesArea();
    AddLines(std::string_view(lines.data(), static_cast<std::size_t>(resource.CopySectionLines(
                                                cstrSection, lines, cstrParamFile))));
}

CParamKey::CParamKey(const CComString& cstrSection, std::string_view lines)
    : m_strSection(cstrSection) {
    AddLines(lines);
}

void CParamKey::AddLines(std::string_view all) {
    // Sections without lines are common in a text with many headers; they share one list.
    static const auto kNoKeys = std::make_shared<const std::vector<CKey>>();
    if (all.empty()) {
        m_keys = kNoKeys;
        return;
    }
    auto keys = std::make_shared<std::vector<CKey>>();
    keys->reserve(CountLines(all));
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::size_t end = bytes::Find(all, '\0', pos);
        const std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        if (line.starts_with(';')) {
            continue;
        }
        keys->push_back(SplitLine(line));
    }
    m_keys = std::move(keys);
}

CKey CParamKey::SplitLine(std::string_view line) {
    // One walk over the characters finds what CComString::Find would: the first '=' and the
    // first space that are characters of their own, and "GEN" starting at a character.
    int equals = -1;
    int space = -1;
    bool gen = false;
    const bool ascii = bytes::IsAscii(line);
    if (ascii) {
        equals = IndexOf(line, '=');
        space = IndexOf(line, ' ');
        gen = HasGen(line);
    }
    for (std::size_t i = 0; !ascii && i < line.size();) {
        const std::size_t length = cp932::CharLength(line, i);
        if (length == 1) {
            const char c = line[i];
            if (c == '=' && equals < 0) {
                equals = static_cast<int>(i);
            } else if (c == ' ' && space < 0) {
                space = static_cast<int>(i);
            } else if (c == 'G' && line.compare(i, 3, "GEN") == 0) {
                gen = true;
            }
        }
        i += length;
    }

    const int length = static_cast<int>(line.size());
    int keyEnd = equals < 0 ? length : equals;
    int valueStart = equals < 0 ? 0 : equals + 1;
    if (valueStart < length && line[static_cast<std::size_t>(valueStart)] == ' ') {
        ++valueStart;
    }
    int valueEnd = length;

    // "GEN" lines carry version labels with spaces in them.
    if (space >= 0 && !gen) {
        if (space < valueStart) {
            keyEnd = std::min(keyEnd, space);
        } else {
            valueEnd = space;
        }
        // Without '=' key and value are the same line, so the space ends both.
        if (equals < 0) {
            keyEnd = std::min(keyEnd, space);
        }
    }
    const auto keyLength = static_cast<std::size_t>(keyEnd);
    const auto valueFrom = static_cast<std::size_t>(std::min(valueStart, length));
    const auto valueLength = static_cast<std::size_t>(std::max(valueEnd - valueStart, 0));
    return CKey(CComString(line.substr(0, keyLength)),
                CComString(line.substr(valueFrom, valueLength)));
}

const CKey* CParamKey::At(int nIndex) const {
    if (nIndex < 0 || nIndex >= GetParamKeySize()) {
        return nullptr;
    }
    return &(*m_keys)[static_cast<std::size_t>(nIndex)];
}

CComString CParamKey::GetParamKey(int nIndex) const {
    const CKey* key = At(nIndex);
    return key != nullptr ? key->GetKey() : CComString();
}

CComString CParamKey::GetParamValue(int nIndex) const {
    const CKey* key = At(nIndex);
    return key != nullptr ? key->GetValue() : CComString();
}

CComString CParamKey::GetParamValue(const CComString& cstrKey) const {
    for (const CKey& key : *m_keys) {
        if (key.GetKey().CompareNoCase(cstrKey) == 0) {
            return key.GetValue();
        }
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// CParamFile

void CParamFile::Clear() {
    m_firstByName.clear();
    m_paramKeys.clear();
    m_sectionNames.RemoveAll();
}

void CParamFile::AddParamKey(std::string upper, std::unique_ptr<CParamKey> paramKey) {
    // CompareNoCase equals exactly when the upper-case forms do.
    m_firstByName.emplace(std::move(upper), paramKey.get());
    m_paramKeys.push_back(std::move(paramKey));
}

int CParamFile::LoadParamSection(const CComString& cstrParamFile) {
    m_strParamFile = cstrParamFile;
    Clear();

    std::array<char, CParamResource::kSectionNamesSize> names{};
    const int used = m_resource.GetSectionNames(names, m_strParamFile);
    if (used == 0) {
        return 0;
    }

    // An empty name ends the list; the sections after it are not loaded.
    std::string_view listed(names.data(), static_cast<std::size_t>(used));
    if (listed.starts_with('\0')) {
        listed = {};
    } else if (const auto gap = listed.find(std::string_view("\0\0", 2)); gap != listed.npos) {
        listed = listed.substr(0, gap + 1);
    }
    const auto count = static_cast<std::size_t>(std::ranges::count(listed, '\0'));
    m_sectionNames.Reserve(static_cast<int>(count));
    m_paramKeys.reserve(count);
    m_firstByName.reserve(count);
    // Sections whose lines begin at the same place of the text share them.
    std::unordered_map<std::size_t, const CParamKey*> byStart;
    byStart.reserve(count);
    const std::span<char> lines = LinesArea();
    std::size_t pos = 0;
    while (pos < listed.size()) {
        const std::size_t end = bytes::Find(listed, '\0', pos);
        const CComString name(listed.substr(pos, end - pos));
        pos = end + 1;
        m_sectionNames.Add(name);
        // A name met before (case aside) would only give a list that no lookup reaches.
        CComString upper(name);
        upper.MakeUpper();
        if (m_firstByName.contains(upper.Str())) {
            continue;
        }
        // From the text GetSectionNames loaded.
        const std::size_t start = m_resource.LoadedSectionStart(name);
        const auto same = start == std::string_view::npos ? byStart.end() : byStart.find(start);
        std::unique_ptr<CParamKey> paramKey;
        if (same != byStart.end()) {
            paramKey = std::make_unique<CParamKey>(name, *same->second);
        } else {
            const int bytes = m_resource.CopyLinesFrom(start, lines);
            paramKey = std::make_unique<CParamKey>(
                name, std::string_view(lines.data(), static_cast<std::size_t>(bytes)));
        }
        if (start != std::string_view::npos) {
            byStart.emplace(start, paramKey.get());
        }
        AddParamKey(upper.Str(), std::move(paramKey));
    }
    return 1;
}

int CParamFile::LoadParamKey(const CComString& cstrSection, const CComString& cstrParamFile) {
    CComString upper(cstrSection);
    AddParamKey(upper.MakeUpper().Str(),
                std::make_unique<CParamKey>(cstrSection, cstrParamFile, m_resource));
    return 1;
}

CComString CParamFile::GetParamSectionText(int nIndex) const {
    return m_sectionNames.GetAt(nIndex);
}

CParamKey* CParamFile::FindParamKey(const CComString& cstrSection) const {
    CComString name = cstrSection;
    const auto found = m_firstByName.find(name.MakeUpper().Str());
    return found != m_firstByName.end() ? found->second : nullptr;
}

CComString CParamFile::GetParamValueText(const CComString& cstrSection,
                                         const CComString& cstrParamKey) const {
    const CParamKey* paramKey = GetParamKeyObject(cstrSection);
    return paramKey != nullptr ? paramKey->GetParamValue(cstrParamKey) : CComString();
}

CComString CParamFile::GetParamValueText(const CComString& cstrSection, int nIndex) const {
    const CParamKey* paramKey = GetParamKeyObject(cstrSection);
    return paramKey != nullptr ? paramKey->GetParamValue(nIndex) : CComString();
}

CComString CParamFile::GetParamKeyText(const CComString& cstrSection, int nIndex) const {
    const CParamKey* paramKey = GetParamKeyObject(cstrSection);
    return paramKey != nullptr ? paramKey->GetParamKey(nIndex) : CComString();
}

int CParamFile::GetParamKeySize(const CComString& cstrSection) const {
    const CParamKey* paramKey = GetParamKeyObject(cstrSection);
    return paramKey != nullptr ? paramKey->GetParamKeySize() : 0;
}

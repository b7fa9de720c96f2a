#include "Loader/common/ParamFile.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

// ---------------------------------------------------------------------------------------------
// CParamKey

namespace {

// On the heap: sections are also read on worker threads. One area a thread, as a text's sections
// are read one after the other.
std::span<char> LinesArea() {
    thread_local std::vector<char> lines(CParamResource::kSectionLinesSize);
    return lines;
}

}  // namespace

CParamKey::CParamKey(const CComString& cstrSection, const CComString& cstrParamFile,
                     CParamResource& resource)
    : m_strSection(cstrSection) {
    const std::span<char> lines = LinesArea();
    AddLines(std::string_view(lines.data(), static_cast<std::size_t>(resource.CopySectionLines(
                                                cstrSection, lines, cstrParamFile))));
}

CParamKey::CParamKey(const CComString& cstrSection, CParamResource& resource)
    : m_strSection(cstrSection) {
    const std::span<char> lines = LinesArea();
    AddLines(std::string_view(
        lines.data(),
        static_cast<std::size_t>(resource.CopyLoadedSectionLines(cstrSection, lines))));
}

void CParamKey::AddLines(std::string_view all) {
    auto keys = std::make_shared<std::vector<CKey>>();
    keys->reserve(static_cast<std::size_t>(std::ranges::count(all, '\0')));
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::size_t end = all.find('\0', pos);
        const std::string_view line = all.substr(pos, end - pos);
        pos = end + 1;
        if (line.starts_with(';')) {
            continue;
        }
        keys->push_back(SplitLine(CComString(line)));
    }
    m_keys = std::move(keys);
}

CKey CParamKey::SplitLine(const CComString& cstrLine) {
    const int length = cstrLine.GetLength();
    const int equals = cstrLine.Find('=');

    int keyEnd = equals < 0 ? length : equals;
    int valueStart = equals < 0 ? 0 : equals + 1;
    if (cstrLine.GetAt(valueStart) == ' ') {
        ++valueStart;
    }
    int valueEnd = length;

    // "GEN" lines carry version labels with spaces in them.
    const int space = cstrLine.Find(' ');
    if (space >= 0 && cstrLine.Find("GEN") < 0) {
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
    return CKey(cstrLine.Left(keyEnd), cstrLine.Mid(valueStart, valueEnd - valueStart));
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

void CParamFile::AddParamKey(std::unique_ptr<CParamKey> paramKey) {
    // CompareNoCase equals exactly when the upper-case forms do.
    CComString name = paramKey->GetSectionName();
    m_firstByName.emplace(name.MakeUpper().Str(), paramKey.get());
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

    // Sections whose lines begin at the same place of the text share them.
    std::unordered_map<std::size_t, const CParamKey*> byStart;
    // An empty name ends the list; the sections after it are not loaded.
    const std::string_view all(names.data(), static_cast<std::size_t>(used));
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::size_t end = all.find('\0', pos);
        const std::string_view name = all.substr(pos, end - pos);
        if (name.empty()) {
            break;
        }
        pos = end + 1;
        m_sectionNames.Add(CComString(name));
        // A name met before (case aside) would only give a list that no lookup reaches.
        CComString upper(name);
        if (m_firstByName.contains(upper.MakeUpper().Str())) {
            continue;
        }
        // From the text GetSectionNames loaded.
        const std::size_t start = m_resource.LoadedSectionStart(CComString(name));
        const auto same = start == std::string_view::npos ? byStart.end() : byStart.find(start);
        auto paramKey = same != byStart.end()
                            ? std::make_unique<CParamKey>(CComString(name), *same->second)
                            : std::make_unique<CParamKey>(CComString(name), m_resource);
        if (start != std::string_view::npos) {
            byStart.emplace(start, paramKey.get());
        }
        AddParamKey(std::move(paramKey));
    }
    return 1;
}

int CParamFile::LoadParamKey(const CComString& cstrSection, const CComString& cstrParamFile) {
    AddParamKey(std::make_unique<CParamKey>(cstrSection, cstrParamFile, m_resource));
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

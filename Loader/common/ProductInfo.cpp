#include "Loader/common/ProductInfo.h"

#include <algorithm>
#include <iterator>

#include "platform/resources/resources.h"

namespace {

constexpr const char* kKeys[] = {
    "Comments",     "CompanyName",    "FileDescription", "FileVersion",
    "InternalName", "LegalCopyright", "LegalTrademarks", "OriginalFilename",
    "PrivateBuild", "ProductName",    "ProductVersion",  "SpecialBuild",
};

bool IsKnownKey(const CComString& key) {
    return std::any_of(std::begin(kKeys), std::end(kKeys),
                       [&key](const char* k) { return key == k; });
}

}  // namespace

CComProductInfo::CComProductInfo() {
    Load();
}

void CComProductInfo::Load() {
    auto res = platform::resources::Find("VERSION", 1);
    if (!res || res->empty()) {
        return;
    }
    CComString text(std::string_view(reinterpret_cast<const char*>(res->data()), res->size()));
    for (const CComString& raw : text.Split('\n')) {
        CComString line = raw;
        if (line.Right(1) == "\r") {
            line = line.Left(line.GetLength() - 1);
        }
        int eq = line.Find('=');
        if (eq < 0) {
            continue;
        }
        CComString key = line.Left(eq).Trim();
        CComString value = line.Mid(eq + 1);
        // An empty value is a key without a value; the first value of a key is the one kept.
        if (!IsKnownKey(key) || value.IsEmpty() || m_map.contains(key)) {
            continue;
        }
        if (key.Find("Version") >= 0) {
            value.Replace(" ", "");
        }
        m_map.emplace(key, value);
    }
}

CComString CComProductInfo::Get(const CComString& strKey) const {
    auto it = m_map.find(strKey);
    if (it == m_map.end()) {
        return CComString::Formatted("Unknown Keyword: %s", strKey.GetString());
    }
    return it->second;
}

void CComProductInfo::Set(const CComString& strKey, const CComString& strValue) {
    m_map[strKey] = strValue;
}

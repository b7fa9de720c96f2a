// The program's own version strings (ProductVersion, LegalCopyright, ...), read from the
// embedded VERSION resource.
#pragma once

#include <unordered_map>

#include "Loader/common/ComString.h"

class CComProductInfo {
  public:
    // Loads the map; an unreadable resource leaves it empty.
    CComProductInfo();
    virtual ~CComProductInfo() = default;

    // The value, or "Unknown Keyword: <key>" when the key has none.
    CComString Get(const CComString& strKey) const;
    void Set(const CComString& strKey, const CComString& strValue);

  private:
    void Load();

    std::unordered_map<CComString, CComString> m_map;
};

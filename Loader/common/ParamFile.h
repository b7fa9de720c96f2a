// The model of one embedded INI-like text: its section names in file order and, per section, the
// key/value pairs in file order with repeated keys kept (a script section repeats `CMD`, `Port`,
// `Timer`... many times, so it is read by index, and by name only where a key is unique).
//
// Indexes run from 0 to count-1; an index outside that range, negative ones included, gives an
// empty string. Name lookups are case-insensitive (code page 932 folding) and take the first
// match; a section is found by hash, a key within its section by a linear search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/common/ParamResource.h"

// One key/value pair.
class CKey {
  public:
    CKey(CComString cstrKey, CComString cstrValue)
        : m_strValue(std::move(cstrValue)), m_strKey(std::move(cstrKey)) {}

    const CComString& GetKey() const { return m_strKey; }
    const CComString& GetValue() const { return m_strValue; }
    void SetKey(const CComString& cstrKey) { m_strKey = cstrKey; }
    void SetValue(const CComString& cstrValue) { m_strValue = cstrValue; }

  private:
    CComString m_strValue;
    CComString m_strKey;
};

// The pairs of one section.
class CParamKey {
  public:
    // Reads the pairs of `cstrSection` from the text `cstrParamFile` through `resource`. A missing
    // section, or a section name longer than CParamResource::kMaxSectionNameLength bytes, gives
    // an empty list.
    CParamKey(const CComString& cstrSection, const CComString& cstrParamFile,
              CParamResource& resource);
    // The pairs of the lines from `start` (as CParamResource::LoadedSectionStart gives it) of
    // the text `resource` loaded last, of which `text` is a copy.
    CParamKey(const CComString& cstrSection, std::shared_ptr<const std::string> text,
              const CParamResource& resource, std::size_t start);
    // The pairs of `sameLines` under another name, for a section whose lines are the same lines.
    CParamKey(const CComString& cstrSection, const CParamKey& sameLines)
        : m_strSection(cstrSection), m_lines(sameLines.m_lines) {}
    // A file's lookups hold views of its lists' names, which must not change.
    CParamKey(const CParamKey&) = delete;
    CParamKey& operator=(const CParamKey&) = delete;

    // Splits one line of a section into its pair. The first '=' ends the key, one space after it
    // is skipped, and unless the line holds "GEN" the line's first space ends the key (when it
    // lies before the value) or the value (when it lies inside it); whatever follows a space that
    // ended the value is ignored. Without '=' key and value are both the line, and that space
    // cuts both.
    static CKey SplitLine(const CComString& cstrLine) { return SplitLine(cstrLine.View()); }
    static CKey SplitLine(std::string_view line);

    CComString GetParamKey(int nIndex) const;
    CComString GetParamValue(int nIndex) const;
    // Value of the first pair whose key matches; empty when none.
    CComString GetParamValue(const CComString& cstrKey) const;
    int GetParamKeySize() const { return static_cast<int>(m_lines->pairs.size()); }

    const CComString& GetSectionName() const { return m_strSection; }

  private:
    // A pair as places in the section's lines: a script section has hundreds, read many times
    // over, and most are never looked at.
    struct Pair {
        std::uint32_t keyFrom;
        std::uint32_t keyLength;
        std::uint32_t valueFrom;
        std::uint32_t valueLength;
    };
    struct Lines {
        // The text the lines are in, shared by the sections read from it.
        std::shared_ptr<const std::string> text;
        std::vector<Pair> pairs;
    };

    // `text`: the whole text `resource` loaded last, or null for a copy of the lines' part.
    void ReadLines(std::shared_ptr<const std::string> text, const CParamResource& resource,
                   std::size_t start);
    const Pair* At(int nIndex) const;
    std::string_view KeyOf(const Pair& pair) const {
        return std::string_view(*m_lines->text).substr(pair.keyFrom, pair.keyLength);
    }
    std::string_view ValueOf(const Pair& pair) const {
        return std::string_view(*m_lines->text).substr(pair.valueFrom, pair.valueLength);
    }

    CComString m_strSection;
    // Never changed once read: sections with the same lines share them.
    std::shared_ptr<const Lines> m_lines;
};

// One embedded text, loaded by logical name ("Loader_Update", "Loader_Sum", "Loader_Ini",
// "Loader_Ver").
class CParamFile {
  public:
    CParamFile() = default;
    CParamFile(const CParamFile&) = delete;
    CParamFile& operator=(const CParamFile&) = delete;

    // Stores the name, drops all earlier content and loads every section in file order until the
    // first empty name. Returns 0 when the text is missing, longer than
    // CParamResource::kMaxTextLength bytes, has no section header, or when its section names
    // (each with a NUL) exceed CParamResource::kSectionNamesSize bytes; the model is then empty.
    // Returns 1 otherwise, also when the first name is empty (nothing is loaded then).
    int LoadParamSection(const CComString& cstrParamFile);
    int LoadParamSection() { return LoadParamSection(CComString(m_strParamFile)); }

    // Appends the pairs of one section of that text (an empty list when the section is missing or
    // its name is too long); the section names and the stored name stay unchanged. Returns 1.
    int LoadParamKey(const CComString& cstrSection, const CComString& cstrParamFile);
    int LoadParamKey(const CComString& cstrSection) {
        return LoadParamKey(cstrSection, m_strParamFile);
    }

    CComString GetParamSectionText(int nIndex) const;
    int GetParamSectionSize() const { return m_sectionNames.GetSize(); }

    // First loaded section with that name; null when none.
    CParamKey* GetParamKeyObject(const CComString& cstrSection) {
        return FindParamKey(cstrSection);
    }
    const CParamKey* GetParamKeyObject(const CComString& cstrSection) const {
        return FindParamKey(cstrSection);
    }

    // Value of the first pair with that key in that section; empty when either is missing.
    CComString GetParamValueText(const CComString& cstrSection,
                                 const CComString& cstrParamKey) const;
    CComString GetParamValueText(const CComString& cstrSection, int nIndex) const;
    CComString GetParamKeyText(const CComString& cstrSection, int nIndex) const;
    // 0 when the section is missing.
    int GetParamKeySize(const CComString& cstrSection) const;

    CComString GetParamFileName() const { return m_strParamFile; }
    void SetParamFileName(const CComString& cstrParamFile) { m_strParamFile = cstrParamFile; }

  private:
    // Names compare as CompareNoCase does, without upper-case copies.
    struct NoCaseHash {
        std::size_t operator()(std::string_view s) const { return CComString::HashNoCase(s); }
    };
    struct NoCaseEqual {
        bool operator()(std::string_view a, std::string_view b) const {
            return CComString::EqualNoCase(a, b);
        }
    };

    void Clear();
    // Makes a list just appended the one its name finds, unless an earlier list has that name.
    void AddName(CParamKey& paramKey);
    CParamKey* FindParamKey(const CComString& cstrSection) const;

    CComStringArray m_sectionNames;
    // A deque, so that the lists stay where they are as more are appended.
    std::deque<CParamKey> m_paramKeys;
    // The first list of each name, keyed by the list's own name: lookups are by name on every
    // script row.
    std::unordered_map<std::string_view, CParamKey*, NoCaseHash, NoCaseEqual> m_firstByName;
    CComString m_strParamFile;
    CParamResource m_resource;
};

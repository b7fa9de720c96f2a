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
#include <limits>
#include <memory>
#include <string>
#include <string_view>
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
    // One text's lines as pairs, shared by the lists read from it.
    struct Lines;
    // Where a line of a text begins, and the pairs [first, end) that a list whose lines begin
    // there reads (the lines up to the next header).
    struct Run {
        std::uint32_t from;
        std::uint32_t first;
        std::uint32_t end;
    };

    // Reads the pairs of `cstrSection` from the text `cstrParamFile` through `resource`. A missing
    // section, or a section name longer than CParamResource::kMaxSectionNameLength bytes, gives
    // an empty list.
    CParamKey(const CComString& cstrSection, const CComString& cstrParamFile,
              CParamResource& resource);
    // The pairs [first, first + count) of `lines`.
    CParamKey(const CComString& cstrSection, std::shared_ptr<const Lines> lines,
              std::uint32_t first, std::uint32_t count)
        : m_strSection(cstrSection), m_lines(std::move(lines)), m_first(first), m_count(count) {}
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
    int GetParamKeySize() const { return static_cast<int>(m_count); }

    const CComString& GetSectionName() const { return m_strSection; }

    // A pair as places in the text: a script section has hundreds, read many times over, and
    // most are never looked at.
    struct Pair {
        std::uint32_t keyFrom;
        std::uint32_t keyLength;
        std::uint32_t valueFrom;
        std::uint32_t valueLength;
    };
    struct Lines {
        std::string text;
        std::vector<Pair> pairs;
    };

  private:
    // A file reads all its lists from one text.
    friend class CParamFile;

    // The value place of a line not split yet, whose key places are those of the line.
    static constexpr std::uint32_t kUnsplit = std::numeric_limits<std::uint32_t>::max();

    // Notes every line of the text `resource` loaded last, of which `lines.text` is a copy, in
    // `lines.pairs`, not yet split; gives the run of each line, in the order of the text.
    static std::vector<Run> IndexText(const CParamResource& resource, Lines& lines);
    // Splits the lines of a run that are not split yet.
    static void SplitRun(Lines& lines, const Run& run);

    // The pair of the line at `from` of `text`, its places counted from `base`.
    static Pair PairOf(std::string_view text, std::size_t from, std::size_t length,
                       std::size_t base);
    const Pair* At(int nIndex) const;
    std::string_view KeyOf(const Pair& pair) const {
        return std::string_view(m_lines->text).substr(pair.keyFrom, pair.keyLength);
    }
    std::string_view ValueOf(const Pair& pair) const {
        return std::string_view(m_lines->text).substr(pair.valueFrom, pair.valueLength);
    }

    CComString m_strSection;
    // Never changed once read: the lists of one text share them.
    std::shared_ptr<const Lines> m_lines;
    std::uint32_t m_first = 0;
    std::uint32_t m_count = 0;
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
        return FindParamKey(cstrSection.View());
    }
    const CParamKey* GetParamKeyObject(const CComString& cstrSection) const {
        return FindParamKey(cstrSection.View());
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
    void Clear();
    // Room for `count` names in the lookup, at most half its slots used so that a probe soon
    // meets an empty one.
    void ReserveNames(std::size_t count);
    // Makes a list just appended the one its name finds, unless an earlier list has that name.
    void AddName(CParamKey& paramKey);
    // The slot of the list with that name (case aside), or the empty slot where it would go.
    std::size_t SlotOf(std::string_view name) const;
    CParamKey* FindParamKey(std::string_view name) const;

    CComStringArray m_sectionNames;
    // A deque, so that the lists stay where they are as more are appended.
    std::deque<CParamKey> m_paramKeys;
    // The first list of each name, by the list's own name (lookups by name come on every script
    // row): open addressing with linear probing over a power-of-two number of slots.
    std::vector<CParamKey*> m_firstByName;
    std::size_t m_nNamed = 0;
    CComString m_strParamFile;
    CParamResource m_resource;
};

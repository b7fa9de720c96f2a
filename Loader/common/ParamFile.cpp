#include "Loader/common/ParamFile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Loader/common/ByteSearch.h"

// ---------------------------------------------------------------------------------------------
// CParamKey

namespace {

// What splits a line: its first '=', its first space, and whether "GEN" starts at a character.
struct Marks {
    int equals = -1;
    int space = -1;
    bool gen = false;
};

// The character of one byte at `at`.
void Note(std::string_view line, std::size_t at, Marks& marks) {
    const char c = line[at];
    if (c == '=' && marks.equals < 0) {
        marks.equals = static_cast<int>(at);
    } else if (c == ' ' && marks.space < 0) {
        marks.space = static_cast<int>(at);
    } else if (c == 'G' && line.compare(at, 3, "GEN") == 0) {
        marks.gen = true;
    }
}

// One pass, eight bytes at a time, over a line without double-byte characters (every byte is a
// character of its own); false, with `marks` unfinished, at the first byte above 0x7F.
ZR_BYTES_NO_COVERAGE bool MarkAscii(std::string_view line, Marks& marks) {
    std::size_t i = 0;
    for (; i + 8 <= line.size(); i += 8) {
        const std::uint64_t word = bytes::Word(line.data() + i);
        if ((word & bytes::kHigh) != 0) {
            return false;
        }
        // A match past a true one may be false; Note looks at the byte itself.
        std::uint64_t hits =
            bytes::Matches(word, '=') | bytes::Matches(word, ' ') | bytes::Matches(word, 'G');
        for (; hits != 0; hits &= hits - 1) {
            Note(line, i + static_cast<std::size_t>(std::countr_zero(hits)) / 8, marks);
        }
    }
    for (; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0x80U) != 0) {
            return false;
        }
        Note(line, i, marks);
    }
    return true;
}

// Where one line of a section splits into key and value.
struct Split {
    std::size_t keyLength;
    std::size_t valueFrom;
    std::size_t valueLength;
};

Split SplitAt(std::string_view line) {
    // One walk over the characters finds what CComString::Find would: the first '=' and the
    // first space that are characters of their own, and "GEN" starting at a character.
    Marks marks;
    if (!MarkAscii(line, marks)) {
        marks = Marks{};
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t length = cp932::CharLength(line, i);
            if (length == 1) {
                Note(line, i, marks);
            }
            i += length;
        }
    }
    const int equals = marks.equals;
    const int space = marks.space;
    const bool gen = marks.gen;

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
    return Split{keyLength, valueFrom, valueLength};
}

}  // namespace

CParamKey::Pair CParamKey::PairOf(std::string_view text, std::size_t from, std::size_t length,
                                  std::size_t base) {
    const Split split = SplitAt(text.substr(from, length));
    // Places in a text of at most CParamResource::kMaxTextLength bytes.
    const std::size_t at = from - base;
    return Pair{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(split.keyLength),
                static_cast<std::uint32_t>(at + split.valueFrom),
                static_cast<std::uint32_t>(split.valueLength)};
}

CParamKey::CParamKey(const CComString& cstrSection, const CComString& cstrParamFile,
                     CParamResource& resource)
    : m_strSection(cstrSection) {
    // Lists without lines are common in a text with many headers; they share one.
    static const auto kNoLines = std::make_shared<const Lines>();
    resource.LoadText(cstrParamFile);
    const std::size_t start = resource.LoadedSectionStart(cstrSection);
    std::size_t count = 0;
    std::size_t end = start;
    resource.ForEachLineFrom(start, [&](std::size_t from, std::size_t length) {
        ++count;
        end = from + length;
        return true;
    });
    if (count == 0) {
        m_lines = kNoLines;
        return;
    }
    // A list read on its own keeps only its part of the text.
    const std::string_view text = resource.Text();
    auto lines = std::make_shared<Lines>();
    lines->text.assign(text.substr(start, end - start));
    lines->pairs.reserve(count);
    resource.ForEachLineFrom(start, [&](std::size_t from, std::size_t length) {
        lines->pairs.push_back(PairOf(text, from, length, start));
        return true;
    });
    m_count = static_cast<std::uint32_t>(count);
    m_lines = std::move(lines);
}

std::vector<CParamKey::Run> CParamKey::IndexText(const CParamResource& resource, Lines& lines) {
    // The lines are taken from the text itself, not from a copy of them: a text fits
    // CParamResource's lines area whole, so no section's lines are refused for their size.
    static_assert(CParamResource::kTextSize <= CParamResource::kSectionLinesSize);
    using Kind = CParamResource::LineKind;
    std::size_t count = 0;
    resource.ForEachLineEnd(0, [&](std::size_t, std::size_t) {
        ++count;
        return true;
    });
    std::vector<Run> runs;
    runs.reserve(count);
    lines.pairs.reserve(count);
    const std::string_view text = resource.Text();
    resource.ForEachLineEnd(0, [&](std::size_t from, std::size_t cr) {
        runs.push_back(Run{static_cast<std::uint32_t>(from),
                           static_cast<std::uint32_t>(lines.pairs.size()), 0});
        if (CParamResource::KindOf(text[from]) == Kind::kLine) {
            lines.pairs.push_back(Pair{static_cast<std::uint32_t>(from),
                                       static_cast<std::uint32_t>(cr - from), kUnsplit, 0});
        }
        return true;
    });
    // A list's lines end at the next header.
    auto end = static_cast<std::uint32_t>(lines.pairs.size());
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        if (CParamResource::KindOf(text[run->from]) == Kind::kHeader) {
            end = run->first;
        }
        run->end = end;
    }
    return runs;
}

void CParamKey::SplitRun(Lines& lines, const Run& run) {
    // Runs that share lines share their ends, so the first line found split is followed by
    // split lines only: every line is split once, whatever the runs read.
    for (std::uint32_t i = run.first; i < run.end && lines.pairs[i].valueFrom == kUnsplit; ++i) {
        lines.pairs[i] = PairOf(lines.text, lines.pairs[i].keyFrom, lines.pairs[i].keyLength, 0);
    }
}

CKey CParamKey::SplitLine(std::string_view line) {
    const Split split = SplitAt(line);
    return CKey(CComString(line.substr(0, split.keyLength)),
                CComString(line.substr(split.valueFrom, split.valueLength)));
}

const CParamKey::Pair* CParamKey::At(int nIndex) const {
    if (nIndex < 0 || nIndex >= GetParamKeySize()) {
        return nullptr;
    }
    return &m_lines->pairs[m_first + static_cast<std::size_t>(nIndex)];
}

CComString CParamKey::GetParamKey(int nIndex) const {
    const Pair* pair = At(nIndex);
    return pair != nullptr ? CComString(KeyOf(*pair)) : CComString();
}

CComString CParamKey::GetParamValue(int nIndex) const {
    const Pair* pair = At(nIndex);
    return pair != nullptr ? CComString(ValueOf(*pair)) : CComString();
}

CComString CParamKey::GetParamValue(const CComString& cstrKey) const {
    for (const Pair& pair : std::span(m_lines->pairs).subspan(m_first, m_count)) {
        if (CComString::EqualNoCase(KeyOf(pair), cstrKey.View())) {
            return CComString(ValueOf(pair));
        }
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// CParamFile

void CParamFile::Clear() {
    m_firstByName.clear();
    m_nNamed = 0;
    m_paramKeys.clear();
    m_sectionNames.RemoveAll();
}

void CParamFile::ReserveNames(std::size_t count) {
    const std::size_t slots = std::bit_ceil(std::max<std::size_t>(8, 2 * count));
    if (slots <= m_firstByName.size()) {
        return;
    }
    std::vector<CParamKey*> old(slots, nullptr);
    old.swap(m_firstByName);
    for (CParamKey* paramKey : old) {
        if (paramKey != nullptr) {
            m_firstByName[SlotOf(paramKey->GetSectionName().View())] = paramKey;
        }
    }
}

std::size_t CParamFile::SlotOf(std::string_view name) const {
    const std::size_t mask = m_firstByName.size() - 1;
    for (std::size_t slot = CComString::HashNoCase(name) & mask;; slot = (slot + 1) & mask) {
        const CParamKey* paramKey = m_firstByName[slot];
        if (paramKey == nullptr ||
            CComString::EqualNoCase(paramKey->GetSectionName().View(), name)) {
            return slot;
        }
    }
}

void CParamFile::AddName(CParamKey& paramKey) {
    ReserveNames(m_nNamed + 1);
    CParamKey*& slot = m_firstByName[SlotOf(paramKey.GetSectionName().View())];
    if (slot == nullptr) {
        slot = &paramKey;
        ++m_nNamed;
    }
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
    ReserveNames(count);
    // A section reads the run of the line its lines begin at in one copy of the text
    // GetSectionNames loaded, so sections that share lines share their pairs; only the lines a
    // section reads are split into pairs.
    auto lines = std::make_shared<CParamKey::Lines>();
    lines->text.assign(m_resource.Text());
    const std::vector<CParamKey::Run> runs = CParamKey::IndexText(m_resource, *lines);
    std::size_t pos = 0;
    while (pos < listed.size()) {
        const std::size_t end = bytes::Find(listed, '\0', pos);
        const std::string_view name = listed.substr(pos, end - pos);
        pos = end + 1;
        m_sectionNames.Add(CComString(name));
        // A name met before (case aside) would only give a list that no lookup reaches.
        if (FindParamKey(name) != nullptr) {
            continue;
        }
        const CComString section(name);
        const std::size_t start = m_resource.LoadedSectionStart(section);
        // Where no line begins there are no lines: the header was the text's last line.
        CParamKey::Run read{};
        if (const auto run = std::ranges::lower_bound(runs, start, {}, &CParamKey::Run::from);
            run != runs.end() && run->from == start) {
            read = *run;
            CParamKey::SplitRun(*lines, read);
        }
        AddName(m_paramKeys.emplace_back(section, lines, read.first, read.end - read.first));
    }
    return 1;
}

int CParamFile::LoadParamKey(const CComString& cstrSection, const CComString& cstrParamFile) {
    AddName(m_paramKeys.emplace_back(cstrSection, cstrParamFile, m_resource));
    return 1;
}

CComString CParamFile::GetParamSectionText(int nIndex) const {
    return m_sectionNames.GetAt(nIndex);
}

CParamKey* CParamFile::FindParamKey(std::string_view name) const {
    return m_firstByName.empty() ? nullptr : m_firstByName[SlotOf(name)];
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

// Fetches the embedded INI-like texts by logical name and scans their lines.
//
// Texts are code page 932 with CR LF line ends. The scanner finds a CR and steps over exactly one
// more byte, taken to be the LF, so bare LF line ends give no usable lines and a last line without
// CR LF is never seen. All delimiters are single-byte and CR is never a trail byte, so the line
// scanning is bytewise.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "Loader/common/ByteSearch.h"
#include "Loader/common/ComString.h"

class CParamResource {
  public:
    // The text buffer; a text keeps at least one byte free so that a NUL always follows it.
    static constexpr int kTextSize = 10240;
    static constexpr int kMaxTextLength = kTextSize - 1;
    // Output areas the callers hand in.
    static constexpr int kSectionNamesSize = 2048;
    static constexpr int kSectionLinesSize = 16384;
    // "[" + name + "]" and its NUL fit the 64-byte pattern area.
    static constexpr int kPatternSize = 64;
    static constexpr int kMaxSectionNameLength = kPatternSize - 3;

    CParamResource() = default;

    // Resource number of a logical name ("Loader_Update" 145, "Loader_Sum" 146, "Loader_Ini" 147,
    // "Loader_Ver" 148; case-sensitive); 0 for any other name.
    static int ResourceNumber(const CComString& cstrParamFile);

    // Clears the buffer and copies the text (up to its first NUL) into it. Returns 1 when found
    // and copied; 0 when the name has no text or the text is longer than kMaxTextLength bytes
    // (refused, never cut). After 0 the buffer holds an empty text.
    int LoadText(const CComString& cstrParamFile);

    // Loads the text, clears `out` and writes the section names in file order, each followed by a
    // NUL. Returns the number of bytes written. Returns 0 with `out` cleared when the text is
    // missing or too long, has no header, or when the names would not fit in `out` (refused).
    int GetSectionNames(std::span<char> out, const CComString& cstrParamFile);

    // Loads the text, clears `out` and writes the lines of the section located by the first
    // occurrence of "[" + section + "]" anywhere in the text, each followed by a NUL. Returns the
    // number of bytes written; 0 when the section is not found or has no lines, when the section
    // name is longer than kMaxSectionNameLength bytes (refused), or when the lines would not fit
    // in `out` (refused, `out` cleared).
    int GetSectionLines(const CComString& cstrSection, std::span<char> out,
                        const CComString& cstrParamFile);
    // The same lines and count without clearing `out` first: bytes past the count keep what they
    // held, and after a refusal so do those already written. For callers that read only the
    // count's bytes and would otherwise clear the whole area once a section.
    int CopySectionLines(const CComString& cstrSection, std::span<char> out,
                         const CComString& cstrParamFile);
    // As CopySectionLines, from the text loaded last (by any of the calls above): the sections of
    // one text are read without loading it again for each.
    int CopyLoadedSectionLines(const CComString& cstrSection, std::span<char> out);
    // Where those lines begin in the text loaded last; npos when there are none to read (no such
    // header, no line end after it, or a name too long to look for). Sections that begin at the
    // same place have the same lines.
    std::size_t LoadedSectionStart(const CComString& cstrSection) const;
    // The lines of the text loaded last from `start` (as LoadedSectionStart gives it; npos gives
    // none), as CopyLoadedSectionLines copies them.
    int CopyLinesFrom(std::size_t start, std::span<char> out);
    // Calls `line(from, length)` with the place in Text() of each line CopyLinesFrom would copy
    // from `start`, in order; stops when `line` returns false.
    template <typename Line>
    void ForEachLineFrom(std::size_t start, Line line) const;
    // Calls `visit(from, cr)` with where each line of the text loaded last begins and where its
    // CR is, from `start` (the beginning of a line) on, headers, comments and empty lines
    // included; stops when `visit` returns false. A last line without CR is no line.
    template <typename Visit>
    void ForEachLineEnd(std::size_t start, Visit visit) const;

    // What a line is, by its first byte: a '[' in the first column opens a section, comments
    // and empty lines are no lines of one.
    enum class LineKind { kHeader, kLine, kNone };
    static LineKind KindOf(char first) {
        return first == '[' ? LineKind::kHeader
                            : (first == ';' || first == '\r' ? LineKind::kNone : LineKind::kLine);
    }

    // The loaded text, up to (not including) its NUL.
    std::string_view Text() const;

  private:
    // Start of the line after the one whose CR is at `cr`; the byte after the CR is taken to be
    // the LF without looking at it.
    static std::size_t AfterLineEnd(std::string_view text, std::size_t cr) {
        return std::min(cr + 2, text.size());
    }

    std::array<char, kTextSize> m_text{};
    std::size_t m_nLength = 0;
};

template <typename Visit>
void CParamResource::ForEachLineEnd(std::size_t start, Visit visit) const {
    const std::string_view text = Text();
    for (std::size_t pos = start; pos < text.size();) {
        const std::size_t cr = bytes::Find(text, '\r', pos);
        if (cr == std::string_view::npos || !visit(pos, cr)) {
            return;
        }
        pos = AfterLineEnd(text, cr);
    }
}

template <typename Line>
void CParamResource::ForEachLineFrom(std::size_t start, Line line) const {
    if (start == std::string_view::npos) {
        return;
    }
    const std::string_view text = Text();
    ForEachLineEnd(start, [&](std::size_t from, std::size_t cr) {
        switch (KindOf(text[from])) {
            case LineKind::kHeader:
                return false;
            case LineKind::kLine:
                return line(from, cr - from);
            case LineKind::kNone:
                break;
        }
        return true;
    });
}

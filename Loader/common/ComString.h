// The tool's 8-bit text string. The bytes are code page 932 throughout: the embedded texts, the
// string table and the error log all carry CP932, so every search walks double-byte characters as
// units and never mistakes a trail byte for an ASCII character (0x5C trail bytes are common).
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cp932 {

// True for bytes that start a double-byte character (0x81-0x9F, 0xE0-0xFC).
inline bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Length of the character at `i` as the strings walk it: 2 for a lead byte with a byte other than
// NUL after it, else 1.
inline std::size_t CharLength(std::string_view s, std::size_t i) {
    return IsLeadByte(static_cast<unsigned char>(s.data()[i])) && i + 1 < s.size() &&
                   s.data()[i + 1] != '\0'
               ? 2
               : 1;
}

}  // namespace cp932

class CComStringArray;

class CComString {
  public:
    CComString() = default;
    CComString(const char* psz);      // NOLINT(google-explicit-constructor): used like a literal
    CComString(std::string_view sv);  // NOLINT(google-explicit-constructor)
    CComString(const char* p, int n);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    const char* GetString() const { return m_str.c_str(); }
    std::string_view View() const { return m_str; }
    const std::string& Str() const { return m_str; }

    // Out of range gives '\0'.
    char GetAt(int i) const;
    char operator[](int i) const { return GetAt(i); }

    CComString& operator+=(const CComString& other);
    CComString& operator+=(char ch);
    CComString& operator+=(const char* psz);

    friend CComString operator+(const CComString& a, const CComString& b);
    friend CComString operator+(const CComString& a, const char* b);
    friend CComString operator+(const char* a, const CComString& b);
    friend CComString operator+(const CComString& a, char b);
    friend CComString operator+(char a, const CComString& b);

    // Bytewise, bytes taken as unsigned.
    friend bool operator==(const CComString& a, const CComString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CComString& a, const char* b);
    friend std::strong_ordering operator<=>(const CComString& a, const CComString& b);

    // Bytewise; <0, 0 or >0.
    int Compare(const CComString& other) const;
    // Letters fold to upper case, single-byte ASCII and the double-byte alphabets alike.
    int CompareNoCase(const CComString& other) const { return CompareNoCase(m_str, other.m_str); }
    static int CompareNoCase(std::string_view a, std::string_view b);
    // CompareNoCase(a, b) == 0, cut short where the lengths differ (case folding keeps every
    // character's length) or the bytes are the same.
    static bool EqualNoCase(std::string_view a, std::string_view b) {
        return a.size() == b.size() && (a == b || CompareNoCase(a, b) == 0);
    }
    // Equal for texts that CompareNoCase finds equal.
    static std::size_t HashNoCase(std::string_view s);

    // Character searches: a trail byte never matches, and substrings match only where a character
    // starts. A negative start counts as 0; -1 when absent.
    int Find(char ch, int start = 0) const;
    int Find(std::string_view sub, int start = 0) const;
    int ReverseFind(char ch) const;

    // Clamped to the text; negative counts give an empty string.
    CComString Mid(int start, int count) const;
    CComString Mid(int start) const;
    CComString Left(int n) const;
    CComString Right(int n) const;

    CComString& MakeUpper();
    CComString& MakeLower();

    // Spaces, tabs, CR and LF.
    CComString& Trim();
    CComString& TrimLeft();
    CComString& TrimRight();

    // Replaces every non-overlapping occurrence (at character boundaries); returns the count.
    int Replace(std::string_view from, std::string_view to);

    void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    static CComString Formatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    // Decimal after spaces and tabs, optional sign; stops at the first other character. Values out
    // of range wrap modulo 2^32.
    int ToInt() const;
    unsigned int ToUInt() const;
    // kind 1: decimal digits only; kind 2: hexadecimal digits only; empty text or other kinds:
    // true.
    bool IsNumeric(int kind) const;

    // One byte from two hexadecimal characters; a position past `available` counts as a non-digit,
    // so a lone final digit gives digit * 16.
    static unsigned char HexByte(const char* text, int available);
    // Clears `size` bytes, then one byte per character pair, at most `size` bytes.
    void HexToBytes(unsigned char* buffer, int size) const;
    static CComString BytesToHex(const unsigned char* bytes, int count);
    // Optional "0x"/"0X", then hexadecimal digits up to the first other character.
    std::uint32_t ParseHex() const;

    // Every separator starts a new field; empty fields are kept and the last field is always
    // added, so an empty text gives one empty string.
    CComStringArray Split(char ch) const;

    // Around the last backslash (a double-byte character's 0x5C trail byte is not one).
    CComString GetFileName() const;
    CComString GetDirectory() const;

    // Conversions for text that leaves for a person; invalid sequences become '?'. At most 3
    // UTF-8 bytes come of a code page 932 byte, and at most 1 code page 932 byte of a UTF-8 byte.
    std::string ToUtf8() const;
    static CComString FromUtf8(std::string_view utf8);

  private:
    std::string m_str;
};

class CComStringArray {
  public:
    CComStringArray() = default;

    int GetSize() const { return static_cast<int>(m_items.size()); }
    bool IsEmpty() const { return m_items.empty(); }
    // Room for that many strings in all.
    void Reserve(int nCount) { m_items.reserve(nCount > 0 ? static_cast<std::size_t>(nCount) : 0); }
    // Returns the index of the new element.
    int Add(const CComString& str);
    void RemoveAll() { m_items.clear(); }

    // Out of range: GetAt and the const [] give an empty string, SetAt/RemoveAt do nothing, the
    // non-const [] gives a scratch string whose writes are lost, InsertAt clamps to the ends.
    CComString GetAt(int i) const;
    void SetAt(int i, const CComString& str);
    const CComString& operator[](int i) const;
    CComString& operator[](int i);
    void RemoveAt(int i);
    void InsertAt(int i, const CComString& str);

    auto begin() const { return m_items.begin(); }
    auto end() const { return m_items.end(); }

  private:
    bool InRange(int i) const { return i >= 0 && i < GetSize(); }

    std::vector<CComString> m_items;
};

template <>
struct std::hash<CComString> {
    std::size_t operator()(const CComString& s) const noexcept {
        return std::hash<std::string_view>{}(s.View());
    }
};

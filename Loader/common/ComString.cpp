#include "Loader/common/ComString.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "Loader/common/ByteSearch.h"
#include "platform/text/Iconv.h"

namespace {

// Through the raw bytes: these run for every byte of every name the script model compares.
unsigned char Byte(std::string_view s, std::size_t i) {
    return static_cast<unsigned char>(s.data()[i]);
}

// Length of the character starting at i: 2 for a lead byte with a byte after it, else 1.
std::size_t CharLen(std::string_view s, std::size_t i) {
    return cp932::CharLength(s, i);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Double-byte upper/lower case pairs: fullwidth Latin, Greek, Cyrillic (whose lower case skips
// the 0x7F trail byte, which is not a valid trail).
unsigned DoubleUpper(unsigned code) {
    if (code >= 0x8281 && code <= 0x829A) {
        return code - 0x21;
    }
    if (code >= 0x83BF && code <= 0x83D6) {
        return code - 0x20;
    }
    if (code >= 0x8470 && code <= 0x847E) {
        return code - 0x30;
    }
    if (code >= 0x8480 && code <= 0x8491) {
        return code - 0x31;
    }
    return code;
}

unsigned DoubleLower(unsigned code) {
    if (code >= 0x8260 && code <= 0x8279) {
        return code + 0x21;
    }
    if (code >= 0x839F && code <= 0x83B6) {
        return code + 0x20;
    }
    if (code >= 0x8440 && code <= 0x844E) {
        return code + 0x30;
    }
    if (code >= 0x844F && code <= 0x8460) {
        return code + 0x31;
    }
    return code;
}

char SingleUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char SingleLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Eight ASCII bytes at once (no byte above 0x7F, so no byte carries into the next): the case
// bit flipped where a byte is within [first, last].
std::uint64_t FlipCaseIn(std::uint64_t word, unsigned char first, unsigned char last) {
    const std::uint64_t fromFirst = word + bytes::kOnes * (0x80U - first);
    const std::uint64_t pastLast = word + bytes::kOnes * (0x80U - last - 1U);
    return word ^ (((fromFirst & ~pastLast) & bytes::kHigh) >> 2);
}

template <typename Single, typename Double>
void MapCase(std::string& s, Single single, Double dbl, unsigned char first, unsigned char last) {
    char* p = s.data();
    for (std::size_t i = 0; i < s.size();) {
        // Names and keys are nearly always ASCII: whole words of it need no character walk. The
        // last bytes go as one word too, padded with NULs, which no mapping touches.
        const std::size_t n = std::min<std::size_t>(8, s.size() - i);
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, n);
        if ((word & bytes::kHigh) == 0) {
            word = FlipCaseIn(word, first, last);
            std::memcpy(p + i, &word, n);
            i += n;
            continue;
        }
        if (CharLen(s, i) == 2) {
            unsigned code = (static_cast<unsigned>(Byte(s, i)) << 8) | Byte(s, i + 1);
            code = dbl(code);
            p[i] = static_cast<char>(code >> 8);
            p[i + 1] = static_cast<char>(code & 0xFF);
            i += 2;
        } else {
            p[i] = single(p[i]);
            ++i;
        }
    }
}

// The bytes MakeUpper would leave, one at a time.
class UpperBytes {
  public:
    explicit UpperBytes(std::string_view s) : m_s(s) {}

    bool Next(unsigned char& out) {
        if (m_bHeld) {
            m_bHeld = false;
            out = m_held;
            return true;
        }
        if (m_i >= m_s.size()) {
            return false;
        }
        if (CharLen(m_s, m_i) == 2) {
            const unsigned code =
                DoubleUpper((static_cast<unsigned>(Byte(m_s, m_i)) << 8) | Byte(m_s, m_i + 1));
            out = static_cast<unsigned char>(code >> 8);
            m_held = static_cast<unsigned char>(code & 0xFF);
            m_bHeld = true;
            m_i += 2;
        } else {
            out = static_cast<unsigned char>(SingleUpper(m_s.data()[m_i]));
            ++m_i;
        }
        return true;
    }

  private:
    std::string_view m_s;
    std::size_t m_i = 0;
    unsigned char m_held = 0;
    bool m_bHeld = false;
};

__attribute__((format(printf, 1, 0))) std::string VFormat(const char* fmt, va_list args) {
    if (fmt == nullptr) {
        return {};
    }
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, args);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

// ASCII reads the same in both and needs no converter; the C library loads that on first use,
// about a millisecond of a program's start.
bool IsAscii(std::string_view in) {
    return std::ranges::all_of(in, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// '?' for every byte that does not convert; the tool must show something rather than fail.
std::string Convert(platform::text::Converter& converter, std::string_view in) {
    return converter.IsOpen() ? converter.Convert(in, "?") : std::string(in.size(), '?');
}

}  // namespace

// ---- CComString ------------------------------------------------------------------------------

CComString::CComString(const char* psz) : m_str(psz != nullptr ? psz : "") {}

CComString::CComString(std::string_view sv) : m_str(sv) {}

CComString::CComString(const char* p, int n) {
    if (p != nullptr && n > 0) {
        m_str.assign(p, static_cast<std::size_t>(n));
    }
}

char CComString::GetAt(int i) const {
    return (i >= 0 && i < GetLength()) ? m_str[static_cast<std::size_t>(i)] : '\0';
}

CComString& CComString::operator+=(const CComString& other) {
    m_str += other.m_str;
    return *this;
}

CComString& CComString::operator+=(char ch) {
    m_str += ch;
    return *this;
}

CComString& CComString::operator+=(const char* psz) {
    if (psz != nullptr) {
        m_str += psz;
    }
    return *this;
}

CComString operator+(const CComString& a, const CComString& b) {
    CComString r(a);
    r += b;
    return r;
}

CComString operator+(const CComString& a, const char* b) {
    CComString r(a);
    r += b;
    return r;
}

CComString operator+(const char* a, const CComString& b) {
    CComString r(a);
    r += b;
    return r;
}

CComString operator+(const CComString& a, char b) {
    CComString r(a);
    r += b;
    return r;
}

CComString operator+(char a, const CComString& b) {
    CComString r;
    r += a;
    r += b;
    return r;
}

bool operator==(const CComString& a, const char* b) {
    return a.m_str == std::string_view(b != nullptr ? b : "");
}

std::strong_ordering operator<=>(const CComString& a, const CComString& b) {
    return a.Compare(b) <=> 0;
}

int CComString::Compare(const CComString& other) const {
    int r = m_str.compare(other.m_str);  // char_traits<char> compares bytes as unsigned
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int CComString::CompareNoCase(std::string_view a, std::string_view b) {
    // As MakeUpper on copies then Compare, without the copies: the script model compares names
    // on every lookup. Eight ASCII bytes of each at a time while both have them; after only
    // ASCII bytes both are at the start of a character.
    std::size_t i = 0;
    for (; i + 8 <= a.size() && i + 8 <= b.size(); i += 8) {
        const std::uint64_t x = bytes::Word(a.data() + i);
        const std::uint64_t y = bytes::Word(b.data() + i);
        if (((x | y) & bytes::kHigh) != 0) {
            break;
        }
        const std::uint64_t upperX = FlipCaseIn(x, 'a', 'z');
        const std::uint64_t upperY = FlipCaseIn(y, 'a', 'z');
        if (upperX != upperY) {
            const int shift = std::countr_zero(upperX ^ upperY) / 8 * 8;
            return ((upperX >> shift) & 0xFFU) < ((upperY >> shift) & 0xFFU) ? -1 : 1;
        }
    }
    UpperBytes upperA(a.substr(i));
    UpperBytes upperB(b.substr(i));
    for (;;) {
        unsigned char x = 0;
        unsigned char y = 0;
        const bool hasX = upperA.Next(x);
        const bool hasY = upperB.Next(y);
        if (!hasX || !hasY) {
            return hasX == hasY ? 0 : (hasX ? 1 : -1);
        }
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
}

std::size_t CComString::HashNoCase(std::string_view s) {
    // The length and the upper-case form of the first bytes: names are hashed on every lookup,
    // and a long name (a header line the fuzzer made) would otherwise be folded whole each time.
    // Equal texts have equal lengths and upper-case forms.
    constexpr std::size_t kHashed = 32;
    std::array<char, kHashed> upper{};
    std::size_t n = 0;
    for (; n + 8 <= kHashed && n + 8 <= s.size(); n += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, s.data() + n, 8);
        if ((word & bytes::kHigh) != 0) {
            break;
        }
        const std::uint64_t folded = FlipCaseIn(word, 'a', 'z');
        std::memcpy(upper.data() + n, &folded, 8);
    }
    // After only ASCII bytes the rest starts at a character.
    UpperBytes rest(s.substr(n));
    for (unsigned char c = 0; n < kHashed && rest.Next(c); ++n) {
        upper[n] = static_cast<char>(c);
    }
    return std::hash<std::string_view>{}(std::string_view(upper.data(), n)) ^
           (s.size() * 0x9E3779B97F4A7C15ULL);
}

int CComString::Find(char ch, int start) const {
    std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
    for (std::size_t i = 0; i < m_str.size();) {
        std::size_t len = CharLen(m_str, i);
        if (len == 1 && i >= from && m_str[i] == ch) {
            return static_cast<int>(i);
        }
        i += len;
    }
    return -1;
}

int CComString::Find(std::string_view sub, int start) const {
    std::size_t from = start < 0 ? 0 : static_cast<std::size_t>(start);
    if (from > m_str.size()) {
        return -1;
    }
    for (std::size_t i = 0; i <= m_str.size();) {
        if (i >= from && m_str.compare(i, sub.size(), sub) == 0 && i + sub.size() <= m_str.size()) {
            return static_cast<int>(i);
        }
        if (i == m_str.size()) {
            break;
        }
        i += CharLen(m_str, i);
    }
    return -1;
}

int CComString::ReverseFind(char ch) const {
    int found = -1;
    for (std::size_t i = 0; i < m_str.size();) {
        std::size_t len = CharLen(m_str, i);
        if (len == 1 && m_str[i] == ch) {
            found = static_cast<int>(i);
        }
        i += len;
    }
    return found;
}

CComString CComString::Mid(int start, int count) const {
    if (start < 0) {
        start = 0;
    }
    if (count < 0 || start >= GetLength()) {
        return {};
    }
    count = std::min(count, GetLength() - start);
    return CComString(std::string_view(m_str).substr(static_cast<std::size_t>(start),
                                                     static_cast<std::size_t>(count)));
}

CComString CComString::Mid(int start) const {
    return Mid(start, GetLength());
}

CComString CComString::Left(int n) const {
    return Mid(0, n);
}

CComString CComString::Right(int n) const {
    if (n <= 0) {
        return {};
    }
    n = std::min(n, GetLength());
    return Mid(GetLength() - n, n);
}

CComString& CComString::MakeUpper() {
    MapCase(m_str, SingleUpper, DoubleUpper, 'a', 'z');
    return *this;
}

CComString& CComString::MakeLower() {
    MapCase(m_str, SingleLower, DoubleLower, 'A', 'Z');
    return *this;
}

CComString& CComString::Trim() {
    return TrimRight().TrimLeft();
}

CComString& CComString::TrimLeft() {
    std::size_t i = 0;
    while (i < m_str.size() && IsSpace(m_str[i])) {
        ++i;
    }
    m_str.erase(0, i);
    return *this;
}

CComString& CComString::TrimRight() {
    // No CP932 trail byte is a space, tab, CR or LF, so trimming bytewise is safe.
    std::size_t n = m_str.size();
    while (n > 0 && IsSpace(m_str[n - 1])) {
        --n;
    }
    m_str.resize(n);
    return *this;
}

int CComString::Replace(std::string_view from, std::string_view to) {
    if (from.empty()) {
        return 0;
    }
    std::string out;
    int count = 0;
    for (std::size_t i = 0; i < m_str.size();) {
        if (m_str.compare(i, from.size(), from) == 0 && i + from.size() <= m_str.size()) {
            out += to;
            i += from.size();
            ++count;
        } else {
            std::size_t len = CharLen(m_str, i);
            out.append(m_str, i, len);
            i += len;
        }
    }
    if (count > 0) {
        m_str = std::move(out);
    }
    return count;
}

void CComString::Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    m_str = VFormat(fmt, args);
    va_end(args);
}

CComString CComString::Formatted(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    CComString r(VFormat(fmt, args));
    va_end(args);
    return r;
}

int CComString::ToInt() const {
    std::size_t i = 0;
    while (i < m_str.size() && (m_str[i] == ' ' || m_str[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < m_str.size() && (m_str[i] == '+' || m_str[i] == '-')) {
        negative = m_str[i] == '-';
        ++i;
    }
    unsigned int value = 0;
    for (; i < m_str.size() && m_str[i] >= '0' && m_str[i] <= '9'; ++i) {
        value = value * 10u + static_cast<unsigned int>(m_str[i] - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int>(value);  // modular since C++20
}

unsigned int CComString::ToUInt() const {
    std::size_t i = 0;
    while (i < m_str.size() && (m_str[i] == ' ' || m_str[i] == '\t')) {
        ++i;
    }
    unsigned int value = 0;
    for (; i < m_str.size() && m_str[i] >= '0' && m_str[i] <= '9'; ++i) {
        value = value * 10u + static_cast<unsigned int>(m_str[i] - '0');
    }
    return value;
}

bool CComString::IsNumeric(int kind) const {
    if (kind == 1) {
        return std::all_of(m_str.begin(), m_str.end(), [](char c) { return c >= '0' && c <= '9'; });
    }
    if (kind == 2) {
        return std::all_of(m_str.begin(), m_str.end(), [](char c) { return HexDigit(c) >= 0; });
    }
    return true;
}

unsigned char CComString::HexByte(const char* text, int available) {
    unsigned value = 0;
    if (text == nullptr) {
        return 0;
    }
    for (int pos = 0; pos < 2; ++pos) {
        value *= 16;
        int digit = pos < available ? HexDigit(text[pos]) : -1;
        if (digit < 0) {
            break;
        }
        value += static_cast<unsigned>(digit);
    }
    return static_cast<unsigned char>(value);
}

void CComString::HexToBytes(unsigned char* buffer, int size) const {
    if (buffer == nullptr || size <= 0) {
        return;
    }
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    int out = 0;
    for (int i = 0; i < GetLength() && out < size; i += 2) {
        buffer[out++] = HexByte(m_str.data() + i, GetLength() - i);
    }
}

CComString CComString::BytesToHex(const unsigned char* bytes, int count) {
    static const char kDigits[] = "0123456789ABCDEF";
    CComString r;
    if (bytes == nullptr || count <= 0) {
        return r;
    }
    r.m_str.reserve(static_cast<std::size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        r.m_str += kDigits[bytes[i] >> 4];
        r.m_str += kDigits[bytes[i] & 0x0F];
    }
    return r;
}

std::uint32_t CComString::ParseHex() const {
    std::size_t i = 0;
    if (m_str.size() >= 2 && m_str[0] == '0' && (m_str[1] == 'x' || m_str[1] == 'X')) {
        i = 2;
    }
    std::uint32_t value = 0;
    for (; i < m_str.size(); ++i) {
        int digit = HexDigit(m_str[i]);
        if (digit < 0) {
            break;
        }
        value = value * 16u + static_cast<std::uint32_t>(digit);
    }
    return value;
}

CComStringArray CComString::Split(char ch) const {
    CComStringArray out;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < m_str.size();) {
        std::size_t len = CharLen(m_str, i);
        if (len == 1 && m_str[i] == ch) {
            out.Add(CComString(std::string_view(m_str).substr(begin, i - begin)));
            begin = i + 1;
        }
        i += len;
    }
    out.Add(CComString(std::string_view(m_str).substr(begin)));
    return out;
}

CComString CComString::GetFileName() const {
    int at = ReverseFind('\\');
    return at < 0 ? *this : Mid(at + 1);
}

CComString CComString::GetDirectory() const {
    int at = ReverseFind('\\');
    return at < 0 ? CComString() : Left(at);
}

std::string CComString::ToUtf8() const {
    if (IsAscii(m_str)) {
        return m_str;
    }
    thread_local platform::text::Converter converter("UTF-8", "CP932");
    return Convert(converter, m_str);
}

CComString CComString::FromUtf8(std::string_view utf8) {
    if (IsAscii(utf8)) {
        return CComString(utf8);
    }
    thread_local platform::text::Converter converter("CP932", "UTF-8");
    return CComString(Convert(converter, utf8));
}

// ---- CComStringArray -------------------------------------------------------------------------

int CComStringArray::Add(const CComString& str) {
    m_items.push_back(str);
    return GetSize() - 1;
}

CComString CComStringArray::GetAt(int i) const {
    return InRange(i) ? m_items[static_cast<std::size_t>(i)] : CComString();
}

void CComStringArray::SetAt(int i, const CComString& str) {
    if (InRange(i)) {
        m_items[static_cast<std::size_t>(i)] = str;
    }
}

const CComString& CComStringArray::operator[](int i) const {
    static const CComString kEmpty;
    return InRange(i) ? m_items[static_cast<std::size_t>(i)] : kEmpty;
}

CComString& CComStringArray::operator[](int i) {
    if (InRange(i)) {
        return m_items[static_cast<std::size_t>(i)];
    }
    thread_local CComString scratch;
    scratch.Empty();
    return scratch;
}

void CComStringArray::RemoveAt(int i) {
    if (InRange(i)) {
        m_items.erase(m_items.begin() + i);
    }
}

void CComStringArray::InsertAt(int i, const CComString& str) {
    i = std::clamp(i, 0, GetSize());
    m_items.insert(m_items.begin() + i, str);
}

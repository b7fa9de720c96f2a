// Lays arbitrary bytes over the loader script's text and walks the model built from it.
//
// Every section is reached by index. A walk that looked up every section and pair by name, or
// checked every pair of every section, would cost far more than building the model and starve the
// fuzzer: a few sections and pairs picked from the ends and from the input are checked, by index
// and by name. The first lines of the input are split into pairs as their rule reads.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "Loader/common/ParamFile.h"
#include "platform/resources/resources.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// A few indexes of [0, count): both ends and one the input chooses.
struct Picks {
    Picks(int count, std::size_t seed) {
        for (int i : {0, count - 1,
                      count > 0 ? static_cast<int>(seed % static_cast<std::size_t>(count)) : 0}) {
            if (i >= 0 && i < count && std::find(begin(), end(), i) == end()) {
                at[size++] = i;
            }
        }
    }
    const int* begin() const { return at.data(); }
    const int* end() const { return at.data() + size; }

    std::array<int, 3> at{};
    std::size_t size = 0;
};

// The pairs of one section as its object gives them, and one of them through the file.
void CheckSection(const CParamFile& file, const CComString& section, const CParamKey& keys,
                  std::size_t seed) {
    const int count = keys.GetParamKeySize();
    Check(file.GetParamKeySize(section) == count);
    for (int i : {-1, count}) {
        Check(keys.GetParamKey(i).IsEmpty() && keys.GetParamValue(i).IsEmpty());
    }
    for (int i : Picks(count, seed)) {
        // A pair comes from one line of the text: no CR, no NUL, and the key ends at its '='.
        const CComString key = keys.GetParamKey(i);
        const CComString value = keys.GetParamValue(i);
        Check(key.Find('=') < 0);
        Check(key.View().find_first_of(std::string_view("\r\0", 2)) == std::string_view::npos);
        Check(value.View().find_first_of(std::string_view("\r\0", 2)) == std::string_view::npos);
    }
    if (count > 0) {
        const int i = static_cast<int>(seed % static_cast<std::size_t>(count));
        const CComString key = keys.GetParamKey(i);
        // A repeated key answers with its first pair (one pick: the walk to it is linear).
        int first = 0;
        while (keys.GetParamKey(first).CompareNoCase(key) != 0) {
            ++first;
        }
        Check(first <= i && keys.GetParamValue(key) == keys.GetParamValue(first));
        Check(file.GetParamKeyText(section, i) == key);
        Check(file.GetParamValueText(section, i) == keys.GetParamValue(i));
        Check(file.GetParamValueText(section, key) == keys.GetParamValue(key));
    }
    Check(file.GetParamKeyText(section, count).IsEmpty());
}

// Where one line splits as its rule reads, with the string's own character-aware searches.
struct RuleSplit {
    int keyEnd;
    int valueStart;
    int valueEnd;
};

RuleSplit SplitByRule(const CComString& line) {
    const int length = line.GetLength();
    const int equals = line.Find('=');
    int keyEnd = equals < 0 ? length : equals;
    int valueStart = equals < 0 ? 0 : equals + 1;
    if (line.GetAt(valueStart) == ' ') {
        ++valueStart;
    }
    int valueEnd = length;
    const int space = line.Find(' ');
    if (space >= 0 && line.Find("GEN") < 0) {
        if (space < valueStart) {
            keyEnd = std::min(keyEnd, space);
        } else {
            valueEnd = space;
        }
        if (equals < 0) {
            keyEnd = std::min(keyEnd, space);
        }
    }
    return {keyEnd, valueStart, valueEnd};
}

// The first lines of the input, as lines of a section would be. The rule's searches walk a
// character at a time, so a line is checked up to a length that still takes every path of the
// split (the eight-byte steps and the tail) many times over.
constexpr std::size_t kCheckedLength = 64;

void CheckSplits(std::string_view text) {
    for (int n = 0; n < 4 && !text.empty(); ++n) {
        const std::string_view whole =
            text.substr(0, text.find_first_of(std::string_view("\r\0", 2)));
        text.remove_prefix(std::min(text.size(), whole.size() + 1));
        const std::string_view line = whole.substr(0, kCheckedLength);
        const CKey split = CParamKey::SplitLine(line);
        const RuleSplit expected = SplitByRule(CComString(line));
        const auto part = [&](int from, int to) {
            return from >= to ? std::string_view()
                              : line.substr(static_cast<std::size_t>(from),
                                            static_cast<std::size_t>(to - from));
        };
        Check(split.GetKey().View() == part(0, expected.keyEnd) &&
              split.GetValue().View() == part(expected.valueStart, expected.valueEnd));
    }
}

void WalkModel(const CParamFile& file, std::size_t seed) {
    const int sections = file.GetParamSectionSize();
    Check(file.GetParamSectionText(-1).IsEmpty() && file.GetParamSectionText(sections).IsEmpty());
    for (int s = 0; s < sections; ++s) {
        Check(!file.GetParamSectionText(s).IsEmpty());
    }
    for (int s : Picks(sections, seed)) {
        const CComString section = file.GetParamSectionText(s);
        const CParamKey* keys = file.GetParamKeyObject(section);
        Check(keys != nullptr && keys->GetSectionName().CompareNoCase(section) == 0);
        CheckSection(file, section, *keys, seed / 7);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::resources::ScopedResource text("INI", 145,
                                                   std::span<const std::uint8_t>(data, size));
    std::size_t seed = size;
    for (std::size_t i = 0; i < std::min<std::size_t>(size, 8); ++i) {
        seed = seed * 131 + data[i];
    }
    CheckSplits(std::string_view(reinterpret_cast<const char*>(data), size));
    CParamFile file;
    file.LoadParamSection("Loader_Update");
    WalkModel(file, seed);

    // Section names taken from the input itself, short and as long as a lookup takes (longer
    // ones come from the text's own headers); each appended list is reached through its name
    // unless an earlier section of that name hides it.
    const char* chars = reinterpret_cast<const char*>(data);
    for (std::size_t length :
         {std::size_t{1}, std::size_t{CParamResource::kMaxSectionNameLength}}) {
        const CComString name(chars, static_cast<int>(std::min(size, length)));
        Check(file.LoadParamKey(name) == 1);
        const CParamKey* keys = file.GetParamKeyObject(name);
        Check(keys != nullptr);
        CheckSection(file, name, *keys, seed + length);
    }

    // Raw scans, into full and into cramped areas. A text's load leaves nothing of the one before.
    static CParamResource resource;
    static std::vector<char> names(CParamResource::kSectionNamesSize);
    static std::vector<char> lines(CParamResource::kSectionLinesSize);
    const int used = resource.GetSectionNames(names, "Loader_Update");
    Check(used >= 0 && used <= CParamResource::kSectionNamesSize);
    Check(resource.Text().size() <= static_cast<std::size_t>(CParamResource::kMaxTextLength));
    std::vector<char> cramped(size % 64);
    Check(resource.GetSectionNames(cramped, "Loader_Update") <= static_cast<int>(cramped.size()));
    Check(resource.GetSectionLines(file.GetParamSectionText(0), cramped, "Loader_Update") <=
          static_cast<int>(cramped.size()));
    const CComString first = file.GetParamSectionText(0);
    const int lineBytes = resource.GetSectionLines(first, lines, "Loader_Update");
    Check(lineBytes >= 0 && static_cast<std::size_t>(lineBytes) <= resource.Text().size());
    // The model's first list has a pair for each line the scan copies, in order. Of the first line
    // and one the input picks, the key starts the line, and a line as short as those CheckSplits
    // takes splits into that pair (a long one's copies would cost more than the model's split).
    if (file.GetParamSectionSize() > 0) {
        const CParamKey& keys = *file.GetParamKeyObject(first);
        const std::size_t count = static_cast<std::size_t>(keys.GetParamKeySize());
        const int picked = count > 0 ? static_cast<int>(seed % count) : 0;
        std::string_view copied(lines.data(), static_cast<std::size_t>(lineBytes));
        int n = 0;
        for (; !copied.empty(); ++n) {
            const std::string_view line = copied.substr(0, copied.find('\0'));
            copied.remove_prefix(line.size() + 1);
            if (n == 0 || n == picked) {
                const CComString key = keys.GetParamKey(n);
                Check(line.starts_with(key.View()));
                if (line.size() <= kCheckedLength) {
                    const CKey split = CParamKey::SplitLine(line);
                    Check(split.GetKey() == key && split.GetValue() == keys.GetParamValue(n));
                }
            }
        }
        Check(n == keys.GetParamKeySize());
    }
    return 0;
}

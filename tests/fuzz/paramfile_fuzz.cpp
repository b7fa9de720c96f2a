// Lays arbitrary bytes over the loader script's text and walks the whole model built from it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Loader/common/ParamFile.h"
#include "platform/resources/resources.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void WalkModel(const CParamFile& file) {
    for (int s = -1; s <= file.GetParamSectionSize(); ++s) {
        const CComString section = file.GetParamSectionText(s);
        const CParamKey* keys = file.GetParamKeyObject(section);
        const bool listed = s >= 0 && s < file.GetParamSectionSize();
        Check(!listed || (keys != nullptr && !section.IsEmpty()));
        const int count = file.GetParamKeySize(section);
        for (int i = -1; i <= count; ++i) {
            const CComString key = file.GetParamKeyText(section, i);
            const CComString value = file.GetParamValueText(section, i);
            Check(file.GetParamValueText(section, key).GetLength() >= 0);
            if (keys != nullptr) {
                Check(keys->GetParamKey(i) == key && keys->GetParamValue(i) == value);
                Check(keys->GetParamValue(key).GetLength() >= 0);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::resources::ScopedResource text("INI", 145,
                                                   std::span<const std::uint8_t>(data, size));
    CParamFile file;
    file.LoadParamSection("Loader_Update");
    WalkModel(file);

    // Section names taken from the input itself, short and over-long.
    const char* chars = reinterpret_cast<const char*>(data);
    for (std::size_t length :
         {std::size_t{1}, std::size_t{8}, std::size_t{61}, std::size_t{62}, std::size_t{200}}) {
        const CComString name(chars, static_cast<int>(std::min(size, length)));
        Check(file.LoadParamKey(name) == 1);
        Check(file.GetParamKeyObject(name) != nullptr);
        WalkModel(file);
    }

    // Raw scans, into full and into cramped areas.
    CParamResource resource;
    std::vector<char> names(CParamResource::kSectionNamesSize);
    std::vector<char> lines(CParamResource::kSectionLinesSize);
    const int used = resource.GetSectionNames(names, "Loader_Update");
    Check(used >= 0 && used <= CParamResource::kSectionNamesSize);
    Check(resource.Text().size() <= static_cast<std::size_t>(CParamResource::kMaxTextLength));
    std::vector<char> cramped(size % 64);
    Check(resource.GetSectionNames(cramped, "Loader_Update") <= static_cast<int>(cramped.size()));
    Check(resource.GetSectionLines(file.GetParamSectionText(0), cramped, "Loader_Update") <=
          static_cast<int>(cramped.size()));
    const int lineBytes =
        resource.GetSectionLines(file.GetParamSectionText(0), lines, "Loader_Update");
    Check(lineBytes >= 0 && static_cast<std::size_t>(lineBytes) <= resource.Text().size());
    return 0;
}

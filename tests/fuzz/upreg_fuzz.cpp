// The update manager's parsers of outside text: the server's version page and the store's times.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ZR40UpReg/UpRegStore.h"
#include "ZR40UpReg/VersionCheck.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    VersionPage page;
    if (ParseVersionPage(text, page)) {
        Check(page.strDateCode.size() == 6 && page.strName.size() == 7);
        const std::string_view seen = text.substr(0, kVersionPageMax);
        Check(seen.find("VerDate=" + page.strDateCode) != std::string_view::npos);
        Check(seen.find("VerName=" + page.strName) != std::string_view::npos);
        Check(DateCodeNumber(page.strDateCode) <= 999'999);
    } else {
        Check(page.strDateCode.empty() && page.strName.empty());
    }
    Check(DateCodeNumber(text) >= 0);

    const std::string stored(text.substr(0, 32));
    if (ParseStoredTime(stored)) {
        Check(stored.size() == 14 && stored.find_first_not_of("0123456789") == std::string::npos);
    }
    return 0;
}

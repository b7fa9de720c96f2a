// The update manager's parsers of outside text: the server's version page, the store's times,
// and the device's answer to the version request with the date code in it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ZR40UpReg/UpRegStore.h"
#include "ZR40UpReg/VersionCheck.h"
#include "sim/devsim/NormalPort.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

bool Printable(char c) {
    return c >= 0x20 && c <= 0x7E;
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
        // The page as the server double writes it gives the same values.
        VersionPage again;
        Check(ParseVersionPage("VerDate=" + page.strDateCode + "&VerName=" + page.strName, again) &&
              again.strDateCode == page.strDateCode && again.strName == page.strName);
    } else {
        Check(page.strDateCode.empty() && page.strName.empty());
    }
    const long number = DateCodeNumber(text);
    Check(number >= 0 && DateCodeNumber(std::to_string(number)) == number);

    const std::string stored(text.substr(0, 32));
    if (ParseStoredTime(stored)) {
        Check(stored.size() == 14 && stored.find_first_not_of("0123456789") == std::string::npos);
    }

    // The version answer: a whole one gives six printable characters, and the simulator's answer
    // for them gives them back.
    const std::string code = DateCodeInAnswer(std::span<const std::uint8_t>(data, size));
    if (size < kVersionAnswerBytes) {
        Check(code.empty());
    } else {
        Check(code.size() == 6 && std::ranges::all_of(code, Printable));
        const sim::devsim::Bytes answer = sim::devsim::BuildVersionAnswer(code);
        Check(answer.size() == kVersionAnswerBytes && DateCodeInAnswer(answer) == code);
    }
    return 0;
}

// Image downloads of parallel sections: they share the run's work buffers.
#include <gmock/gmock.h>

#include "tests/script/engine/EngineTestSupport.h"

namespace enginetest {
namespace {

using Result = CLoaderRun::Result;

// A text image of `lines` lines of `width` bytes, each line telling its section and number.
std::string TextImage(char section, int lines, int width) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        std::string line = section + std::to_string(i);
        line.resize(static_cast<std::size_t>(width), section);
        text += line + "\n";
    }
    return text;
}

std::span<const std::uint8_t> Span(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Both openers copy their image through ImageBuffer at the same moment; under TSan an unguarded
// staging area is a reported race, and without TSan the lines must still go out whole.
TEST_F(RunTest, TwoSectionsDownloadImagesAtOnceWithoutSharingTheStagingUnguarded) {
    constexpr int kLines = 96;
    constexpr int kRows = 6;
    const std::string imageA = TextImage('a', kLines, 1000);
    const std::string imageB = TextImage('b', kLines, 1000);
    platform::resources::ScopedResource psImage("DATA", 151, Span(imageA));  // C_PS
    platform::resources::ScopedResource l1Image("DATA", 162, Span(imageB));  // C_L1
    std::string script = "[GLOBAL]\nWaitSection=SEC_A,SEC_B\n[SEC_A]\n";
    for (int i = 0; i < kRows; ++i) {
        script += "DBB_D2_File=DATA\\C_PS\\ps.txt,1\n";
    }
    script += "[SEC_B]\n";
    for (int i = 0; i < kRows; ++i) {
        script += "DBB_D2_File=DATA\\C_L1\\l1.txt,1\n";
    }
    EXPECT_EQ(RunScript(script), Result::kSucceeded);

    std::map<char, int> next;  // per section, the number of lines seen so far
    for (const Bytes& write : port->Writes()) {
        ASSERT_FALSE(write.empty());
        const char section = static_cast<char>(write[0]);
        const int n = next[section]++;
        const std::string& image = section == 'a' ? imageA : imageB;
        const std::size_t at = static_cast<std::size_t>(n % kLines) * 1001;
        ASSERT_EQ(std::string(write.begin(), write.end()), image.substr(at, 1000)) << section << n;
    }
    EXPECT_EQ(next['a'], kLines * kRows);
    EXPECT_EQ(next['b'], kLines * kRows);
}

}  // namespace
}  // namespace enginetest

#include "platform/resources/resources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace res = platform::resources;

namespace {

std::string text(const std::optional<res::Bytes>& b) {
    return b ? std::string(reinterpret_cast<const char*>(b->data()), b->size()) : "<none>";
}

}  // namespace

TEST(Resources, TextsAreCodePage932WithCrLf) {
    // "[表示]\nKey=値\n" in UTF-8 becomes CP932 with CR LF line ends.
    EXPECT_EQ(text(res::Find("INI", 7)), "[\x95\x5C\x8E\xA6]\r\nKey=\x92\x6C\r\n");
}

TEST(Resources, TypesCompareWithoutCaseAndMissingIsEmpty) {
    EXPECT_TRUE(res::Find("ini", 7).has_value());
    EXPECT_FALSE(res::Find("INI", 8).has_value());
    EXPECT_FALSE(res::Find("DATA", 7).has_value());
    EXPECT_EQ(res::Numbers("data"), std::vector<int>{9});
}

TEST(Resources, BinaryIsLinkedUnchanged) {
    EXPECT_EQ(text(res::Find("DATA", 9)), std::string("\x00\x01\x02\xff", 4));
}

TEST(Resources, StringTableResolvesEscapes) {
    EXPECT_EQ(res::LoadString(5), "\x89\xFC\x8D\x73\n\x82\xA0\x82\xE8\t\\");
    EXPECT_EQ(res::LoadString(6), "plain");
    EXPECT_TRUE(res::LoadString(7).empty());
}

TEST(Resources, ScopedResourceOverridesUntilDestroyed) {
    static const std::uint8_t replacement[] = {'x', 'y'};
    {
        res::ScopedResource over("INI", 7, replacement);
        EXPECT_EQ(text(res::Find("INI", 7)), "xy");
        res::ScopedResource added("INI", 70, replacement);
        EXPECT_EQ(res::Numbers("INI"), (std::vector<int>{7, 70}));
    }
    EXPECT_EQ(text(res::Find("INI", 7)).substr(0, 1), "[");
    EXPECT_FALSE(res::Find("INI", 70).has_value());
}

// The resource compiler refuses what would otherwise fail at run time.
class ResourceCompiler : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("zr-rescomp-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    int compile(const std::string& manifest, const std::string& file, const std::string& body) {
        std::ofstream(dir_ / "m.txt") << manifest;
        std::ofstream(dir_ / file, std::ios::binary) << body;
        std::string cmd = std::string(ZR_RESCOMP) + " " + (dir_ / "m.txt").string() + " " +
                          dir_.string() + " " + (dir_ / "out").string() + " t >/dev/null 2>&1";
        return std::system(cmd.c_str());
    }

    std::filesystem::path dir_;
};

TEST_F(ResourceCompiler, TextOverItsLimitFails) {
    // Three lines of "ab\n" grow to 12 bytes with CR LF: the limit applies to the embedded form.
    EXPECT_NE(compile("INI 1 text a.ini max=11\n", "a.ini", "ab\nab\nab\n"), 0);
    EXPECT_EQ(compile("INI 1 text a.ini max=12\n", "a.ini", "ab\nab\nab\n"), 0);
}

TEST_F(ResourceCompiler, CharacterWithoutCp932FormFails) {
    EXPECT_NE(compile("INI 1 text a.ini\n", "a.ini", "\xF0\x9F\x98\x80\n"), 0);  // emoji
}

TEST_F(ResourceCompiler, DuplicateStringIdAndBadEscapeFail) {
    EXPECT_NE(compile("STRING - strings s.txt\n", "s.txt", "1\ta\n1\tb\n"), 0);
    EXPECT_NE(compile("STRING - strings s.txt\n", "s.txt", "1\ta\\q\n"), 0);
    EXPECT_EQ(compile("STRING - strings s.txt\n", "s.txt", "1\ta\n2\tb\n"), 0);
}

TEST_F(ResourceCompiler, MissingFileFails) {
    EXPECT_NE(compile("DATA 1 binary nowhere.bin\n", "x", ""), 0);
}

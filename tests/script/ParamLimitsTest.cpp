#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/script/ScriptText.h"

namespace zrtest {
namespace {

// ---- Buffer limits: refused, never cut ------------------------------------------------------

// "[A]" with one pair, padded by a comment to exactly `size` bytes.
std::string TextOfSize(std::size_t size) {
    std::string text = "[A]\r\nk=1\r\n;";
    text += std::string(size - text.size() - 2, 'x');
    return text + "\r\n";
}

TEST_F(ParamFileTest, TextMustLeaveRoomForItsNul) {
    Lay(TextOfSize(CParamResource::kMaxTextLength));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(file.GetParamValueText("A", "k"), "1");

    // What follows the first NUL does not count.
    Lay("[A]\r\nk=2\r\n" + std::string(1, '\0') + TextOfSize(20000));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(file.GetParamValueText("A", "k"), "2");

    Lay(TextOfSize(CParamResource::kTextSize));
    EXPECT_EQ(file.LoadParamSection("Loader_Update"), 0);
    EXPECT_EQ(file.GetParamSectionSize(), 0);
    EXPECT_EQ(file.LoadParamKey("A"), 1);
    EXPECT_EQ(file.GetParamKeySize("A"), 0);
}

// Headers of 31-byte names (32 with the NUL), the last one longer to make up `total` bytes; the
// last section holds a pair.
std::string HeadersTakingBytes(int total) {
    std::string text;
    const int count = total / 32;
    for (int i = 0; i < count; ++i) {
        const int length = (i == count - 1) ? 31 + total % 32 : 31;
        std::array<char, 80> name{};
        std::snprintf(name.data(), name.size(), "S%0*d", length - 1, i);
        text += "[" + std::string(name.data()) + "]\r\n";
    }
    return text + "k=v\r\n";
}

TEST_F(ParamFileTest, AnEmptyTextWithNoBytesBehindItHasNoSections) {
    Lay("[A]\r\nk=1\r\n");
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    const platform::resources::ScopedResource empty("INI", 145, {});
    EXPECT_EQ(file.LoadParamSection("Loader_Update"), 0);
    EXPECT_EQ(file.GetParamSectionSize(), 0);
    EXPECT_EQ(file.GetParamKeyObject("A"), nullptr);
}

TEST_F(ParamFileTest, SectionNamesMustFitTheirArea) {
    Lay(HeadersTakingBytes(CParamResource::kSectionNamesSize));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    ASSERT_EQ(file.GetParamSectionSize(), 64);
    EXPECT_EQ(file.GetParamValueText(file.GetParamSectionText(63), "k"), "v");

    Lay(HeadersTakingBytes(CParamResource::kSectionNamesSize + 1));
    EXPECT_EQ(file.LoadParamSection("Loader_Update"), 0);
    EXPECT_EQ(file.GetParamSectionSize(), 0);

    // Raw scans into a smaller area are refused the same way and leave it cleared.
    Lay(Crlf("[A]\n[B]\nk=1\nk=2\n"));
    CParamResource resource;
    std::array<char, 4> exact{};
    EXPECT_EQ(resource.GetSectionNames(exact, "Loader_Update"), 4);
    std::array<char, 3> small{'?', '?', '?'};
    EXPECT_EQ(resource.GetSectionNames(small, "Loader_Update"), 0);
    EXPECT_EQ(small, (std::array<char, 3>{}));
    small.fill('?');
    EXPECT_EQ(resource.GetSectionLines("B", small, "Loader_Update"), 0);
    EXPECT_EQ(small, (std::array<char, 3>{}));
}

TEST_F(ParamFileTest, SectionNamesOverTheLookupLimitGetEmptyKeyLists) {
    const CComString fits(std::string(CParamResource::kMaxSectionNameLength, 'N'));
    const CComString tooLong(std::string(CParamResource::kMaxSectionNameLength + 1, 'L'));
    ASSERT_EQ(Load("[" + fits.Str() + "]\nk=1\n[" + tooLong.Str() + "]\nk=2\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{fits, tooLong}));
    EXPECT_EQ(file.GetParamValueText(fits, "k"), "1");
    ASSERT_NE(file.GetParamKeyObject(tooLong), nullptr);
    EXPECT_EQ(file.GetParamKeySize(tooLong), 0);

    CParamResource resource;
    std::vector<char> lines(CParamResource::kSectionLinesSize);
    EXPECT_EQ(resource.GetSectionLines(tooLong, lines, "Loader_Update"), 0);
    EXPECT_EQ(resource.GetSectionLines(fits, lines, "Loader_Update"), 4);
}

// ---- Double-byte characters -----------------------------------------------------------------

TEST_F(ParamFileTest, TrailBytesAreNeitherGenNorDelimiters) {
    // エ is 83 47: "エEN" holds the bytes "GEN" but not the characters.
    Lay(Cp932("[S]\nVER=エEN A B\nVER2=エ GEN B\nウクエ=x y\n"));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    ASSERT_EQ(file.GetParamKeySize("S"), 3);
    EXPECT_EQ(file.GetParamValueText("S", 0), CComString::FromUtf8("エEN"));
    EXPECT_EQ(file.GetParamValueText("S", 1), CComString::FromUtf8("エ GEN B"));
    EXPECT_EQ(file.GetParamKeyText("S", 2), CComString::FromUtf8("ウクエ"));
    EXPECT_EQ(file.GetParamValueText("S", 2), "x");
}

TEST_F(ParamFileTest, BracketTrailBytesStayInsideNames) {
    // ゼ is 83 5B, ゾ is 83 5D and ー is 81 5B.
    Lay(Cp932("[ゼロ]\nキー=値\n[ゾ]\nゼ=ー\n"));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(SectionNames(),
              (std::vector<CComString>{CComString::FromUtf8("ゼロ"), CComString::FromUtf8("ゾ")}));
    EXPECT_EQ(file.GetParamValueText(CComString::FromUtf8("ゼロ"), CComString::FromUtf8("キー")),
              CComString::FromUtf8("値"));
    EXPECT_EQ(file.GetParamValueText(CComString::FromUtf8("ゾ"), 0), CComString::FromUtf8("ー"));
}

TEST_F(ParamFileTest, UnclosedHeaderDropsAWholeDoubleByteCharacter) {
    Lay(Cp932("[名前\n[A]\n"));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{CComString::FromUtf8("名"), "A"}));

    Lay(Cp932("[名\n[A]\n"));  // one character without bracket: an empty name
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(file.GetParamSectionSize(), 0);
}

TEST_F(ParamFileTest, DoubleByteLettersFoldInLookups) {
    Lay(Cp932("[ｕｓｂ]\nＢｌｋ=1\n"));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(
        file.GetParamValueText(CComString::FromUtf8("ＵＳＢ"), CComString::FromUtf8("ＢＬＫ")),
        "1");
}

}  // namespace
}  // namespace zrtest

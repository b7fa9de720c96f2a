#include "Loader/common/ComString.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// CP932 characters whose trail byte is an ASCII character.
constexpr const char* kHyo = "\x95\x5C";        // 表, trail '\'
constexpr const char* kKatakanaA = "\x83\x41";  // ア, trail 'A'
constexpr const char* kWideB = "\x82\x61";      // Ｂ, trail 'a'
constexpr const char* kPo = "\x83\x7C";         // ポ, trail '|'

TEST(Cp932, TrailBytesAreNotCharacters) {
    CComString s = CComString(kKatakanaA) + "A";
    EXPECT_EQ(s.Find('A'), 2);
    EXPECT_EQ(s.ReverseFind('A'), 2);
    EXPECT_EQ(CComString(kKatakanaA).Find('A'), -1);
    EXPECT_EQ(CComString(kKatakanaA).Find("A"), -1);
    EXPECT_EQ((CComString("x") + kKatakanaA + "A").Find("A", 1), 3);
    EXPECT_EQ(CComString(kHyo).ReverseFind('\\'), -1);
    EXPECT_EQ(CComString(kHyo).Find(std::string_view("\x5C")), -1);

    CComString path = CComString("DATA\\") + kHyo;
    EXPECT_EQ(path.GetFileName(), CComString(kHyo));
    EXPECT_EQ(path.GetDirectory(), "DATA");
    EXPECT_EQ(CComString(kHyo).GetFileName(), CComString(kHyo));
    EXPECT_EQ(CComString(kHyo).GetDirectory(), "");

    CComStringArray parts = (CComString(kPo) + "|x").Split('|');
    ASSERT_EQ(parts.GetSize(), 2);
    EXPECT_EQ(parts[0], CComString(kPo));

    CComString r = CComString(kHyo) + "\\";
    EXPECT_EQ(r.Replace("\\", "/"), 1);
    EXPECT_EQ(r, CComString(kHyo) + "/");
}

TEST(Cp932, CaseMappingLeavesTrailBytesAlone) {
    CComString up = CComString(kWideB) + "b";
    up.MakeUpper();
    EXPECT_EQ(up, CComString(kWideB) + "B");
    CComString low = CComString(kKatakanaA) + "\x82\x60";  // ア Ａ
    low.MakeLower();
    EXPECT_EQ(low, CComString(kKatakanaA) + "\x82\x81");  // ア ａ

    // fullwidth, Greek, Cyrillic (both sides of the skipped 0x7F trail)
    EXPECT_EQ(CComString("\x82\x81\x82\x9A"
                         "abc")
                  .CompareNoCase("\x82\x60\x82\x79"
                                 "ABC"),
              0);
    EXPECT_EQ(CComString("\x83\xBF\x83\xD6").CompareNoCase("\x83\x9F\x83\xB6"), 0);
    EXPECT_EQ(CComString("\x84\x70\x84\x7E\x84\x80\x84\x91")
                  .CompareNoCase("\x84\x40\x84\x4E\x84\x4F\x84\x60"),
              0);
    EXPECT_NE(CComString("\x83\x40").CompareNoCase("\x83\x41"), 0);  // ァ / ア are no case pair
    EXPECT_LT(CComString("abc").CompareNoCase("ABD"), 0);
}

// Long runs of ASCII are mapped eight bytes at a time: every ASCII byte, at every position
// of a word and after double-byte characters that shift the words, maps as the single-byte rule
// says, and the double-byte characters keep their trail bytes.
TEST(Cp932, CaseMappingOfLongTextsMatchesTheRuleForEveryByte) {
    std::string ascii;
    for (int c = 1; c < 0x80; ++c) {
        ascii += static_cast<char>(c);
    }
    const auto upper = [](std::string text) {
        for (char& c : text) {
            c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        }
        return text;
    };
    const auto lower = [](std::string text) {
        for (char& c : text) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        }
        return text;
    };
    for (std::size_t shift = 0; shift < 9; ++shift) {
        const std::string text =
            ascii.substr(shift) + kWideB + ascii.substr(0, shift) + kKatakanaA + "\x82" + ascii;
        CComString up(text);
        up.MakeUpper();
        EXPECT_EQ(up.Str(), upper(ascii.substr(shift)) + kWideB + upper(ascii.substr(0, shift)) +
                                kKatakanaA + "\x82" + upper(ascii))
            << shift;
        CComString low(text);
        low.MakeLower();
        EXPECT_EQ(low.Str(), lower(ascii.substr(shift)) + "\x82\x82" +
                                 lower(ascii.substr(0, shift)) + kKatakanaA + "\x82" + lower(ascii))
            << shift;
        EXPECT_EQ(CComString(text).CompareNoCase(CComString(low.Str())), 0) << shift;
    }
}

TEST(Cp932, CompareNoCaseOrdersAsUpperCaseCopiesDo) {
    // Lone lead bytes, a lead byte before a NUL or an ASCII trail, bytes above 0x7F, prefixes.
    const std::vector<std::string_view> texts = {"",
                                                 "a",
                                                 "A",
                                                 "ab",
                                                 "\x82",
                                                 "\x82\x81",
                                                 "\x82\x60",
                                                 "\x82"
                                                 "a",
                                                 "\x82"
                                                 "A",
                                                 std::string_view("\x82\0a", 3),
                                                 "\x82\x81x",
                                                 "\x84\x80",
                                                 "\x84\x4F",
                                                 "a\x82",
                                                 "\xFF",
                                                 "z"};
    // The same after ASCII words compared eight bytes at a time: equal but for case, one shorter,
    // differing inside a word ('[' lies between the capitals and the small letters).
    // Past the 32 bytes a hash folds, equal again but for case, and with a double-byte
    // character across that end.
    const std::vector<std::string_view> prefixes = {"",
                                                    "Loader_UPDATE_ab",
                                                    "loader_update_AB",
                                                    "Loader[UPDATE_ab",
                                                    "loader_updatf_A",
                                                    "Loader_Update_Section_Name_31ch",
                                                    "LOADER_UPDATE_SECTION_NAME_31CH",
                                                    "\x82\x81oader_update_section_name_31c"};
    std::vector<std::string> all;
    for (std::string_view prefix : prefixes) {
        for (std::string_view text : texts) {
            all.push_back(std::string(prefix) + std::string(text));
        }
    }
    for (const std::string& a : all) {
        for (const std::string& b : all) {
            CComString upperA(a);
            CComString upperB(b);
            const int order = CComString(a).CompareNoCase(CComString(b));
            EXPECT_EQ(order, upperA.MakeUpper().Compare(upperB.MakeUpper()))
                << CComString(a).ToUtf8() << " / " << CComString(b).ToUtf8();
            if (order == 0) {
                EXPECT_EQ(CComString::HashNoCase(a), CComString::HashNoCase(b))
                    << CComString(a).ToUtf8() << " / " << CComString(b).ToUtf8();
            }
        }
    }
}

TEST(Cp932, Utf8Conversion) {
    EXPECT_EQ(CComString::FromUtf8("表ア"), CComString(kHyo) + kKatakanaA);
    EXPECT_EQ(CComString(std::string_view("\x95\x5C"
                                          "a"))
                  .ToUtf8(),
              "表a");
    EXPECT_EQ(CComString("a\x81").ToUtf8(), "a?");  // a lone lead byte at the end
    EXPECT_EQ(CComString::FromUtf8("a\xFF"
                                   "b"),
              "a?b");
    // ASCII, NUL included, is the same text in both.
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) {
        ascii += static_cast<char>(c);
    }
    EXPECT_EQ(CComString(std::string_view(ascii)).ToUtf8(), ascii);
    EXPECT_EQ(CComString::FromUtf8(ascii).Str(), ascii);
}

TEST(ComString, Numbers) {
    EXPECT_EQ(CComString("  -12ab").ToInt(), -12);
    EXPECT_EQ(CComString("\t+7").ToInt(), 7);
    EXPECT_EQ(CComString("x1").ToInt(), 0);
    EXPECT_EQ(CComString("-").ToInt(), 0);
    EXPECT_EQ(CComString("-2147483648").ToInt(), INT_MIN);
    EXPECT_EQ(CComString("4294967297").ToInt(), 1);  // wraps, no overflow trap
    EXPECT_EQ(CComString("-5").ToUInt(), 0u);
    EXPECT_EQ(CComString(" 4294967295").ToUInt(), 4294967295u);

    EXPECT_TRUE(CComString("00370037").IsNumeric(2));
    EXPECT_FALSE(CComString("0x10").IsNumeric(1));
    EXPECT_FALSE(CComString("12g").IsNumeric(2));
    EXPECT_TRUE(CComString("").IsNumeric(1));
    EXPECT_TRUE(CComString("zz").IsNumeric(3));

    EXPECT_EQ(CComString("e6b92000").ParseHex(), 0xE6B92000u);
    EXPECT_EQ(CComString("0X1fz9").ParseHex(), 0x1Fu);
    EXPECT_EQ(CComString("x1").ParseHex(), 0u);
    EXPECT_EQ(CComString("123456789").ParseHex(), 0x23456789u);
}

TEST(ComString, HexBytes) {
    EXPECT_EQ(CComString::HexByte("ff", 2), 0xFF);
    EXPECT_EQ(CComString::HexByte("Ax", 2), 0xA0);
    EXPECT_EQ(CComString::HexByte("xA", 2), 0x00);
    EXPECT_EQ(CComString::HexByte("AB", 1), 0xA0);  // never reads past what is available
    EXPECT_EQ(CComString::HexByte("AB", 0), 0x00);

    std::vector<unsigned char> buf(10, 0xEE);
    CComString("FF55").HexToBytes(buf.data(), 10);
    EXPECT_EQ(buf, (std::vector<unsigned char>{0xFF, 0x55, 0, 0, 0, 0, 0, 0, 0, 0}));

    std::vector<unsigned char> odd(3, 0xEE);
    CComString("ABC").HexToBytes(odd.data(), 3);
    EXPECT_EQ(odd, (std::vector<unsigned char>{0xAB, 0xC0, 0x00}));

    std::vector<unsigned char> small(2, 0xEE);  // exact size: a write past it trips ASan
    CComString("AABBCCDD").HexToBytes(small.data(), 2);
    EXPECT_EQ(small, (std::vector<unsigned char>{0xAA, 0xBB}));

    const unsigned char bytes[] = {0x0A, 0xFF, 0x00};
    EXPECT_EQ(CComString::BytesToHex(bytes, 3), "0AFF00");
}

TEST(ComString, SplitKeepsEveryField) {
    auto fields = [](const char* text) {
        std::vector<std::string> out;
        for (const CComString& s : CComString(text).Split(',')) {
            out.push_back(s.Str());
        }
        return out;
    };
    EXPECT_EQ(fields("4442,2805,12,00370037"),
              (std::vector<std::string>{"4442", "2805", "12", "00370037"}));
    EXPECT_EQ(fields(""), (std::vector<std::string>{""}));
    EXPECT_EQ(fields("a,,b,"), (std::vector<std::string>{"a", "", "b", ""}));
}

TEST(ComString, SubstringsAndEditing) {
    CComString s("abc");
    EXPECT_EQ(s.Mid(1, 100), "bc");
    EXPECT_EQ(s.Mid(-1, 2), "ab");
    EXPECT_EQ(s.Mid(5), "");
    EXPECT_EQ(s.Mid(1, -1), "");
    EXPECT_EQ(s.Left(10), "abc");
    EXPECT_EQ(s.Right(2), "bc");
    EXPECT_EQ(s.Right(-1), "");
    EXPECT_EQ(s.GetAt(3), '\0');
    EXPECT_EQ(s[-1], '\0');
    EXPECT_EQ(s.Find('c', 5), -1);
    EXPECT_EQ(s.Find("", 5), -1);

    CComString t(" \t\r\nab c \r\n");
    EXPECT_EQ(t.Trim(), "ab c");
    CComString u("aXbXXc");
    EXPECT_EQ(u.Replace("X", "--"), 3);
    EXPECT_EQ(u, "a--b----c");
    EXPECT_EQ(u.Replace("", "z"), 0);

    CComString f;
    f.Format("%s-%05d", std::string(300, 'x').c_str(), 42);
    EXPECT_EQ(f.GetLength(), 306);
    EXPECT_EQ(f.Right(6), "-00042");
    EXPECT_EQ(CComString("a\0b", 3).GetLength(), 3);
    EXPECT_EQ(CComString(static_cast<const char*>(nullptr)), "");
}

TEST(ComString, ComparisonIsBytewiseUnsigned) {
    EXPECT_GT(CComString("\x81").Compare("a"), 0);
    EXPECT_TRUE(CComString("a") < CComString("\x81"));
    EXPECT_TRUE(CComString("a") != "b");
    EXPECT_TRUE("a" == CComString("a"));
    EXPECT_EQ(CComString("ab") + 'c' + "d" + CComString("e"), "abcde");
}

TEST(ComStringArray, OutOfRangeIsHarmless) {
    CComStringArray a;
    a.Add("x");
    a.InsertAt(99, "end");
    a.InsertAt(-5, "start");
    EXPECT_EQ(a.GetAt(0) + a.GetAt(1) + a.GetAt(2), "startxend");

    const CComStringArray& ca = a;
    EXPECT_EQ(a.GetAt(-1), "");
    EXPECT_EQ(ca[3], "");
    a[7] = "lost";
    EXPECT_EQ(a[7], "");
    a.SetAt(3, "no");
    a.RemoveAt(3);
    EXPECT_EQ(a.GetSize(), 3);

    CComStringArray copy(a);
    copy.SetAt(0, "changed");
    EXPECT_EQ(a[0], "start");
}

}  // namespace

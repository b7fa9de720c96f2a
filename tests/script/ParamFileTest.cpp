#include <ostream>
#include <string>
#include <vector>

#include "tests/script/ScriptText.h"

namespace zrtest {
namespace {

// ---- Splitting one line into key and value --------------------------------------------------

struct SplitCase {
    const char* line;
    const char* key;
    const char* value;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << '"' << c.line << '"';
}

class SplitLineTest : public ParamFileTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitLineTest, GivesOnePair) {
    const SplitCase& c = GetParam();
    ASSERT_EQ(Load(std::string("[S]\n") + c.line + "\n"), 1);
    // Whatever follows a space that ended the value never becomes a pair of its own.
    ASSERT_EQ(file.GetParamKeySize("S"), 1);
    EXPECT_EQ(file.GetParamKeyText("S", 0), c.key);
    EXPECT_EQ(file.GetParamValueText("S", 0), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitLineTest,
    ::testing::Values(
        SplitCase{"Port=open", "Port", "open"},
        SplitCase{"DBB_D2_SETVERSIONFROMFILE =latest", "DBB_D2_SETVERSIONFROMFILE", "latest"},
        SplitCase{"KEY = value", "KEY", "value"}, SplitCase{"Key= value", "Key", "value"},
        SplitCase{"Key=  value", "Key", " value"},
        SplitCase{"MAX = 0x17C00000", "MAX", "0x17C00000"},
        SplitCase{"DEVICE_NAME             = text with spaces", "DEVICE_NAME", "text with spaces"},
        SplitCase{"Title= A B", "Title", "A B"}, SplitCase{"Title=A B", "Title", "A"},
        SplitCase{"Title=A ", "Title", "A"},
        SplitCase{"GEN=QUORVEN V07R22C 110805", "GEN", "QUORVEN V07R22C 110805"},
        SplitCase{"VER=QUORVEN V07R22C", "VER", "QUORVEN"},
        SplitCase{"VER= QUORVEN V07R22C", "VER", "QUORVEN V07R22C"},
        SplitCase{"LABEL X=GEN 2 B", "LABEL X", "GEN 2 B"},  // "GEN" anywhere stops all cutting
        SplitCase{"Gen=a b", "Gen", "a"},                    // only capital "GEN" counts
        SplitCase{"Wait_DBB=4442,-1", "Wait_DBB", "4442,-1"}, SplitCase{"A=B=C", "A", "B=C"},
        SplitCase{"Key=", "Key", ""}, SplitCase{"=v", "", "v"}, SplitCase{" =value", "", "value"},
        SplitCase{"  Key=value", "", "value"},
        SplitCase{"\tKey\t=\tv", "\tKey\t", "\tv"},  // tabs are ordinary characters
        SplitCase{"RESET", "RESET", "RESET"}, SplitCase{"abc def", "abc", "abc"},
        SplitCase{" abc def", "", "abc def"}));

// ---- Scanning sections ----------------------------------------------------------------------

TEST_F(ParamFileTest, ScriptSectionKeepsRepeatedKeysInFileOrder) {
    ASSERT_EQ(Load("[GLOBAL]\nPort=open\nCMD=A\nTimer=5\nPort=close\nCMD=B\n"), 1);
    const CParamKey* global = file.GetParamKeyObject("GLOBAL");
    ASSERT_NE(global, nullptr);
    ASSERT_EQ(global->GetParamKeySize(), 5);
    const char* keys[] = {"Port", "CMD", "Timer", "Port", "CMD"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(global->GetParamKey(i), keys[i]);
    }
    EXPECT_EQ(global->GetParamValue("CMD"), "A");
    EXPECT_EQ(global->GetParamValue(4), "B");
    for (int bad : {5, -1}) {  // negative indexes are out of range like any other
        EXPECT_EQ(global->GetParamKey(bad), "");
        EXPECT_EQ(global->GetParamValue(bad), "");
        EXPECT_EQ(file.GetParamValueText("GLOBAL", bad), "");
        EXPECT_EQ(file.GetParamKeyText("GLOBAL", bad), "");
        EXPECT_EQ(file.GetParamSectionText(bad), "");
    }
}

TEST_F(ParamFileTest, SectionEndsAtNextHeaderAndSkipsCommentsAndEmptyLines) {
    ASSERT_EQ(Load("; head\n\n[A]\n;c\n\nx=1\n ;kept\n\n[B]\n;only\n\n[C]\ny=2\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"A", "B", "C"}));
    ASSERT_EQ(file.GetParamKeySize("A"), 2);
    EXPECT_EQ(file.GetParamValueText("A", 1), ";kept");  // a leading space is part of the line
    EXPECT_EQ(file.GetParamKeySize("B"), 0);
    EXPECT_EQ(file.GetParamValueText("C", "y"), "2");

    Lay(Crlf("[A]\n;c\n\n  x = 1\t\ny\n[B]\nz\n"));
    CParamResource resource;
    std::vector<char> lines(CParamResource::kSectionLinesSize);
    const int used = resource.GetSectionLines("A", lines, "Loader_Update");
    EXPECT_EQ(std::string(lines.data(), static_cast<std::size_t>(used)),
              std::string("  x = 1\t\0y\0", 11));
    EXPECT_EQ(resource.GetSectionLines("a", lines, "Loader_Update"), 0);  // case-sensitive
}

TEST_F(ParamFileTest, HeaderPatternCountsAtItsFirstOccurrenceAnywhere) {
    ASSERT_EQ(Load(";[GLOBAL] moved\n[GLOBAL]\nCMD=A\n[X]\nnote=see [B] here\nk=1\n[B]\nm=2\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"GLOBAL", "X", "B"}));
    EXPECT_EQ(file.GetParamKeySize("GLOBAL"), 0);
    ASSERT_EQ(file.GetParamKeySize("B"), 1);
    EXPECT_EQ(file.GetParamKeyText("B", 0), "k");
    ASSERT_EQ(file.GetParamKeySize("X"), 2);
    EXPECT_EQ(file.GetParamValueText("X", "k"), "1");

    // A list whose lines end another's, read before that one: both split every line they read.
    ASSERT_EQ(Load(";see [X]\nnote=see [Y] here\nk=1\n[Y]\nm=2\n[X]\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"Y", "X"}));
    ASSERT_EQ(file.GetParamKeySize("Y"), 1);
    EXPECT_EQ(file.GetParamValueText("Y", 0), "1");
    ASSERT_EQ(file.GetParamKeySize("X"), 2);
    EXPECT_EQ(file.GetParamKeyText("X", 0), "note");
    EXPECT_EQ(file.GetParamValueText("X", 0), "see");
    EXPECT_EQ(file.GetParamValueText("X", "K"), "1");
}

TEST_F(ParamFileTest, HeaderNames) {
    // Only the last character is dropped; only the first column opens a header.
    ASSERT_EQ(Load("[SUM]  \nA=1\n [X]\n\t[Y]\n[TAB]\t\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"SUM] ", "TAB]"}));
    ASSERT_NE(file.GetParamKeyObject("SUM] "), nullptr);
    EXPECT_EQ(file.GetParamKeySize("SUM] "), 0);

    // An empty name ends the list.
    ASSERT_EQ(Load("[A]\nx=1\n[]\n[B]\ny=2\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"A"}));
    EXPECT_EQ(file.GetParamKeyObject("B"), nullptr);
    ASSERT_EQ(Load("[A]\n[C\n[B]\n"), 1);  // one character, no bracket
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"A"}));
    EXPECT_EQ(Load("[]\n[A]\nx=1\n"), 1);
    EXPECT_EQ(file.GetParamSectionSize(), 0);
    EXPECT_EQ(file.GetParamKeyObject("A"), nullptr);
}

TEST_F(ParamFileTest, LineAndTextEnds) {
    ASSERT_EQ(Load("[S]\nPort=open\nTimer=5"), 1);  // a last line without CR LF is not seen
    EXPECT_EQ(file.GetParamKeySize("S"), 1);
    ASSERT_EQ(Load("[A]\nx=1\n[B]"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"A"}));

    Lay("[A]\r!x=1\r!y=2\r");  // the byte after CR is not looked at, nor read past the end
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(file.GetParamValueText("A", "y"), "2");

    Lay(std::string("[A]\r\nx=1\r\n\0[B]\r\ny=2\r\n", 22));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"A"}));

    Lay("[A]\nx=1\n[B]\ny=2\n");  // LF only
    EXPECT_EQ(file.LoadParamSection("Loader_Update"), 0);
    EXPECT_EQ(file.GetParamSectionSize(), 0);
    EXPECT_EQ(file.GetParamKeyObject("A"), nullptr);
}

TEST_F(ParamFileTest, DuplicateSectionsAreListedTwiceAndBothReadTheFirst) {
    ASSERT_EQ(Load("[S]\nA=1\n[T]\n[s]\nA=2\nB=3\n"), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"S", "T", "s"}));
    EXPECT_EQ(file.GetParamValueText("S", "A"), "1");
    EXPECT_EQ(file.GetParamValueText("s", "A"), "1");  // lookups fold case: first wins
    EXPECT_EQ(file.GetParamValueText("s", "B"), "");
}

// ---- Loading and lookups --------------------------------------------------------------------

TEST_F(ParamFileTest, NamesAndKeysAreFoundWithoutRegardToCase) {
    ASSERT_EQ(Load("[global]\nCMD=A\n[USB]\nBlkSize=4096\nblksize=1\n"), 1);
    EXPECT_NE(file.GetParamKeyObject("GLOBAL"), nullptr);
    EXPECT_EQ(file.GetParamValueText("usb", "blksize"), "4096");
    EXPECT_EQ(file.GetParamValueText("usb", "missing"), "");
    EXPECT_EQ(file.GetParamValueText("missing", "blksize"), "");
    EXPECT_EQ(file.GetParamValueText("missing", 0), "");
    EXPECT_EQ(file.GetParamKeyText("missing", 0), "");
    EXPECT_EQ(file.GetParamKeySize("missing"), 0);

    // Full-width letters fold too, Greek ones as well; katakana have no case.
    Lay(Cp932("[ａｂ]\nk=1\n[α]\nk=2\n[ア]\nk=3\n"));
    ASSERT_EQ(file.LoadParamSection("Loader_Update"), 1);
    EXPECT_EQ(file.GetParamValueText(CComString::FromUtf8("ＡＢ"), "K"), "1");
    EXPECT_EQ(file.GetParamValueText(CComString::FromUtf8("Α"), "k"), "2");
    EXPECT_EQ(file.GetParamKeyObject(CComString::FromUtf8("ァ")), nullptr);
}

TEST_F(ParamFileTest, LogicalNamesSelectTheirTextsCaseSensitively) {
    const std::pair<const char*, int> names[] = {
        {"Loader_Update", 145}, {"Loader_Sum", 146}, {"Loader_Ini", 147}, {"Loader_Ver", 148}};
    for (const auto& [name, number] : names) {
        Lay(Crlf("[T" + std::to_string(number) + "]\nk=v\n"), number);
    }
    for (const auto& [name, number] : names) {
        ASSERT_EQ(file.LoadParamSection(name), 1) << name;
        EXPECT_EQ(SectionNames(), (std::vector<CComString>{CComString::Formatted("T%d", number)}));
    }
    EXPECT_EQ(file.LoadParamSection("loader_update"), 0);
    EXPECT_EQ(file.GetParamSectionSize(), 0);
}

TEST_F(ParamFileTest, ReloadingReplacesAndLoadParamKeyAppends) {
    ASSERT_EQ(Load("[A]\nx=1\n[B]\ny=2\n"), 1);
    Lay(Crlf("[X]\nq=0\n[C]\nz=3\nzz=4 5\n"), 148);
    ASSERT_EQ(file.LoadParamKey("C", "Loader_Ver"), 1);
    EXPECT_EQ(file.GetParamValueText("C", "z"), "3");
    EXPECT_EQ(file.GetParamKeyText("C", 1), "zz");
    EXPECT_EQ(file.GetParamValueText("C", 1), "4");
    EXPECT_EQ(file.LoadParamKey("Missing"), 1);  // the stored name: the loader script
    ASSERT_NE(file.GetParamKeyObject("missing"), nullptr);
    EXPECT_EQ(file.GetParamKeySize("Missing"), 0);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"A", "B"}));
    // Many appended lists, more than the lookup had room for: each is found, the first of a
    // name still wins.
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(file.LoadParamKey(CComString::Formatted("N%d", i), "Loader_Ver"), 1);
    }
    ASSERT_EQ(file.LoadParamKey("c", "Loader_Ver"), 1);
    for (int i = 0; i < 40; ++i) {
        EXPECT_NE(file.GetParamKeyObject(CComString::Formatted("n%d", i)), nullptr) << i;
    }
    EXPECT_EQ(file.GetParamKeyObject("c")->GetSectionName(), "C");
    EXPECT_EQ(file.GetParamValueText("A", "x"), "1");

    Lay(Crlf("[D]\nw=4\n"));
    ASSERT_EQ(file.LoadParamSection(), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"D"}));
    EXPECT_EQ(file.GetParamKeyObject("C"), nullptr);

    file.SetParamFileName("Loader_Ver");
    ASSERT_EQ(file.LoadParamSection(), 1);
    EXPECT_EQ(SectionNames(), (std::vector<CComString>{"X", "C"}));
}

}  // namespace
}  // namespace zrtest

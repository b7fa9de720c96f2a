// The data the update tool carries, read the way the tool reads it: the texts parse into what the
// loader needs, the script's erase ranges and checksum rows agree with the embedded images, and
// the images are the ones the generator wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "Loader/common/ComFile.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/common/ProductInfo.h"
#include "Loader/device/ImageWalker.h"
#include "Loader/device/Response.h"
#include "platform/resources/resources.h"
#include "sim/imagegen/ImageLayout.h"

namespace {

std::string_view textOf(const char* type, int number) {
    auto bytes = platform::resources::Find(type, number);
    if (!bytes) {
        return {};
    }
    return {reinterpret_cast<const char*>(bytes->data()), bytes->size()};
}

struct Row {
    std::string key;
    std::string value;
};

std::vector<Row> rows(const CParamFile& file, const char* section) {
    std::vector<Row> out;
    for (int i = 0; i < file.GetParamKeySize(section); ++i) {
        out.push_back(
            {file.GetParamKeyText(section, i).Str(), file.GetParamValueText(section, i).Str()});
    }
    return out;
}

}  // namespace

TEST(EmbeddedTexts, AreCrLfCodePage932WithinTheScanBuffer) {
    for (int number : {145, 146, 147, 148}) {
        SCOPED_TRACE(number);
        std::string_view text = textOf("INI", number);
        ASSERT_FALSE(text.empty());
        EXPECT_LE(text.size(), 10239u);
        EXPECT_EQ(text.find('\0'), std::string_view::npos);
        EXPECT_TRUE(text.ends_with("\r\n"));
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
            }
        }
        CComString cp932(text);
        EXPECT_EQ(CComString::FromUtf8(cp932.ToUtf8()), cp932) << "not clean code page 932";
    }
}

TEST(EmbeddedTexts, AllFourLoadByLogicalName) {
    for (const char* name : {"Loader_Update", "Loader_Sum", "Loader_Ini", "Loader_Ver"}) {
        CParamFile file;
        EXPECT_EQ(file.LoadParamSection(name), 1) << name;
        EXPECT_GT(file.GetParamSectionSize(), 0) << name;
    }
}

TEST(EmbeddedTexts, ConfigurationHoldsTheSettingsTheLoaderReads) {
    CParamFile ini;
    ASSERT_EQ(ini.LoadParamSection("Loader_Ini"), 1);
    EXPECT_EQ(ini.GetParamValueText("USB", "BlkSize"), "4096");
    EXPECT_EQ(ini.GetParamValueText("SYSTEM", "WaitTime"), "10");
    EXPECT_EQ(ini.GetParamValueText("MODULE_DATA_SIZE", "MAX").ParseHex(), 0x17C00000u);
    EXPECT_EQ(ini.GetParamValueText("PARAM_FILE", "DIR"), "Param");
    EXPECT_EQ(ini.GetParamValueText("COMSTDIO", "TOPADR").ParseHex(), 0xE6B92000u);
    EXPECT_EQ(ini.GetParamValueText("COMSTDIO", "ENDADR").ParseHex(), 0xE6B97FFFu);
    EXPECT_FALSE(ini.GetParamValueText("CONNECT_TYPE", "Type").IsEmpty());
    for (const char* key :
         {"Port", "BaudRat", "DataBit", "Parity", "StopBit", "Flow", "SendBuff", "RecvBuff"}) {
        EXPECT_FALSE(ini.GetParamValueText("COMPORT", key).IsEmpty()) << key;
    }
    // The one value with inner spaces survives the first-space rule because of the " = ".
    bool found = false;
    for (int s = 0; s < ini.GetParamSectionSize(); ++s) {
        CComString section = ini.GetParamSectionText(s);
        CComString name = ini.GetParamValueText(section, "DEVICE_NAME");
        if (!name.IsEmpty()) {
            found = true;
            EXPECT_NE(name.Find(' '), -1) << name.GetString();
        }
    }
    EXPECT_TRUE(found);
    for (const char* section : {"CONNECT_TYPE", "USB", "COMPORT", "PARAM_FILE", "VERSION_FILE",
                                "MOBILE_TYPE", "MODULE_NAME", "TURN_OF_MODULE", "MODULE_DATA_SIZE",
                                "SYSTEM", "COMSTDIO", "CHECKSUM_FILE"}) {
        EXPECT_NE(ini.GetParamKeyObject(section), nullptr) << section;
    }
}

TEST(EmbeddedTexts, VersionTableKeepsTheWholeGenValue) {
    CParamFile ver;
    ASSERT_EQ(ver.LoadParamSection("Loader_Ver"), 1);
    EXPECT_EQ(ver.GetParamValueText("latest", "GEN"), "QUORVEN V07R22C 110805");
    EXPECT_EQ(ver.GetParamValueText("latest", "C_L1"), "LTEL1_018");
    EXPECT_EQ(ver.GetParamValueText("latest", "C_L2"), "C_L2_F_031");
    EXPECT_EQ(ver.GetParamValueText("latest", "C_D2"), "C_D2_010");
    EXPECT_EQ(ver.GetParamValueText("latest", "C_USB"), "NONE");
    EXPECT_FALSE(ver.GetParamValueText("latest", "C_FSL").IsEmpty());
}

TEST(EmbeddedTexts, SumTableStartsWithItsVersionLine) {
    std::string_view text = textOf("INI", 146);
    std::string_view first = text.substr(0, text.find("\r\n"));
    ASSERT_GE(first.size(), 6u);
    EXPECT_TRUE(CComString(first.substr(0, 4)).IsNumeric(2));
    EXPECT_EQ(first[4], ';');
    CParamFile sum;
    ASSERT_EQ(sum.LoadParamSection("Loader_Sum"), 1);
    EXPECT_EQ(sum.GetParamSectionText(0), "SUM");
    EXPECT_EQ(sum.GetParamKeySize("SUM"), 14);
    EXPECT_EQ(sum.GetParamValueText("SUM", "C_LM1"), "0x2772");
    EXPECT_EQ(sum.GetParamValueText("SUM", "C_CD2"), "0x904F");
}

// The GLOBAL section, row by row.
TEST(LoaderScript, GlobalSectionRunsTheFullUpdateInOrder) {
    CParamFile script;
    ASSERT_EQ(script.LoadParamSection("Loader_Update"), 1);
    std::vector<Row> got = rows(script, "GLOBAL");

    std::vector<Row> want = {{"Port", "open"},
                             {"CMD", "FFFDEFFDEE6F000140FE"},
                             {"CMD", "ff550042000101fe"},
                             {"Timer", "5"},
                             {"Port", "close"},
                             {"Timer", "15"},
                             {"Port", "open"}};
    auto block = [&](const sim::image::Module& m, int seconds, const std::string& finish,
                     const std::string& sumName) {
        char erase[64];
        std::snprintf(erase, sizeof erase, "4442,%04X,12,%04X%04X", m.eraseCommand, m.firstBlock,
                      m.lastBlock);
        std::string name(m.name);
        want.push_back({"DBB_D2_CMD", erase});
        want.push_back({"Wait_DBB", "4442,-1"});
        want.push_back(
            {"DBB_LM_File", "DATA\\" + name + "\\QRV_" + name + ".cvt," + std::to_string(seconds)});
        want.push_back({"DBB_D2_CMD", "4442," + finish + ",8"});
        want.push_back({"Wait_DBB", "4442,-1"});
        if (!sumName.empty()) {
            want.push_back({"DBB_Checksum", sumName + ",10,1"});
        }
    };
    const std::map<std::string, std::string> finishes = {{"U_LM", "2507"}, {"U_BDSP", "2607"}};
    for (const auto& m : sim::image::kModules) {
        std::string name(m.name);
        if (name == "C_USB") {
            want.push_back({"DBB_D2_SETVERSIONFROMFILE", "latest"});
            want.push_back({"Wait_DBB", "4442,10"});
            block(m, 120, "2C07", "");
            continue;
        }
        int seconds = name == "C_L2" ? 60 : name == "C_L1" ? 120 : 20;
        auto f = finishes.find(name);
        block(m, seconds, f == finishes.end() ? "0107" : f->second, std::string(m.sumKey));
    }
    want.push_back({"DBB_D2_CMD", "4442,000B,8"});
    want.push_back({"Port", "close"});

    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].key, want[i].key) << "row " << i + 1;
        EXPECT_EQ(got[i].value, want[i].value) << "row " << i + 1;
    }
    // The end request stays in the text, commented out, and no sequence markers run.
    EXPECT_NE(textOf("INI", 145).find("\r\n;DBB_D2_CMD=4442,0004,8\r\n"), std::string_view::npos);
    for (const Row& r : got) {
        EXPECT_NE(r.key, "LOADER_SEQ");
    }
}

namespace {

struct Walked {
    sim::image::ImageInfo info;
    std::uint16_t sum = 0;
    std::size_t frames = 0;
    std::uint32_t largest = 0;
    std::uint16_t command = 0;
};

Walked walk(std::span<const std::uint8_t> image) {
    Walked w;
    frames::CImageWalker walker(image);
    frames::ImageFrame frame;
    while (walker.Next(frame)) {
        auto payload = walker.Payload(frame);
        if (w.frames++ == 0) {
            w.info = sim::image::DecodeInfo(payload).value_or(sim::image::ImageInfo{});
            w.command = static_cast<std::uint16_t>(frame.command[0] << 8 | frame.command[1]);
        } else {
            w.sum = sim::image::Sum16(payload, w.sum);
        }
        w.largest = std::max(w.largest, frame.length);
    }
    EXPECT_EQ(walker.Error(), frames::WalkError::kNone);
    EXPECT_EQ(walker.Offset(), image.size());
    return w;
}

}  // namespace

// What the script erases, downloads and compares must be what the images hold.
TEST(LoaderScript, EraseRangesAndChecksumRowsMatchTheImages) {
    CParamFile script, sums;
    ASSERT_EQ(script.LoadParamSection("Loader_Update"), 1);
    ASSERT_EQ(sums.LoadParamSection("Loader_Sum"), 1);
    std::vector<Row> got = rows(script, "GLOBAL");

    std::vector<std::pair<std::uint32_t, std::uint32_t>> areas;
    int checked = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i].key != "DBB_LM_File") {
            continue;
        }
        CComString path = CComString(got[i].value).Split(',')[0];
        int row = FindModule("Param\\" + path);
        ASSERT_GE(row, 0) << path.GetString();
        SCOPED_TRACE(kComModuleTable[row].name);
        auto image =
            platform::resources::Find("DATA", static_cast<int>(kComModuleTable[row].resource));
        ASSERT_TRUE(image);
        Walked w = walk(*image);

        // The erase two rows above covers exactly the area the image writes.
        ASSERT_GE(i, 2u);
        CComStringArray erase = CComString(got[i - 2].value).Split(',');
        ASSERT_EQ(erase.GetSize(), 4);
        std::uint32_t first = CComString(erase[3].Left(4)).ParseHex();
        std::uint32_t last = CComString(erase[3].Mid(4)).ParseHex();
        EXPECT_EQ(w.info.startAddress, first * 0x10000u);
        EXPECT_LE(std::uint64_t{w.info.startAddress} + w.info.dataLength,
                  std::uint64_t{last + 1} * 0x10000u);
        EXPECT_EQ(w.command == 0x2A01, erase[1] == "2A05");
        for (auto [a, b] : areas) {
            EXPECT_TRUE(last < a || first > b) << "erase range overlaps another module's";
        }
        areas.emplace_back(first, last);

        // The checksum row after the finish compares against this image's sum.
        if (i + 3 < got.size() && got[i + 3].key == "DBB_Checksum") {
            CComString name = CComString(got[i + 3].value).Split(',')[0];
            CComString expected = sums.GetParamValueText("SUM", name);
            ASSERT_FALSE(expected.IsEmpty()) << name.GetString();
            EXPECT_EQ(expected.ParseHex(), w.sum) << name.GetString();
            ++checked;
        }
    }
    EXPECT_EQ(areas.size(), 13u);
    EXPECT_EQ(checked, 12);
}

TEST(EmbeddedImages, AreTheGeneratedFilesByteForByte) {
    const char* dir = std::getenv("ZR_IMAGE_DIR");
    if (dir == nullptr) {
        dir = ZR_IMAGE_DIR_BUILT;
    }
    std::uint32_t largest = 0;
    for (const auto& m : sim::image::kModules) {
        SCOPED_TRACE(std::string(m.name));
        int row = FindModule(CComString("Param\\DATA\\") + std::string(m.name).c_str());
        ASSERT_GE(row, 0);
        auto image =
            platform::resources::Find("DATA", static_cast<int>(kComModuleTable[row].resource));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size(), m.imageSize);
        std::ifstream in(std::string(dir) + "/" + m.FileName(), std::ios::binary);
        std::vector<char> file((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        ASSERT_EQ(file.size(), image->size());
        EXPECT_TRUE(
            std::equal(file.begin(), file.end(), image->begin(),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
        largest = std::max(largest, walk(*image).largest);
    }
    EXPECT_EQ(largest, 65560u);
    EXPECT_FALSE(platform::resources::Find("DATA", 163));
}

TEST(EmbeddedImages, OpenThroughTheModuleTableWithinTheWorkBuffer) {
    CParamFile ini;
    ASSERT_EQ(ini.LoadParamSection("Loader_Ini"), 1);
    std::uint32_t capacity = ini.GetParamValueText("MODULE_DATA_SIZE", "MAX").ParseHex();
    std::vector<unsigned char> work(20u << 20);
    CComFile file;
    file.SetCapacity(capacity);
    file.SetStaging(work.data(), static_cast<std::uint32_t>(work.size()));
    ExecError().Reset();
    ASSERT_EQ(file.Open("Param\\DATA\\C_USB\\QRV_C_USB.cvt"), 1);
    EXPECT_EQ(file.GetLength(), 11038536u);
    EXPECT_EQ(ExecError().ExecDetail.load(), 9);  // row of C_USB in the module table
    unsigned char head[8];
    ASSERT_EQ(file.Read(head, 8), 8u);
    EXPECT_EQ(std::vector<unsigned char>(head, head + 8),
              (std::vector<unsigned char>{0x44, 0x42, 0x28, 0x01, 0, 0, 0, 21}));
    file.Close();
}

TEST(EmbeddedStrings, DeviceErrorsAndRunMessagesHaveTheirTexts) {
    for (const auto& e : frames::kDeviceErrors) {
        EXPECT_FALSE(platform::resources::LoadString(e.messageId).empty()) << e.messageId;
    }
    EXPECT_EQ(CComString(frames::DeviceErrorText(-3)).ToUtf8(), "消去エラー");
    EXPECT_EQ(CComString(platform::resources::LoadString(208)).ToUtf8(),
              "ソフトウェア更新に失敗しました。\nアプリケーションを終了します。");
    EXPECT_EQ(CComString(platform::resources::LoadString(144)).ToUtf8(),
              "   --> 待ち時間タイムアウト ( %d 秒 )");
}

TEST(EmbeddedStrings, ProductInformationComesFromTheVersionResource) {
    CComProductInfo info;
    EXPECT_EQ(info.Get("ProductVersion"), "1.00");
    EXPECT_FALSE(info.Get("LegalCopyright").IsEmpty());
    EXPECT_EQ(info.Get("NoSuchKey"), "Unknown Keyword: NoSuchKey");
}

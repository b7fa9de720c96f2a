// The generated firmware images, read from ZR_IMAGE_DIR as the build left them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "Loader/device/ImageWalker.h"
#include "sim/imagegen/ImageLayout.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using sim::image::Module;

fs::path ImageDir() {
    const char* dir = std::getenv("ZR_IMAGE_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path(ZR_IMAGE_DIR_DEFAULT);
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the generator; returns its exit status, or -1 when it did not exit normally.
int RunGenerator(const std::string& args) {
    int status =
        std::system((std::string("'") + ZR_IMAGEGEN + "' " + args + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using testsupport::TempDir;

struct Shipped {
    const char* file;
    std::size_t size;
    std::uint16_t sum;
    std::uint8_t area;
    std::uint32_t firstBlock;
    std::uint32_t lastBlock;
    std::uint16_t erase;
    std::uint8_t command;  // first byte of every frame's command word (second is 0x01)
};

void PrintTo(const Shipped& s, std::ostream* os) {
    *os << s.file;
}

// The facts the loader script and the sum table rely on, written out independently.
const Shipped kShipped[] = {
    {"QRV_C_PS.cvt", 1984, 0x41F2, 0x08, 0x37, 0x37, 0x2805, 0x28},
    {"QRV_C_MDSP.cvt", 120523, 0x88B7, 0x02, 0x1E, 0x1F, 0x2805, 0x28},
    {"QRV_C_CDSP.cvt", 84358, 0x95A4, 0x03, 0x20, 0x21, 0x2805, 0x28},
    {"QRV_C_HDSP.cvt", 53624, 0xE3A5, 0x0D, 0x22, 0x22, 0x2805, 0x28},
    {"QRV_C_GDSP.cvt", 135418, 0x2B0A, 0x0E, 0x23, 0x25, 0x2805, 0x28},
    {"QRV_C_VDSP.cvt", 14282, 0xF9B1, 0x04, 0x26, 0x26, 0x2805, 0x28},
    {"QRV_C_EDSP.cvt", 71853, 0x9BF0, 0x0B, 0x27, 0x28, 0x2805, 0x28},
    {"QRV_C_RFIC.cvt", 105982, 0xEE23, 0x0F, 0x29, 0x2A, 0x2805, 0x28},
    {"QRV_C_L2.cvt", 12204, 0xE1BC, 0x07, 0x38, 0x38, 0x2805, 0x28},
    {"QRV_C_L1.cvt", 7705468, 0x2772, 0x01, 0xD8, 0x155, 0x2805, 0x28},
    {"QRV_U_LM.cvt", 324490, 0x09B2, 0x25, 0x160, 0x164, 0x2A05, 0x2A},
    {"QRV_U_BDSP.cvt", 333128, 0x695E, 0x26, 0x165, 0x16A, 0x2A05, 0x2A},
    {"QRV_C_USB.cvt", 11038536, 0xDAA1, 0x2C, 0x180, 0x228, 0x2C05, 0x28},
};

class GeneratedImage : public testing::TestWithParam<Shipped> {};

TEST_P(GeneratedImage, MatchesTheModuleFacts) {
    const Shipped& s = GetParam();
    Bytes image = ReadFile(ImageDir() / s.file);
    ASSERT_EQ(image.size(), s.size) << s.file;

    frames::CImageWalker walker(image);
    std::vector<frames::ImageFrame> all;
    frames::ImageFrame f;
    while (walker.Next(f) == 1) {
        all.push_back(f);
    }
    ASSERT_EQ(walker.Error(), frames::WalkError::kNone) << frames::WalkErrorText(walker.Error());
    ASSERT_EQ(walker.Offset(), image.size());
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].length, 21u);

    std::uint32_t largest = 0;
    std::uint64_t data = 0;
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].family, frames::FrameFamily::kDb);
        EXPECT_EQ(all[i].command[0], s.command);
        EXPECT_EQ(all[i].command[1], 0x01);
        largest = std::max(largest, all[i].length);
        if (i > 0) {
            EXPECT_GT(all[i].length, 8u) << "data frame without data";
            data += all[i].length - 8;
            sum = sim::image::Sum16(walker.Payload(all[i]), sum);
        }
    }
    EXPECT_LE(largest, 65560u);
    if (image.size() >= 21 + 65560) {
        EXPECT_EQ(largest, 65560u);
    }

    auto info = sim::image::DecodeInfo(walker.Payload(all[0]));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->areaCode, s.area);
    EXPECT_EQ(info->startAddress, s.firstBlock * 0x10000u);
    EXPECT_EQ(info->dataLength, data);
    EXPECT_LE(info->startAddress + data, (s.lastBlock + 1) * 0x10000u) << "beyond the erase range";
    EXPECT_EQ(sum, s.sum);
}

INSTANTIATE_TEST_SUITE_P(AllModules, GeneratedImage, testing::ValuesIn(kShipped),
                         [](const testing::TestParamInfo<Shipped>& p) {
                             std::string name = p.param.file;
                             name = name.substr(4, name.size() - 8);
                             std::erase(name, '_');
                             return name;
                         });

std::size_t FrameCount(const Bytes& image) {
    frames::CImageWalker walker(image);
    frames::ImageFrame f;
    std::size_t n = 0;
    while (walker.Next(f) == 1) {
        ++n;
    }
    return n;
}

TEST(GeneratedImages, FixedFrameCounts) {
    EXPECT_EQ(FrameCount(ReadFile(ImageDir() / "QRV_C_PS.cvt")), 5u);
    EXPECT_EQ(FrameCount(ReadFile(ImageDir() / "QRV_C_USB.cvt")), 239u);
}

TEST(GeneratedImages, LayoutTableAgreesWithTheFacts) {
    ASSERT_EQ(sim::image::kModules.size(), std::size(kShipped));
    for (const Shipped& s : kShipped) {
        std::string name = s.file;
        const Module* m = sim::image::FindModule(name.substr(4, name.size() - 8));
        ASSERT_NE(m, nullptr) << s.file;
        EXPECT_EQ(m->FileName(), s.file);
        EXPECT_EQ(m->imageSize, s.size);
        EXPECT_EQ(m->eraseCommand, s.erase);
        EXPECT_EQ(m->frameCommand, (s.command << 8) | 0x01);
        EXPECT_EQ(sim::image::FindModuleByArea(s.area), m) << "area codes must be unique";
    }
}

TEST(Generator, SameBytesEveryRun) {
    TempDir a;
    TempDir b;
    ASSERT_FALSE(a.Path().empty());
    ASSERT_FALSE(b.Path().empty());
    ASSERT_EQ(RunGenerator("'" + a.Path().string() + "'"), 0);
    ASSERT_EQ(RunGenerator("'" + (b.Path() / "sub").string() + "'"), 0);
    for (const Shipped& s : kShipped) {
        Bytes first = ReadFile(a.Path() / s.file);
        EXPECT_EQ(first.size(), s.size);
        EXPECT_TRUE(first == ReadFile(b.Path() / "sub" / s.file)) << s.file;
        EXPECT_TRUE(first == ReadFile(ImageDir() / s.file)) << s.file;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(a.Path()), fs::directory_iterator()), 13)
        << "no temporary files left behind";
}

TEST(Generator, FailsLoudly) {
    EXPECT_EQ(RunGenerator(""), 2);
    TempDir t;
    fs::path file = t.Path() / "plain";
    std::ofstream(file) << "x";
    EXPECT_NE(RunGenerator("'" + (file / "images").string() + "'"), 0);
}

}  // namespace

#include "Loader/common/ComFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "platform/resources/resources.h"

using platform::resources::ScopedResource;

namespace {

using Bytes = std::vector<unsigned char>;

class ComFile : public ::testing::Test {
  protected:
    void SetUp() override { ExecError().Reset(); }
    void TearDown() override { ExecError().Reset(); }
};

TEST_F(ComFile, ModuleTable) {
    EXPECT_EQ(std::strcmp(kComModuleTable[13].name, "end"), 0);
    struct Case {
        const char* path;
        int resource;  // 0: no row
    } cases[] = {
        {"Param\\DATA\\C_L1V\\file.cvt", 162},  // C_L1 is the first row contained
        {"DATA\\C_L2\\QRV_C_L2.cvt", 159},
        {"DATA\\C_USB\\x.cvt", 164},
        {"DATA\\U_LM\\C_PS.cvt", 151},  // table order, not path order
        {"DATA\\U_BDSP", 161},
        {"DATA\\C_FDSP\\x.cvt", 0},
        {"DATA\\C_D2\\x.cvt", 0},
        {"data\\c_l1\\x.cvt", 0},  // case-sensitive
    };
    for (const Case& c : cases) {
        int row = FindModule(c.path);
        EXPECT_EQ(row < 0 ? 0 : static_cast<int>(kComModuleTable[row].resource), c.resource)
            << c.path;
    }
}

TEST_F(ComFile, OpenCopiesThroughStagingAndReads) {
    const Bytes image = {1, 2, 3, 4, 5};
    ScopedResource res("DATA", 162, image);
    Bytes staging(8, 0xEE);
    CComFile f;
    f.SetCapacity(8);
    f.SetStaging(staging.data(), 8);
    ASSERT_EQ(f.Open("DATA\\C_L1V\\file.cvt"), 1);
    EXPECT_EQ(ExecError().ExecDetail, 4);
    EXPECT_EQ(f.GetLength(), 5u);
    EXPECT_EQ(staging, (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));

    Bytes out(8, 0);
    EXPECT_EQ(f.Read(out.data(), 3), 3u);
    EXPECT_EQ(f.Read(out.data() + 3, 100), 2u);
    EXPECT_EQ(f.Read(out.data(), 1), 0u);
    EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));

    f.Close();
    EXPECT_EQ(f.GetLength(), 0u);
    EXPECT_EQ(f.Read(out.data(), 1), 0u);
}

TEST_F(ComFile, FailuresAndTheirCodes) {
    const Bytes five = {1, 2, 3, 4, 5};
    ScopedResource res("DATA", 151, five);
    struct Case {
        const char* path;
        std::uint32_t capacity;
        int textContents;  // ErrContents after the text opener fails
    } cases[] = {
        {"DATA\\C_FDSP\\x.cvt", 64, 3},  // no row
        {"DATA\\C_D2\\x.cvt", 64, 3},
        {"DATA\\C_USB\\x.cvt", 64, 3},  // row but no resource
        {"DATA\\C_PS\\x.cvt", 4, 5},    // one byte over the capacity
    };
    for (const Case& c : cases) {
        Bytes staging(c.capacity, 0xEE);  // exactly sized: an overrun trips ASan
        ExecError().ErrContents = 0;
        CComFile frame;
        frame.SetCapacity(c.capacity);
        frame.SetStaging(staging.data(), c.capacity);
        EXPECT_EQ(frame.Open(c.path), 0) << c.path;
        EXPECT_EQ(ExecError().ErrContents, 0) << c.path;

        CComStdioFile text;
        text.SetCapacity(c.capacity);
        text.SetStaging(staging.data(), c.capacity);
        EXPECT_EQ(text.Open(c.path), 0) << c.path;
        EXPECT_EQ(ExecError().ErrContents, c.textContents) << c.path;
        EXPECT_EQ(text.GetLength(), 0u);
    }
    EXPECT_EQ(ExecError().ExecDetail, 7);  // the row is stored even when opening fails

    // The buffer lent is smaller than the capacity: refuse rather than overrun it.
    Bytes small(4, 0xEE);
    CComStdioFile text;
    text.SetCapacity(1024);
    text.SetStaging(small.data(), 4);
    EXPECT_EQ(text.Open("DATA\\C_PS"), 0);
    EXPECT_EQ(ExecError().ErrContents, 5);
    text.SetCapacity(5);
    text.SetStaging(nullptr, 0);
    EXPECT_EQ(text.Open("DATA\\C_PS"), 1);  // exactly the capacity fits
}

TEST_F(ComFile, TextLines) {
    const std::string body = "S0\r\nS1\n\nlast";
    ScopedResource res("DATA", 155,
                       {reinterpret_cast<const unsigned char*>(body.data()), body.size()});
    CComStdioFile f;
    f.SetCapacity(64);
    ASSERT_EQ(f.Open("DATA\\C_VDSP\\x.mot"), 1);
    std::vector<std::string> lines;
    CComString line;
    while (f.ReadString(line) == 1) {
        lines.push_back(line.Str());
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"S0\r", "S1", "", "last"}));
}

TEST_F(ComFile, ChecksummedChunks) {
    const Bytes image = {1, 2, 3, 4, 5, 6, 7, 8};
    CComStdioFile f;
    f.SetImage(image.data(), 8);
    Bytes out(10, 0);
    EXPECT_EQ(f.ReadChunk(out.data(), 10), 10u);
    EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xDC}));
    EXPECT_EQ(f.ReadChunk(out.data(), 10), 0u);

    f.SetReadPosition(5);
    EXPECT_EQ(f.ReadChunk(out.data(), 4), 4u);  // 6 7 and the sum of 13
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{6, 7, 0xFF, 0xF3}));
    EXPECT_EQ(f.GetReadPosition(), 7u);
    EXPECT_EQ(f.ReadChunk(out.data(), 2), 0u);  // no room for data
    EXPECT_EQ(f.ReadChunk(out.data(), 0), 0u);  // must not wrap to a huge size
    f.SetReadPosition(100);
    EXPECT_EQ(f.GetReadPosition(), 8u);

    const Bytes ff(300, 0xFF);  // sum 76500 wraps to 0x2AD4
    f.SetImage(ff.data(), 300);
    Bytes big(302, 0);
    EXPECT_EQ(f.ReadChunk(big.data(), 302), 302u);
    EXPECT_EQ(big[300], 0xD5);
    EXPECT_EQ(big[301], 0x2C);
}

}  // namespace

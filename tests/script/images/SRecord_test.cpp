#include "Loader/script/SRecord.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Loader/common/ComFile.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "platform/resources/resources.h"
#include "tests/script/images/ImageTestSupport.h"

namespace {

using imgtest::Bytes;
using imgtest::SRec;
using srecord::CAddressWindow;
using srecord::RecordResult;
using srecord::StoreRecord;

// A 16-byte window at 0x1000 filled as a run fills it.
struct Window {
    CAddressWindow range{0x1000, 0x100F};
    Bytes bytes = Bytes(16, 0xFF);

    RecordResult Store(const std::string& line) { return StoreRecord(line, range, bytes); }
};

TEST(SRecordStore, DataRecordsOfEveryAddressWidthLandAtTheirOffset) {
    Window w;
    EXPECT_EQ(w.Store(SRec(1, 0x1000, {0x11, 0x22})), RecordResult::kStored);
    EXPECT_EQ(w.Store(SRec(2, 0x001004, {0x33})), RecordResult::kStored);
    EXPECT_EQ(w.Store(SRec(3, 0x0000100E, {0x44, 0x55})), RecordResult::kStored);
    const Bytes expected = {0x11, 0x22, 0xFF, 0xFF, 0x33, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x44, 0x55};
    EXPECT_EQ(w.bytes, expected);
}

TEST(SRecordStore, OtherRecordTypesAndForeignLinesCarryNothing) {
    Window w;
    const std::vector<std::string> lines = {SRec(0, 0x1000, {0x48, 0x44, 0x52}),
                                            SRec(5, 0x0001, {}),
                                            SRec(7, 0x1000, {}),
                                            SRec(8, 0x1000, {}),
                                            SRec(9, 0x1000, {}),
                                            std::string(),
                                            std::string("\r"),
                                            std::string("; comment"),
                                            std::string("S"),
                                            std::string("s1051000AABB00")};
    for (const std::string& line : lines) {
        EXPECT_EQ(w.Store(line), RecordResult::kSkipped) << line;
    }
    EXPECT_EQ(w.bytes, Bytes(16, 0xFF));
}

TEST(SRecordStore, TheRecordChecksumIsNeitherCheckedNorStored) {
    Window w;
    std::string line = SRec(1, 0x1000, {0xAB});
    line.replace(line.size() - 2, 2, "00");  // wrong checksum
    EXPECT_EQ(w.Store(line), RecordResult::kStored);
    EXPECT_EQ(w.bytes[0], 0xAB);
    EXPECT_EQ(w.bytes[1], 0xFF) << "the checksum byte is not data";
}

TEST(SRecordStore, AddressesOutsideTheWindow) {
    Window w;
    // Starts below TOPADR: skipped whole, even the bytes that would reach into the window.
    EXPECT_EQ(w.Store(SRec(1, 0x0FFE, {1, 2, 3, 4})), RecordResult::kStored);
    EXPECT_EQ(w.bytes, Bytes(16, 0xFF));
    // The first byte past ENDADR ends the record.
    EXPECT_EQ(w.Store(SRec(1, 0x100E, {7, 8, 9, 10})), RecordResult::kStored);
    EXPECT_EQ(w.bytes[14], 7);
    EXPECT_EQ(w.bytes[15], 8);
    // Wholly above.
    EXPECT_EQ(w.Store(SRec(3, 0xFFFFFFFF, {0x5A})), RecordResult::kStored);
    EXPECT_EQ(std::count(w.bytes.begin(), w.bytes.end(), 0x5A), 0);
}

TEST(SRecordStore, AWindowAtTheTopOfTheAddressSpaceDoesNotWrap) {
    CAddressWindow range{0xFFFFFFFE, 0xFFFFFFFF};
    Bytes bytes(2, 0xFF);
    EXPECT_EQ(StoreRecord(SRec(3, 0xFFFFFFFE, {1, 2, 3, 4}), range, bytes), RecordResult::kStored);
    EXPECT_EQ(bytes, (Bytes{1, 2}));
    EXPECT_EQ(range.Size(), 2u);
}

TEST(SRecordStore, NeverWritesPastTheBufferItIsGiven) {
    // The buffer is shorter than the window claims: bytes beyond it are dropped, not written.
    CAddressWindow range{0x1000, 0x100F};
    Bytes bytes(4, 0xFF);
    bytes.push_back(0xEE);  // guard
    std::span<std::uint8_t> window(bytes.data(), 4);
    EXPECT_EQ(StoreRecord(SRec(1, 0x1000, {1, 2, 3, 4, 5, 6}), range, window),
              RecordResult::kStored);
    EXPECT_EQ(bytes, (Bytes{1, 2, 3, 4, 0xEE}));
}

TEST(SRecordStore, TruncatedOrNonHexRecordsAreMalformedAndStoreNothing) {
    Window w;
    const std::string good = SRec(1, 0x1000, {0x11, 0x22, 0x33});
    const std::vector<std::string> bad = {
        good.substr(0, good.size() - 1),  // odd length: half a checksum
        good.substr(0, good.size() - 2),  // checksum missing
        good.substr(0, 9),                // inside the data
        "S1",                             // no count
        "S1G5100011",                     // count not hexadecimal
        "S1021000",                       // count smaller than address + checksum
        "S105100011Z2CC",                 // a data digit that is not hexadecimal
    };
    for (const std::string& line : bad) {
        EXPECT_EQ(w.Store(line), RecordResult::kMalformed) << line;
    }
    EXPECT_EQ(w.bytes, Bytes(16, 0xFF));
    EXPECT_EQ(w.Store("S1031000EC"), RecordResult::kStored) << "a record without data is sound";
    EXPECT_EQ(w.bytes, Bytes(16, 0xFF));
}

TEST(SRecordStore, TrailingCharactersAndLowerCaseDigitsAreAccepted) {
    Window w;
    EXPECT_EQ(w.Store(SRec(1, 0x1000, {0x42}) + "\r"), RecordResult::kStored);
    EXPECT_EQ(w.Store(SRec(1, 0x1001, {0x43}) + "A"), RecordResult::kStored);
    EXPECT_EQ(w.Store("S1041002abcd"), RecordResult::kStored);
    EXPECT_EQ(Bytes(w.bytes.begin(), w.bytes.begin() + 4), (Bytes{0x42, 0x43, 0xAB, 0xFF}));
}

TEST(SRecordChecksum, IsTheTwosComplementOfTheSixteenBitSum) {
    EXPECT_EQ(srecord::WindowChecksum(Bytes{1, 2, 3, 4, 5, 6, 7, 8}), 0xFFDC);
    EXPECT_EQ(srecord::WindowChecksum(Bytes{}), 0x0000);
    EXPECT_EQ(srecord::WindowChecksum(Bytes(0x6000, 0xFF)), (0x10000 - (0x6000 * 0xFF) % 0x10000));
    // The sum wraps at 16 bits: 0x101 * 0xFF = 0xFFFF... plus one more byte of 1 -> 0x0000.
    Bytes wrap(0x101, 0xFF);
    wrap.push_back(1);
    EXPECT_EQ(srecord::WindowChecksum(wrap), 0x0000);
}

TEST(SRecordWindow, BoundsComeFromTheConfigurationOrTheDefaults) {
    {
        imgtest::Config config("[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6B97FFF\n");
        const CAddressWindow w = srecord::ReadAddressWindow(*config.get());
        EXPECT_EQ(w.top, 0xE6B92000u);
        EXPECT_EQ(w.end, 0xE6B97FFFu);
        EXPECT_EQ(w.Size(), 0x6000u);
    }
    {
        imgtest::Config config("[COMSTDIO]\nTOPADR=\nENDADR=\n");
        const CAddressWindow w = srecord::ReadAddressWindow(*config.get());
        EXPECT_EQ(w.top, 0xE0100000u);
        EXPECT_EQ(w.end, 0xE021FFFFu);
        EXPECT_EQ(w.Size(), 0x120000u);
    }
    {
        imgtest::Config config("[COMSTDIO]\nTOPADR=0x10zz\nENDADR=0X1fff\n");
        const CAddressWindow w = srecord::ReadAddressWindow(*config.get());
        EXPECT_EQ(w.top, 0x10u);
        EXPECT_EQ(w.end, 0x1FFFu);
    }
    {
        imgtest::Config config("[COMSTDIO]\nTOPADR=2000\nENDADR=1FFF\n");
        const CAddressWindow w = srecord::ReadAddressWindow(*config.get());
        EXPECT_FALSE(w.IsValid());
        EXPECT_EQ(w.Size(), 0u);
    }
}

// The whole image through the text opener, as the download reads it.
class SRecordConvert : public ::testing::Test {
  protected:
    int Convert(const std::string& text, srecord::ConvertResult& result) {
        m_image = std::make_unique<imgtest::Image>(151, Bytes(text.begin(), text.end()));
        CComStdioFile file;
        file.SetCapacity(0x10000);
        if (file.Open("Param\\DATA\\C_PS\\x.mot") != 1) {
            ADD_FAILURE() << "open";
            return -1;
        }
        const int rc = srecord::ConvertImage(file, m_range, m_window, result);
        if (rc == 1) {
            EXPECT_EQ(file.GetTotalLength(), m_window.size());
            EXPECT_EQ(file.GetReadPosition(), 0u);
            EXPECT_EQ(file.GetValue16(), srecord::WindowChecksum(m_window));
        }
        return rc;
    }

    CAddressWindow m_range{0x2000, 0x2007};
    Bytes m_window = Bytes(8, 0xFF);
    std::unique_ptr<imgtest::Image> m_image;
};

TEST_F(SRecordConvert, CrLfLinesAndALastLineWithoutLineFeed) {
    const std::string text = SRec(0, 0, {0x41}) + "\r\n" + SRec(1, 0x2000, {1, 2}) + "\r\n" +
                             SRec(2, 0x2002, {3}) + "\r\n" + SRec(3, 0x2006, {7, 8});
    srecord::ConvertResult result;
    ASSERT_EQ(Convert(text, result), 1);
    EXPECT_EQ(result.nLines, 4);
    EXPECT_EQ(result.nDataRecords, 3);
    EXPECT_EQ(m_window, (Bytes{1, 2, 3, 0xFF, 0xFF, 0xFF, 7, 8}));
}

TEST_F(SRecordConvert, AnEmptyImageLeavesTheFill) {
    srecord::ConvertResult result;
    ASSERT_EQ(Convert("", result), 1);
    EXPECT_EQ(result.nLines, 0);
    EXPECT_EQ(m_window, Bytes(8, 0xFF));
}

TEST_F(SRecordConvert, StopsAtTheFirstMalformedRecordAndNamesItsLine) {
    const std::string good = SRec(1, 0x2000, {9});
    const std::string text = good + "\n\n" + good.substr(0, 7) + "\n" + SRec(1, 0x2001, {5});
    srecord::ConvertResult result;
    ASSERT_EQ(Convert(text, result), 0);
    EXPECT_EQ(result.nBadLine, 3);
    EXPECT_EQ(m_window[1], 0xFF) << "nothing after the bad line is converted";
}

}  // namespace

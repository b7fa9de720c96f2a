#include "Loader/device/Frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FrameBuilders.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using frames::FrameFamily;
using frames::HeaderVerdict;

struct DbCase {
    const char* value;
    Bytes expected;
};

class DbCommandFrame : public testing::TestWithParam<DbCase> {};

TEST_P(DbCommandFrame, BuildsExactBytes) {
    Bytes frame{0xEE};  // stale content must not survive
    ASSERT_EQ(frames::BuildDbCommandFrame(CComString(GetParam().value), frame), 1);
    EXPECT_EQ(frame, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ScriptValues, DbCommandFrame,
    testing::Values(
        DbCase{"4442,0107,8", {0x44, 0x42, 0x01, 0x07, 0x00, 0x00, 0x00, 0x08}},
        DbCase{"4442,2805,12,00370037",
               {0x44, 0x42, 0x28, 0x05, 0, 0, 0, 0x0C, 0x00, 0x37, 0x00, 0x37}},
        // Short payload: the rest of the frame stays zero.
        DbCase{"4442,2805,12,0037", {0x44, 0x42, 0x28, 0x05, 0, 0, 0, 0x0C, 0x00, 0x37, 0, 0}},
        // Long payload: cut to length - 8.
        DbCase{"4442,2805,10,00370037", {0x44, 0x42, 0x28, 0x05, 0, 0, 0, 0x0A, 0x00, 0x37}},
        // No payload field at all.
        DbCase{"4442,2A05,10", {0x44, 0x42, 0x2A, 0x05, 0, 0, 0, 0x0A, 0, 0}},
        // A payload on a length-8 row is ignored.
        DbCase{"4442,0004,8,FFFF", {0x44, 0x42, 0x00, 0x04, 0, 0, 0, 0x08}},
        DbCase{"4442,0809,8", {0x44, 0x42, 0x08, 0x09, 0, 0, 0, 0x08}},
        DbCase{"4442,000b,8", {0x44, 0x42, 0x00, 0x0B, 0, 0, 0, 0x08}}));

TEST(DbCommandFrameLength, IsBigEndianForLongFrames) {
    Bytes frame;
    ASSERT_EQ(frames::BuildDbCommandFrame(CComString("4442,0108,300,41"), frame), 1);
    ASSERT_EQ(frame.size(), 300u);
    EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 9), (Bytes{0x00, 0x00, 0x01, 0x2C, 0x41}));
    EXPECT_EQ(frame.back(), 0);

    ASSERT_EQ(frames::BuildDbCommandFrame(CComString("4442,2801,65560"), frame), 1);
    EXPECT_EQ(frame.size(), 65560u);
}

TEST(DbCommandFrameLength, RefusesWhatIsNoFrame) {
    for (const char* value : {"4442,0107,7", "4442,0107,0", "4442,0107,-8", "4442,0107",
                              "4442,0107,abc", "", "4442,0107,65561", "4442,0107,2000000000"}) {
        Bytes frame{1, 2, 3};
        EXPECT_EQ(frames::BuildDbCommandFrame(CComString(value), frame), 0) << value;
        EXPECT_TRUE(frame.empty()) << value;
    }
}

TEST(DbFrame, LoaderSideFrames) {
    EXPECT_EQ(frametest::MakeDbFrame(0x0809, Bytes{0x41, 0xF2}),
              (Bytes{0x44, 0x42, 0x08, 0x09, 0, 0, 0, 0x0A, 0x41, 0xF2}));
    EXPECT_EQ(frametest::MakeDbErrorFrame(-3),
              (Bytes{0x44, 0x42, 0x80, 0xFF, 0, 0, 0, 0x0C, 0xFF, 0xFF, 0xFF, 0xFD}));
    EXPECT_TRUE(frametest::MakeDbFrame(0x2801, Bytes(65553)).empty());
}

TEST(D0Frame, BlockFrameHasSixteenBitCount) {
    Bytes data(0x6000, 0x5A);
    Bytes frame;
    ASSERT_EQ(frames::BuildD0BlockFrame(0, data, frame), 1);
    ASSERT_EQ(frame.size(), 0x6005u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), (Bytes{0xA3, 0x60, 0x02, 0x00, 0x00, 0x5A}));

    ASSERT_EQ(frames::BuildD0BlockFrame(0x0102, Bytes(0xFFFD), frame), 1);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{0xA3, 0xFF, 0xFF, 0x01, 0x02}));
    EXPECT_EQ(frames::BuildD0BlockFrame(0, Bytes(0xFFFE), frame), 0);
    EXPECT_TRUE(frame.empty());
}

TEST(FrameHeader, IdentifiesFamiliesByLeadingBytes) {
    EXPECT_EQ(frames::IdentifyFrame(0x44, 0x42), FrameFamily::kDb);
    EXPECT_EQ(frames::IdentifyFrame(0x48, 0x50), FrameFamily::kHp);
    EXPECT_EQ(frames::IdentifyFrame(0xB3, 0x00), FrameFamily::kD0Answer);
    EXPECT_EQ(frames::IdentifyFrame(0x44, 0x44), FrameFamily::kUnknown);
    EXPECT_EQ(frames::IdentifyFrame(0x42, 0x44), FrameFamily::kUnknown);
    EXPECT_EQ(frames::IdentifyFrame(0xB4, 0x00), FrameFamily::kUnknown);
    EXPECT_EQ(frames::IdentifyFrame(0xA1, 0x01), FrameFamily::kUnknown);
}

Bytes Header(FrameFamily family, std::uint32_t length) {
    Bytes h(frames::HeaderSize(family), 0);
    frames::WriteBe32(h.data() + 4, length);
    return h;
}

TEST(FrameHeader, JudgesLengthFields) {
    struct Case {
        FrameFamily family;
        std::uint32_t length;
        HeaderVerdict verdict;
    };
    for (Case c : {Case{FrameFamily::kDb, 0, HeaderVerdict::kEmpty},
                   Case{FrameFamily::kDb, 1, HeaderVerdict::kMalformed},
                   Case{FrameFamily::kDb, 7, HeaderVerdict::kMalformed},
                   Case{FrameFamily::kDb, 8, HeaderVerdict::kValid},
                   Case{FrameFamily::kDb, 65560, HeaderVerdict::kValid},
                   Case{FrameFamily::kDb, 65561, HeaderVerdict::kTooLong},
                   Case{FrameFamily::kDb, 0xFFFFFFFF, HeaderVerdict::kTooLong},
                   Case{FrameFamily::kHp, 0, HeaderVerdict::kEmpty},
                   Case{FrameFamily::kHp, 8, HeaderVerdict::kMalformed},
                   Case{FrameFamily::kHp, 15, HeaderVerdict::kMalformed},
                   Case{FrameFamily::kHp, 16, HeaderVerdict::kValid}}) {
        frames::HeaderCheck check = frames::CheckHeader(c.family, Header(c.family, c.length));
        EXPECT_EQ(check.verdict, c.verdict) << c.length;
        EXPECT_EQ(check.length, c.length);
    }
}

TEST(FrameHeader, NeedsTheWholeHeader) {
    Bytes db = Header(FrameFamily::kDb, 8);
    db.pop_back();
    EXPECT_EQ(frames::CheckHeader(FrameFamily::kDb, db).verdict, HeaderVerdict::kShort);
    EXPECT_EQ(frames::CheckHeader(FrameFamily::kHp, Header(FrameFamily::kDb, 16)).verdict,
              HeaderVerdict::kShort);
    EXPECT_EQ(frames::CheckHeader(FrameFamily::kUnknown, Bytes(16)).verdict, HeaderVerdict::kShort);
    frames::HeaderCheck d0 = frames::CheckHeader(FrameFamily::kD0Answer, Bytes{0xB0, 0x00});
    EXPECT_EQ(d0.verdict, HeaderVerdict::kValid);
    EXPECT_EQ(d0.length, 2u);
}

}  // namespace

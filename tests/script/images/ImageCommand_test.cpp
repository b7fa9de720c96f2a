#include "Loader/script/ImageCommand.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/script/images/ImageTestSupport.h"

namespace {

using imgtest::Bytes;

TEST(D0CommandFrame, EveryCommandNumber) {
    EXPECT_EQ(d0::CommandFrame(0, 0x6000, 0x1234), (Bytes{0xA1, 0x01, 0x00}));
    EXPECT_EQ(d0::CommandFrame(1, 0x6000, 0x1234),
              (Bytes{0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}));
    EXPECT_EQ(d0::CommandFrame(1, 0x12345678, 0),
              (Bytes{0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(d0::CommandFrame(3, 0x6000, 0x1234), (Bytes{0xA4, 0x02, 0x12, 0x34}));
    EXPECT_EQ(d0::CommandFrame(3, 0, 0xFFDC), (Bytes{0xA4, 0x02, 0xFF, 0xDC}));
    EXPECT_EQ(d0::CommandFrame(4, 0x6000, 0x1234), (Bytes{0xA4, 0x00}));
    EXPECT_EQ(d0::CommandFrame(5, 0x6000, 0x1234), (Bytes{0xA0, 0x01, 0x01}));
    EXPECT_EQ(d0::CommandFrame(6, 0x6000, 0x1234), (Bytes{0xA5, 0x00}));
    for (int none : {2, -1, 7, 100}) {
        EXPECT_TRUE(d0::CommandFrame(none, 0x6000, 0x1234).empty()) << none;
    }
}

TEST(D0Answer, KeysOfTheWaitKinds) {
    const std::uint8_t keys[] = {0xB0, 0xB1, 0xB2, 0xB3, 0xB0, 0xB0};
    for (int kind = 0; kind < 6; ++kind) {
        EXPECT_EQ(d0::AnswerKey(kind), keys[kind]) << kind;
    }
    EXPECT_EQ(d0::AnswerKey(-1), 0);
    EXPECT_EQ(d0::AnswerKey(6), 0);
}

TEST(D0Answer, PollKindsNeedAZeroByteAndAClearFlag) {
    for (int kind : {0, 4, 5}) {
        EXPECT_TRUE(d0::AnswerAccepted(kind, Bytes{0x00}, 0, 0)) << kind;
        EXPECT_TRUE(d0::AnswerAccepted(kind, Bytes{0x00, 0x77}, 0, 0)) << kind;
        EXPECT_FALSE(d0::AnswerAccepted(kind, Bytes{0x01}, 0, 0)) << kind;
        EXPECT_FALSE(d0::AnswerAccepted(kind, Bytes{0x00}, 0, 1)) << "flag set: " << kind;
        EXPECT_FALSE(d0::AnswerAccepted(kind, Bytes{}, 0, 0)) << "empty: " << kind;
    }
}

TEST(D0Answer, BlockAcknowledgementNeedsTwoZeroBytes) {
    EXPECT_TRUE(d0::AnswerAccepted(1, Bytes{0, 0}, 0, 0));
    EXPECT_TRUE(d0::AnswerAccepted(1, Bytes{0, 0}, 0, 1)) << "the flag only concerns B0";
    EXPECT_FALSE(d0::AnswerAccepted(1, Bytes{0, 1}, 0, 0));
    EXPECT_FALSE(d0::AnswerAccepted(1, Bytes{1, 0}, 0, 0));
    EXPECT_FALSE(d0::AnswerAccepted(1, Bytes{0}, 0, 0)) << "short";
}

TEST(D0Answer, SumAnswerMustEchoTheChecksum) {
    EXPECT_TRUE(d0::AnswerAccepted(2, Bytes{0x00, 0x12, 0x34}, 0x1234, 0));
    EXPECT_FALSE(d0::AnswerAccepted(2, Bytes{0x00, 0x12, 0x35}, 0x1234, 0));
    EXPECT_FALSE(d0::AnswerAccepted(2, Bytes{0x01, 0x12, 0x34}, 0x1234, 0));
    EXPECT_FALSE(d0::AnswerAccepted(2, Bytes{0x00, 0x12}, 0x1234, 0)) << "short";
    // Sums with the top bit set are compared as 16-bit values, not as negative numbers.
    EXPECT_TRUE(d0::AnswerAccepted(2, Bytes{0x00, 0xFF, 0xDC}, 0xFFDC, 0));
    EXPECT_TRUE(d0::AnswerAccepted(2, Bytes{0x00, 0x80, 0x00}, 0x8000, 0));
}

TEST(D0Answer, KindThreeAndUnknownKindsNeverSucceed) {
    EXPECT_FALSE(d0::AnswerAccepted(3, Bytes{0, 0, 0}, 0, 0));
    EXPECT_FALSE(d0::AnswerAccepted(6, Bytes{0, 0, 0}, 0, 0));
    EXPECT_FALSE(d0::AnswerAccepted(-1, Bytes{0, 0, 0}, 0, 0));
}

TEST(D0Blocks, ShippedWindowIsOneBlock) {
    d0::CBlockPlan plan;
    ASSERT_EQ(d0::PlanBlocks(0x6000, plan), 1);
    EXPECT_EQ(plan.uiBuffer, 0x6008u);
    EXPECT_EQ(plan.uiBlockData, 0x6004u);
    EXPECT_EQ(plan.uiBlocks, 1u);
}

TEST(D0Blocks, LargeImagesAreCutInto30700ByteBlocks) {
    d0::CBlockPlan plan;
    ASSERT_EQ(d0::PlanBlocks(0x120000, plan), 1);  // the default window
    EXPECT_EQ(plan.uiBuffer, 30704u);
    EXPECT_EQ(plan.uiBlockData, 30700u);
    EXPECT_EQ(plan.uiBlocks, (0x120000u + 30699u) / 30700u);
    ASSERT_EQ(d0::PlanBlocks(30700, plan), 1);
    EXPECT_EQ(plan.uiBlocks, 1u);
    ASSERT_EQ(d0::PlanBlocks(30701, plan), 1);
    EXPECT_EQ(plan.uiBlocks, 2u);
}

TEST(D0Blocks, TooSmallOrTooManyBlocks) {
    d0::CBlockPlan plan;
    EXPECT_EQ(d0::PlanBlocks(0, plan), 0);
    EXPECT_EQ(d0::PlanBlocks(2, plan), 0);
    ASSERT_EQ(d0::PlanBlocks(3, plan), 1);
    EXPECT_EQ(plan.uiBlockData, 7u);
    EXPECT_EQ(plan.uiBlocks, 1u);
    EXPECT_EQ(d0::PlanBlocks(30700ull * 0x10000, plan), 1);
    EXPECT_EQ(d0::PlanBlocks(30700ull * 0x10000 + 1, plan), 0) << "block numbers are 16 bits";
    EXPECT_EQ(plan.uiBlocks, 0u);
}

TEST(ImageCommandText, ElapsedTime) {
    EXPECT_EQ(imagecmd::FormatElapsed(0).Str(), "00:00:00");
    EXPECT_EQ(imagecmd::FormatElapsed(999).Str(), "00:00:00");
    EXPECT_EQ(imagecmd::FormatElapsed(207'000).Str(), "00:03:27");
    EXPECT_EQ(imagecmd::FormatElapsed(((25 * 60 + 1) * 60 + 2) * 1000ull).Str(), "25:01:02");
}

TEST(ImageCommandText, PathAndLines) {
    EXPECT_EQ(imagecmd::ImagePath("Param", "DATA\\C_PS\\QRV_C_PS.cvt").Str(),
              "Param\\DATA\\C_PS\\QRV_C_PS.cvt");
    EXPECT_EQ(imagecmd::LmSizeLine(1984).Str(), "LM_Size=1984");
    EXPECT_EQ(imagecmd::ForcedWriteLine().ToUtf8(), "***** 書き込みは強制書込みで行います。*****");
}

}  // namespace

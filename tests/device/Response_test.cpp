#include "Loader/device/Response.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/resources/resources.h"
#include "tests/support/FrameBuilders.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using frames::DbAnswerKind;

// "消去エラー" and "チェックサム異常" in code page 932.
const std::string kEraseError = "\x8f\xc1\x8b\x8e\x83\x47\x83\x89\x81\x5b";
const std::string kSumError = "\x83\x60\x83\x46\x83\x62\x83\x4e\x83\x54\x83\x80\x88\xd9\x8f\xed";
const std::string kUndefined = "\x96\xa2\x92\xe8\x8b\x60\x83\x47\x83\x89\x81\x5b";

std::span<const std::uint8_t> AsBytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(DbRecord, LengthEightHasNoPayload) {
    Bytes record;
    ASSERT_EQ(frametest::MakeDbRecord(Bytes{0x44, 0x42, 0x01, 0x07, 0, 0, 0, 0x08}, record), 1);
    EXPECT_EQ(record, (Bytes{0x44, 0x42, 0x01, 0x07, 0x08, 0, 0, 0}));
    frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    EXPECT_EQ(answer.kind, DbAnswerKind::kAck);
    EXPECT_TRUE(answer.payload.empty());
}

TEST(DbRecord, LengthTurnsLittleEndianAndPayloadFollows) {
    Bytes payload(300, 0x33);
    payload[0] = 0x41;
    payload[1] = 0xF2;
    Bytes record;
    ASSERT_EQ(frametest::MakeDbRecord(frametest::MakeDbFrame(0x0809, payload), record), 1);
    ASSERT_EQ(record.size(), 308u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 10),
              (Bytes{0x44, 0x42, 0x08, 0x09, 0x34, 0x01, 0, 0, 0x41, 0xF2}));
    EXPECT_EQ(frames::DbRecordLength(record), 308u);
    frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    EXPECT_EQ(answer.kind, DbAnswerKind::kData);
    EXPECT_EQ(answer.payload.size(), 300u);
}

TEST(DbRecord, RefusesFramesWhoseLengthDoesNotHold) {
    Bytes record{7};
    Bytes ok = frametest::MakeDbFrame(0x0001, Bytes{1, 2, 3});
    Bytes longer = ok;
    longer.push_back(0);
    Bytes shorter(ok.begin(), ok.end() - 1);
    Bytes zero{0x44, 0x42, 0, 1, 0, 0, 0, 0};
    Bytes seven{0x44, 0x42, 0, 1, 0, 0, 0, 7};
    Bytes hp{0x48, 0x50, 0, 1, 0, 0, 0, 8};
    for (const Bytes& frame : {longer, shorter, zero, seven, hp, Bytes{0x44, 0x42}}) {
        EXPECT_EQ(frametest::MakeDbRecord(frame, record), 0);
        EXPECT_TRUE(record.empty());
    }
}

TEST(DbRecord, StartedFromHeaderLeavesRoomForPayload) {
    Bytes record;
    ASSERT_EQ(frames::StartDbRecord(Bytes{0x44, 0x42, 0x01, 0x08, 0, 0, 0, 0x0F}, record), 1);
    EXPECT_EQ(record, (Bytes{0x44, 0x42, 0x01, 0x08, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frames::StartDbRecord(Bytes{0x44, 0x42, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF}, record),
              0);
    EXPECT_TRUE(record.empty());
}

TEST(OtherRecords, HpFrameIsKeptAsReceived) {
    Bytes frame{0x48, 0x50, 0xAA, 0xBB, 0, 0, 0, 0x12, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0, 0xC1};
    Bytes record;
    ASSERT_EQ(frametest::MakeHpRecord(frame, record), 1);
    EXPECT_EQ(record, frame);
    Bytes malformed(frame.begin(), frame.begin() + 16);
    malformed[7] = 15;
    EXPECT_EQ(frametest::MakeHpRecord(malformed, record), 0);
}

TEST(OtherRecords, D0AnswerKeepsOnlyData) {
    Bytes record{1};
    ASSERT_EQ(frametest::MakeD0Record(Bytes{0xB1, 0x02, 0x00, 0x00}, record), 1);
    EXPECT_EQ(record, (Bytes{0x00, 0x00}));
    ASSERT_EQ(frametest::MakeD0Record(Bytes{0xB0, 0x00}, record), 1);
    EXPECT_TRUE(record.empty());
    EXPECT_EQ(frametest::MakeD0Record(Bytes{0xB2, 0x03, 0x00, 0x12}, record), 0);
    EXPECT_EQ(frametest::MakeD0Record(Bytes{0xA1, 0x01, 0x00}, record), 0);
    frametest::MakeZeroLedRecord(0x05, record);
    EXPECT_EQ(record, Bytes{0x05});
}

class DeviceErrors : public testing::Test {
  protected:
    platform::resources::ScopedResource m_erase{"STRING", 178, AsBytes(kEraseError)};
    platform::resources::ScopedResource m_sum{"STRING", 162, AsBytes(kSumError)};
};

TEST_F(DeviceErrors, EraseErrorIsReportedWithItsText) {
    Bytes record;
    ASSERT_EQ(frametest::MakeDbRecord(frametest::MakeDbErrorFrame(-3), record), 1);
    frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    ASSERT_EQ(answer.kind, DbAnswerKind::kError);
    ASSERT_TRUE(answer.hasCode);
    EXPECT_EQ(answer.code, -3);
    EXPECT_EQ(frames::DeviceErrorMessageId(answer.code), 178);
    EXPECT_EQ(frames::DeviceErrorText(answer.code), kEraseError);
    auto lines = frames::DeviceErrorLines(answer);
    EXPECT_EQ(lines[0].Str(), "   ---> 0xfffffffd");
    EXPECT_EQ(lines[1].Str(), "   ---> " + kEraseError);
}

TEST_F(DeviceErrors, TableCoversMinusOneToMinusFourteen) {
    const int ids[] = {162, 163, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189};
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(frames::DeviceErrorMessageId(-1 - i), ids[i]) << i;
    }
    for (int code : {0, 1, -15, 0x7FFFFFFF, -0x7FFFFFFF - 1}) {
        EXPECT_EQ(frames::DeviceErrorMessageId(code), 0) << code;
        EXPECT_TRUE(frames::DeviceErrorText(code).empty());
    }
    EXPECT_EQ(frames::DeviceErrorText(-1), kSumError);
    EXPECT_TRUE(frames::DeviceErrorText(-2).empty());  // not in this string table
}

TEST_F(DeviceErrors, UnknownCodeIsUndefined) {
    Bytes record;
    ASSERT_EQ(frametest::MakeDbRecord(frametest::MakeDbErrorFrame(0x12A0B0FF), record), 1);
    auto lines = frames::DeviceErrorLines(frames::ClassifyDbRecord(record));
    EXPECT_EQ(lines[0].Str(), "   ---> 0x12a0b0ff");
    EXPECT_EQ(lines[1].Str(), "   ---> " + kUndefined);
}

TEST_F(DeviceErrors, CutOffErrorAnswerStaysAnErrorWithoutACode) {
    // Two code bytes only: FF FF could be read as part of -3 but must not be.
    Bytes record;
    ASSERT_EQ(
        frametest::MakeDbRecord(Bytes{0x44, 0x42, 0x80, 0xFF, 0, 0, 0, 10, 0xFF, 0xFF}, record), 1);
    frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    EXPECT_EQ(answer.kind, DbAnswerKind::kError);
    EXPECT_FALSE(answer.hasCode);
    auto lines = frames::DeviceErrorLines(answer);
    EXPECT_EQ(lines[0].Str(), "   ---> 0xffff0000");
    EXPECT_EQ(lines[1].Str(), "   ---> " + kUndefined);

    Bytes bare{0x44, 0x42, 0x80, 0xFF, 8, 0, 0, 0};
    EXPECT_EQ(frames::ClassifyDbRecord(bare).kind, DbAnswerKind::kError);
    EXPECT_FALSE(frames::ClassifyDbRecord(bare).hasCode);
}

TEST(DbClassify, NeverReadsPastTheRecord) {
    // Length field claims more than the record holds: only the bytes present count.
    Bytes record{0x44, 0x42, 0x80, 0xFF, 0x00, 0x01, 0, 0, 0xFF, 0xFF, 0xFF};
    frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    EXPECT_EQ(answer.kind, DbAnswerKind::kError);
    EXPECT_EQ(answer.payload.size(), 3u);
    EXPECT_FALSE(answer.hasCode);

    EXPECT_EQ(frames::ClassifyDbRecord(Bytes{0x44, 0x42, 0x01, 0x07, 8, 0, 0}).kind,
              DbAnswerKind::kInvalid);
    EXPECT_EQ(frames::ClassifyDbRecord(Bytes{0x44, 0x42, 0x01, 0x07, 7, 0, 0, 0}).kind,
              DbAnswerKind::kInvalid);
    EXPECT_EQ(frames::ClassifyDbRecord({}).kind, DbAnswerKind::kInvalid);
}

}  // namespace

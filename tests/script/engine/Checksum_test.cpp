// DBB_Checksum against the sum table.
#include <gmock/gmock.h>

#include "tests/script/engine/EngineTestSupport.h"
#include "tests/support/FrameBuilders.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The device's sum for a checksum request, whatever the area.
DevicePort::Responder SumAnswer(Bytes sum) {
    return [sum](const Bytes& frame) { return DbAck(frame, sum); };
}

TEST_F(HandlerTest, EqualSumsPass) {
    port.SetResponder(SumAnswer(B({0x41, 0xF2})));
    EXPECT_EQ(exec->DBB_Checksum_Func("C_PS,10,1"), 1);
    EXPECT_THAT(port.WritesHex(), ElementsAre("4442080900000008"));
    EXPECT_TRUE(owner.steps.Has("1:   --> PC側 SUM = 0x41F2"));
    EXPECT_TRUE(owner.steps.Has("1:   --> MS側 SUM = 0x41F2"));
    EXPECT_TRUE(owner.steps.Has("1:   --> C_PS Checksum OK"));
}

TEST_F(HandlerTest, EveryModuleAsksForItsOwnArea) {
    port.SetResponder(SumAnswer(B({0x00, 0x00})));
    const char* modules[] = {"C_LM1",  "C_LM2",  "C_MDSP", "C_CDSP", "C_HDSP", "C_GDSP",
                             "C_VDSP", "C_RFIC", "U_LM",   "U_BDSP", "C_CD2",  "C_EDSP"};
    for (const char* module : modules) {
        EXPECT_EQ(exec->DBB_Checksum_Func(CComString(module) + ",5,1"), 0);
    }
    EXPECT_THAT(port.WritesHex(),
                ElementsAre("4442010900000008", "4442070900000008", "4442020900000008",
                            "4442030900000008", "44420D0900000008", "44420E0900000008",
                            "4442040900000008", "44420F0900000008", "4442250900000008",
                            "4442260900000008", "44422B0900000008", "44420B0900000008"));
}

TEST_F(HandlerTest, ModuleNamesAreComparedWithCase) {
    ExecError().ErrContents = 0;
    EXPECT_EQ(exec->DBB_Checksum_Func("c_ps,10,1"), 0);
    // C_USB has a sum but no area of its own.
    EXPECT_EQ(exec->DBB_Checksum_Func("C_USB,10,1"), 0);
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_THAT(owner.steps.Lines(),
                ElementsAre("1:   --> c_ps 存在しないLM名", "1:   --> C_USB 存在しないLM名"));
    EXPECT_EQ(ExecError().ErrContents.load(), 0);
}

TEST_F(HandlerTest, DifferentSumsFailWith13) {
    port.SetResponder(SumAnswer(B({0x27, 0x71})));
    EXPECT_EQ(exec->DBB_Checksum_Func("C_LM1,10,1"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrChecksum);
    EXPECT_THAT(owner.steps.From("1:   --> PC側 SUM = 0x2772", 5),
                ElementsAre("1:   --> PC側 SUM = 0x2772", "1:   --> MS側 SUM = 0x2771",
                            "1:   --> C_LM1 Checksum Unmatch", "0:チェックサム異常", "1:"));
}

TEST_F(HandlerTest, AnErrorAnswerFailsWith8) {
    port.SetResponder([](const Bytes&) { return frametest::MakeDbErrorFrame(-14); });
    EXPECT_EQ(exec->DBB_Checksum_Func("C_PS,10,1"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrDeviceError);
    EXPECT_TRUE(owner.steps.Has("1:   ---> その他エラー"));
}

TEST_F(HandlerTest, AnAnswerWithoutTheSumBytesFailsWith7) {
    port.SetResponder(SumAnswer(B({0x41})));
    EXPECT_EQ(exec->DBB_Checksum_Func("C_PS,10,1"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWaitFailed);
}

TEST_F(HandlerTest, NoAnswerInTimeFailsWith7) {
    port.SetResponder({});
    EXPECT_EQ(exec->DBB_Checksum_Func("C_PS,0,1"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWaitFailed);
    EXPECT_TRUE(owner.steps.Has("0:DBB 受信エラー発生"));
    EXPECT_TRUE(owner.steps.Has("1:   --> 待ち時間タイムアウト ( 0 秒 )"));
}

TEST_F(HandlerTest, AFailedRequestWriteFailsWithItsRecord) {
    port.SetSendResult(0);
    EXPECT_EQ(exec->DBB_Checksum_Func("C_PS,10,1"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWriteFailed);
}

class ChecksumTableTest : public HandlerTest {
  protected:
    void UseSums(std::string_view text) {
        LaidText sumText(text, kSumText);
        sum.LoadParamSection("Loader_Sum");
    }
};

TEST_F(ChecksumTableTest, AModuleWithoutAUsableSumFailsBeforeAsking) {
    UseSums("[SUM]\nC_PS=0x41F\nC_MDSP=41F2AB\nC_CDSP=0xZZ12\n");
    ExecError().ErrContents = 0;
    for (const char* value : {"C_PS,10,1", "C_MDSP,10,1", "C_CDSP,10,1", "C_HDSP,10,1"}) {
        EXPECT_EQ(exec->DBB_Checksum_Func(value), 0) << value;
    }
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_EQ(ExecError().ErrContents.load(), 0);
    EXPECT_TRUE(owner.steps.Has("1:   --> C_PS SUM値の定義がありません [0x41F]"));
    EXPECT_TRUE(owner.steps.Has("1:   --> C_HDSP SUM値の定義がありません []"));
}

TEST_F(ChecksumTableTest, OnlyTheFirstSixCharactersCount) {
    UseSums("[SUM]\nC_PS=0X41f2ff\n");
    port.SetResponder(SumAnswer(B({0x41, 0xF2})));
    EXPECT_EQ(exec->DBB_Checksum_Func("C_PS,10,1"), 1);
}

}  // namespace
}  // namespace enginetest

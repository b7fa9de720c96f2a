// The version record and the per-module version check.
#include <gmock/gmock.h>

#include "tests/script/engine/EngineTestSupport.h"

namespace enginetest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(HandlerTest, SetVersionFromFileWritesTheGenTextOfLatest) {
    port.SetResponder({});
    EXPECT_EQ(exec->DBB_D2_SetVersionFromFileFunc("latest"), 1);
    // The row's own value is not used.
    EXPECT_EQ(exec->DBB_D2_SetVersionFromFileFunc("other"), 1);
    const std::string gen =
        "444201080000001E51554F5256454E2056303752323243203131303830"
        "35";
    EXPECT_THAT(port.WritesHex(), ElementsAre(gen, gen));
    EXPECT_EQ(port.Writes()[0].size(), 30U);
}

TEST_F(HandlerTest, SetVersionWritesTheGivenText) {
    port.SetResponder({});
    EXPECT_EQ(exec->DBB_D2_SetVersionFunc("ABC"), 1);
    EXPECT_EQ(exec->DBB_D2_SetVersionFunc(""), 1);
    EXPECT_THAT(port.WritesHex(), ElementsAre("444201080000000B414243", "4442010800000008"));
    EXPECT_TRUE(owner.steps.Has("1:   --> コマンド：444201080000000B414243"));
}

TEST_F(HandlerTest, AVersionTextTheRecordCannotHoldIsRefused) {
    EXPECT_EQ(exec->DBB_D2_SetVersionFunc(CComString(std::string(100, 'V'))), 0);
    EXPECT_EQ(exec->DBB_D2_SetVersionFunc(CComString("A\x01"
                                                     "B")),
              0);
    EXPECT_EQ(exec->DBB_D2_SetVersionFunc(CComString::FromUtf8("版")), 0);
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_EQ(ExecError().ErrContents.load(), kErrStartup);

    port.SetResponder({});
    EXPECT_EQ(exec->DBB_D2_SetVersionFunc(CComString(std::string(99, 'V'))), 1);
    ASSERT_EQ(port.Writes().size(), 1U);
    EXPECT_EQ(port.Writes()[0].size(), 107U);
}

class VersionTableTest : public HandlerTest {
  protected:
    void UseVersions(std::string_view text) {
        LaidText verText(text, kVerText);
        ver.LoadParamSection("Loader_Ver");
    }
};

TEST_F(VersionTableTest, AMissingGenTextWritesNothing) {
    UseVersions("[latest]\nC_L1=LTEL1_018\n");
    EXPECT_EQ(exec->DBB_D2_SetVersionFromFileFunc("latest"), 0);
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_TRUE(owner.steps.Has("0:バージョン情報定義ファイルエラー"));
}

TEST_F(VersionTableTest, AGenTextLongerThan99IsCut) {
    UseVersions("[latest]\nGEN=" + std::string(120, 'G') + "\n");
    port.SetResponder({});
    EXPECT_EQ(exec->DBB_D2_SetVersionFromFileFunc("latest"), 1);
    ASSERT_EQ(port.Writes().size(), 1U);
    EXPECT_EQ(port.Writes()[0].size(), 107U);
}

// The device reports this version for C_L1, C_L2 and C_L3 requests.
DevicePort::Responder ModuleVersion(std::string version) {
    return [version](const Bytes& frame) {
        return DbAck(frame, Bytes(version.begin(), version.end()));
    };
}

TEST_F(HandlerTest, FileVerUpSkipsTheDownloadWhenTheVersionIsInstalled) {
    port.SetResponder(ModuleVersion("ltel1_018"));
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_L1,latest,x,20"), 1);
    EXPECT_THAT(port.WritesHex(), ElementsAre("4442010600000008"));
    EXPECT_THAT(owner.steps.From("0:同一のバージョンがインストールされています。", 2),
                ElementsAre("0:同一のバージョンがインストールされています。",
                            "1:   --> [ltel1_018] ＝＝ <LTEL1_018>"));
}

TEST_F(HandlerTest, FileVerUpAsksEachModuleWithItsOwnCommand) {
    port.SetResponder(ModuleVersion("C_L2_F_031"));
    EXPECT_EQ(exec->DBB_FileVerUp_Func("c_l2,latest,x,5"), 1);
    // No C_L3 in the shipped table: an empty wanted version equals an empty answer.
    port.SetResponder(ModuleVersion(""));
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_L3,latest,x,5"), 1);
    EXPECT_THAT(port.WritesHex(), ElementsAre("4442020600000008", "4442030600000008"));
}

TEST_F(HandlerTest, FileVerUpWithoutDefinitionsFailsInTheDownload) {
    port.SetResponder(ModuleVersion("LTEL1_017"));
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_L1,latest,x,20"), 0);
    EXPECT_THAT(port.WritesHex(), ElementsAre("4442010600000008"));
    EXPECT_THAT(owner.steps.From("0:バージョン情報定義ファイルエラー", 4),
                ElementsAre("0:バージョン情報定義ファイルエラー",
                            "1:[C_L1] に <LTEL1_018> バージョンの定義がありません。",
                            "1:指定のバージョンをダウンロードします。",
                            "1:   --> Type:[C_L1], Ver:[LTEL1_017] ≠ <LTEL1_018>, File:[]"));
    EXPECT_TRUE(owner.steps.Has("0:DBB LM ファイルオープンエラー"));
}

TEST_F(HandlerTest, FileVerUpOfC_D2NeverAsksTheDevice) {
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_D2,latest,x,20"), 0);
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_TRUE(owner.steps.Has("1:   --> Type:[C_D2], Ver:[] ≠ <C_D2_010>, File:[]"));
    EXPECT_TRUE(owner.steps.Has("0:DBB D2 ファイルオープンエラー"));
}

TEST_F(HandlerTest, FileVerUpTakesTheImageFromTheNamedDefinitions) {
    LaidText definitions(
        "[C_L2]\nDir=DATA\\NONE\nMasterVerFile=C_L2_F_030,old.cvt\n"
        "masterverfile=c_l2_f_031,QRV_NONE.cvt\n",
        kSumText);
    port.SetResponder(ModuleVersion("C_L2_F_030"));
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_L2,latest,Loader_Sum,20"), 0);
    EXPECT_FALSE(owner.steps.Has("0:バージョン情報定義ファイルエラー"));
    EXPECT_TRUE(owner.steps.Has(
        "1:   --> Type:[C_L2], Ver:[C_L2_F_030] ≠ <C_L2_F_031>, File:[DATA\\NONE\\QRV_NONE.cvt]"));
    EXPECT_THAT(port.WritesHex(), ElementsAre("4442020600000008"));
}

TEST_F(HandlerTest, FileVerUpOfAnotherTypeFails) {
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_PS,latest,x,20"), 0);
    EXPECT_EQ(exec->DBB_FileVerUp_Func(",latest,x,20"), 0);
    EXPECT_THAT(port.Calls(), IsEmpty());
    EXPECT_EQ(ExecError().ErrContents.load(), kErrStartup);
}

TEST_F(HandlerTest, FileVerUpFailsWhenTheDeviceDoesNotTell) {
    port.SetResponder({});
    EXPECT_EQ(exec->DBB_FileVerUp_Func("C_L1,latest,x,0"), 0);
    EXPECT_EQ(ExecError().ErrContents.load(), kErrWaitFailed);
    EXPECT_TRUE(owner.steps.Has("0:DBB 受信エラー発生"));
}

}  // namespace
}  // namespace enginetest

// The update tool's small dialogs on the scripted host, as the start-up and the main dialog use
// them.
#include "Loader/app/SecondaryDlgs.h"

#include "platform/ui/Text.h"
#include "tests/ui/UiFixture.h"

using platform::ui::IDCANCEL;
using platform::ui::IDOK;

namespace {

// Stands in for the main dialog: it keeps the instruction box as a member, counts its 1-second
// ticks only while the box is closed and shows the box again at the third tick.
class FakeMainDlg final : public platform::ui::Dialog, public IWaitBoxOwner {
  public:
    FakeMainDlg() : platform::ui::Dialog(1000), m_drvUpDlg(*this, this), m_nwConnDlg(*this, this) {}

    void DriverDialogClosed() override { m_bDriverDlgShown = false; }
    void NetworkDialogClosed() override { m_bNetworkDlgShown = false; }

    bool m_bDriverDlgShown = false;
    bool m_bNetworkDlgShown = false;
    int m_nTick = 0;
    CDrvUpDlg m_drvUpDlg;
    CNwConnDlg m_nwConnDlg;

  protected:
    bool OnInitDialog() override {
        ShowDriverDialog();
        GetWindow().SetTimer(1, 1000);
        return true;
    }
    std::intptr_t OnMessage(const platform::window::Message& message) override {
        if (message.message == platform::window::kTimerMessage && !m_bDriverDlgShown &&
            ++m_nTick == 3) {
            ShowDriverDialog();
        }
        return 0;
    }

  private:
    void ShowDriverDialog() {
        m_bDriverDlgShown = m_drvUpDlg.Create();
        m_nTick = 0;
    }
};

}  // namespace

TEST_F(UiTest, NoticeGoesOnWithNextAndStopsWithTheCloseBox) {
    host_.Press(178, IDOK);
    EXPECT_EQ(CAttentionDlg().DoModal(), IDOK);
    EXPECT_TRUE(Recorded("178 show \"ZR-40 ソフトウェア更新ツール\""));
    EXPECT_TRUE(Recorded("178 item -1 \" ※更新中は、他のプログラムを実行しないでください。\""));

    host_.Close(178);
    EXPECT_EQ(CAttentionDlg().DoModal(), IDCANCEL);
    EXPECT_FALSE(host_.StepsLeft());
}

TEST_F(UiTest, WaitingBoxRefusesTheCloseBoxAndFreesItselfWithItsWindow) {
    auto* pWait = new CConfWait;
    ASSERT_TRUE(pWait->Create());
    const platform::ui::DialogRef ref(*pWait);
    EXPECT_TRUE(platform::window::FindWindow("ZR-40ソフトウェア更新ツール"));

    pWait->UserClose();
    ASSERT_EQ(ref.Get(), pWait);
    EXPECT_TRUE(pWait->IsVisible());

    pWait->DestroyWindow();  // the last use of the pointer; ASan reports a leak otherwise
    EXPECT_EQ(ref.Get(), nullptr);
    EXPECT_FALSE(platform::window::FindWindow("ZR-40ソフトウェア更新ツール"));
}

TEST_F(UiTest, DriverBoxOkClosesOnlyItselfAndComesBackAfterTheMainDialogsTicks) {
    FakeMainDlg dlg;
    host_.Press(180, IDOK)
        .Do("main dialog still waits",
            [&] {
                EXPECT_FALSE(dlg.m_bDriverDlgShown);
                EXPECT_FALSE(dlg.m_drvUpDlg.IsAlive());
                EXPECT_TRUE(dlg.IsAlive());
                EXPECT_FALSE(dlg.ModalEnded());
            })
        .Advance(3000)
        .Do("box shown again", [&] { EXPECT_TRUE(dlg.m_bDriverDlgShown); })
        .Close(180)
        .Press(1000, IDOK);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_FALSE(dlg.m_bDriverDlgShown);  // the close box dismissed it as OK does
    EXPECT_FALSE(host_.StepsLeft());
    EXPECT_EQ(std::count(host_.Record().begin(), host_.Record().end(),
                         "180 show \"ZR-40ソフトウェア更新ツール\""),
              2)
        << host_.RecordText();
}

TEST_F(UiTest, AboutBoxShowsProductVersionAndCopyright) {
    host_.Press(100, IDOK);
    EXPECT_EQ(CAboutDlg().DoModal(), IDOK);
    EXPECT_TRUE(Recorded("100 show \"ZR-40ソフトウェア更新 バージョン情報\""))
        << host_.RecordText();
    EXPECT_TRUE(Recorded("100 item 117 \"RURududiv Version v1.00\"")) << host_.RecordText();
    EXPECT_TRUE(Recorded("100 item 1003 \"Copyright (C) 2011 Norvale Inc.\""));
}

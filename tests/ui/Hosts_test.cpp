// The console host through pipes, as a terminal without a display uses it, and what the
// scripted host does for the flows: start hints, message boxes, the tray.
#include <fcntl.h>
#include <unistd.h>

#include "Loader/app/SecondaryDlgs.h"
#include "platform/resources/resources.h"
#include "platform/ui/ConsoleHost.h"
#include "platform/ui/Text.h"
#include "tests/ui/UiFixture.h"

using namespace platform::ui;

namespace {

// The main dialog's template with its progress bar moved by a timer, one step a tick.
class ProgressDlg final : public Dialog {
  public:
    ProgressDlg() : Dialog(1000) {}

  protected:
    bool OnInitDialog() override {
        SetItemText(1131, "\x83\x5C\x83\x74\x83\x67");  // "ソフト" in code page 932
        ShowItem(1127, true);
        ShowItem(1128, true);
        GetWindow().SetTimer(1, 0);
        return true;
    }
    std::intptr_t OnMessage(const platform::window::Message& message) override {
        if (message.message == platform::window::kTimerMessage) {
            m_nPercent += 45;
            SetProgressPos(1127, m_nPercent);
            SetItemText(1128, std::to_string(m_nPercent) + "%  ");
            if (m_nPercent > 90) {
                EndDialog(IDOK);
            }
        }
        return 0;
    }

  private:
    int m_nPercent = 10;
};

class ConsoleTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        ASSERT_EQ(::pipe2(input_, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(output_, O_CLOEXEC), 0);
        console_ = std::make_unique<ConsoleHost>(input_[0], output_[1]);
        SetHost(console_.get());
    }
    void TearDown() override {
        SetHost(nullptr);
        for (int fd : {input_[0], input_[1], output_[0], output_[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        UiTest::TearDown();
    }
    void Type(const std::string& text, bool closeAfter) {
        ASSERT_EQ(::write(input_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
        if (closeAfter) {
            ::close(input_[1]);
            input_[1] = -1;
        }
    }
    std::string Shown() {
        ::close(output_[1]);
        output_[1] = -1;
        std::string text;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(output_[0], buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    int input_[2] = {-1, -1};
    int output_[2] = {-1, -1};
    std::unique_ptr<ConsoleHost> console_;
};

}  // namespace

TEST_F(ConsoleTest, ShowsTheNoticeInUtf8AndReadsTheChoice) {
    Type("7\n1\n", false);
    EXPECT_EQ(CAttentionDlg().DoModal(), IDOK);
    const std::string shown = Shown();
    EXPECT_NE(shown.find("== ZR-40 ソフトウェア更新ツール ==\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  【注意事項】\n"), std::string::npos);
    EXPECT_NE(shown.find("[1] 次へ  [2] キャンセル"), std::string::npos);
    EXPECT_NE(shown.find("?\n"), std::string::npos);  // 7 is no choice
}

TEST_F(ConsoleTest, AnswersPipedAtOnceReachOneDialogAfterTheOther) {
    // The second answer is already buffered when the first one ends the notice.
    Type("1\n1\n", true);
    EXPECT_EQ(CAttentionDlg().DoModal(), IDOK);
    EXPECT_EQ(CAttentionDlg().DoModal(), IDOK);
    const std::string shown = Shown();
    EXPECT_EQ(shown.find("(input closed)"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  -> 次へ\n"), std::string::npos) << shown;
}

TEST_F(ConsoleTest, ClosedInputIsTheCloseBox) {
    Type("", true);
    EXPECT_EQ(CAttentionDlg().DoModal(), IDCANCEL);
    EXPECT_NE(Shown().find("(input closed)"), std::string::npos);
}

TEST_F(ConsoleTest, ProgressRedrawsOneLineInPlace) {
    ProgressDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    const std::string shown = Shown();
    const std::size_t first = shown.find("] 55%  ");
    const std::size_t last = shown.find("] 100%  ");
    ASSERT_NE(first, std::string::npos) << shown;
    ASSERT_NE(last, std::string::npos) << shown;
    const std::string redraws = shown.substr(first, last - first);
    EXPECT_EQ(redraws.find('\n'), std::string::npos) << redraws;  // all on the same line
    EXPECT_NE(redraws.find("\r  [###"), std::string::npos);
    EXPECT_NE(shown.find("  ソフト\n"), std::string::npos);
}

TEST_F(ConsoleTest, ASettingIsAChoiceOfItsOwn) {
    const std::string text = Utf8ToCp932(
        "DIALOG 9001 120 60\nTITLE \"設定\"\n"
        "CONTROL GROUPBOX - \"通知\" 5 5 110 30\n"
        "CONTROL RADIO 1001 \"通知する\" 10 14 100 8 GROUP\n"
        "CONTROL RADIO 1002 \"通知しない\" 10 24 100 8\n"
        "CONTROL DEFPUSHBUTTON 1 \"OK\" 40 40 40 14 GROUP\n");
    platform::resources::ScopedResource resource(
        "DIALOG", 9001, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    class Setting final : public Dialog {
      public:
        Setting() : Dialog(9001) {}
        int chosen = 0;

      protected:
        bool OnInitDialog() override {
            SetRadioValue(1001, 0);
            return true;
        }
        void OnOK() override {
            chosen = GetRadioValue(1001);
            Dialog::OnOK();
        }
    } dlg;
    // The list is [1] OK [2] ( ) 通知しない; after the change it is [1] OK [2] ( ) 通知する.
    Type("2\n1\n", true);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.chosen, 1);
    const std::string shown = Shown();
    EXPECT_NE(shown.find("[1] OK  [2] ( ) 通知しない"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  (*) 通知しない\n"), std::string::npos) << shown;
}

TEST_F(ConsoleTest, YesNoBoxReadsItsAnswer) {
    Type("y\n", true);
    EXPECT_EQ(MessageBox(Utf8ToCp932("続けますか。"), "ZR-40", MbIcon::Warning, MbButtons::YesNo),
              IDYES);
    EXPECT_EQ(MessageBox("x", "ZR-40", MbIcon::Warning, MbButtons::YesNo), IDNO);  // input gone
    const std::string shown = Shown();
    EXPECT_NE(shown.find("[!] ZR-40\n    続けますか。\n"), std::string::npos) << shown;
}

TEST_F(UiTest, FirstTopLevelDialogFollowsTheStartHint) {
    testsupport::ScopedEnv hint("ZR40_SHOW", "hidden");
    CAboutDlg first;
    host_.Do("nothing shown", [&] { EXPECT_FALSE(first.IsVisible()); }).Do("end", [&] {
        first.EndDialog(IDOK);
    });
    EXPECT_EQ(first.DoModal(), IDOK);
    host_.Press(100, IDOK);
    EXPECT_EQ(CAboutDlg().DoModal(), IDOK);  // only the first one
    EXPECT_FALSE(host_.StepsLeft());
}

TEST_F(UiTest, TrayEventsAndMenuChoicesReachTheOwnerOnItsWindow) {
    class Owner final : public Dialog {
      public:
        Owner() : Dialog(100), tray(*this, 1, 0x8003) {}
        TrayIcon tray;
        std::vector<std::intptr_t> events;

      protected:
        bool OnInitDialog() override {
            tray.Add(128, "ZR-40");
            return true;
        }
        std::intptr_t OnMessage(const platform::window::Message& m) override {
            if (m.message == 0x8003) {
                events.push_back(m.lParam);
            }
            return 0;
        }
        void OnCommand(int id) override {
            if (id == 32772) {
                EndDialog(id);
            }
        }
    };
    host_.TrayEvent(kTrayRightButtonUp).TrayEvent(kTrayBalloonClick).ChooseMenuItem(32772);
    Owner owner;
    EXPECT_EQ(owner.DoModal(), 32772);
    EXPECT_EQ(owner.events, (std::vector<std::intptr_t>{kTrayRightButtonUp, kTrayBalloonClick}));
    EXPECT_TRUE(Recorded("tray add 128 \"ZR-40\""));

    host_.SetTrayAvailable(false);
    EXPECT_FALSE(TrayIcon::Available());
}

TEST_F(UiTest, ModalBoxHoldsTheInputOfTheDialogBelowUntilItEnds) {
    class Main final : public Dialog {
      public:
        Main() : Dialog(1000) {}

      protected:
        void OnSysCommand(int id) override {
            if (id == 0x10) {
                CAboutDlg(this).DoModal();
            }
        }
    };
    host_.SysCommand(1000, 0x10).Press(1000, IDOK).Press(100, IDOK).Press(1000, IDOK);
    EXPECT_EQ(Main().DoModal(), IDOK);
    EXPECT_TRUE(Recorded("script: skipped press 1000 1")) << host_.RecordText();
    EXPECT_TRUE(Recorded("100 end 1"));
    EXPECT_FALSE(host_.StepsLeft());
}

TEST_F(UiTest, HostComesFromTheEnvironmentAndAScriptFileDrivesIt) {
    testsupport::ScopedEnv ui("ZR40_UI", nullptr);
    testsupport::ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    {
        testsupport::ScopedEnv display("DISPLAY", ":0");
        EXPECT_EQ(ChosenHostName(), "qt");
        EXPECT_EQ(ChooseHost()->Name(), "console");  // no Qt host in this program
    }
    testsupport::ScopedEnv display("DISPLAY", nullptr);
    EXPECT_EQ(ChosenHostName(), "console");

    const std::string script = (root_.Path() / "steps.txt").string();
    std::ofstream(script) << "# refuse the notice\npress 178 2\n";
    testsupport::ScopedEnv scripted("ZR40_UI", "scripted");
    testsupport::ScopedEnv steps("ZR40_UI_SCRIPT", script.c_str());
    std::unique_ptr<Host> host = ChooseHost();
    ASSERT_EQ(host->Name(), "scripted");
    SetHost(host.get());
    EXPECT_EQ(CAttentionDlg().DoModal(), IDCANCEL);
    EXPECT_FALSE(static_cast<ScriptedHost&>(*host).StepsLeft());
    SetHost(&host_);
}

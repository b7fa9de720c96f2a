// The update tool's main window: its controls, the script run's threads while it writes, and
// the hand-over of every message and tick to the update road.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Loader/app/LoaderApp.h"
#include "Loader/app/SecondaryDlgs.h"
#include "Loader/app/UpdateRoad.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/script/RunOwner.h"
#include "platform/ui/Ui.h"

inline constexpr int IDD_LOADER_DIALOG = 1000;
inline constexpr int IDC_START = 1202;
inline constexpr int IDC_STATUS1 = 1131;
inline constexpr int IDC_STATUS2 = 1132;
inline constexpr int IDC_OLD_VERSION = 1125;
inline constexpr int IDC_NEW_VERSION = 1126;
inline constexpr int IDC_PROGRESS = 1127;
inline constexpr int IDC_PERCENT = 1128;
inline constexpr int IDM_ABOUTBOX = 0x0010;
// The template must give the same ids (generated check).
#include "Loader/app/res/dlg1000_ids.h"

// Asked of the window before a suspend; the answer refuses it.
inline constexpr std::uint32_t WM_POWERBROADCAST = 0x0218;
inline constexpr std::uintptr_t PBT_APMQUERYSUSPEND = 0x0000;
inline constexpr std::intptr_t BROADCAST_QUERY_DENY = 0x424D5144;

using CLoaderDlgSystem = CRoadSystem;

class CLoaderDlg final : public platform::ui::Dialog,
                         public CRunOwner,
                         public IWaitBoxOwner,
                         private IRoadView {
  public:
    // `runClock` paces the script run's threads; the road's waits go by the host's clock.
    explicit CLoaderDlg(CLoaderStart& start, CLoaderDlgSystem system = {},
                        platform::kernel::Clock& runClock = platform::kernel::SystemClock());
    ~CLoaderDlg() override;

    int Phase() const { return m_road ? static_cast<int>(m_road->Phase()) : 0; }
    int Percent() const { return m_road ? m_road->Percent() : 0; }

    // CLoaderExecOwner, called on the run's threads.
    void StepMessage(const CComString& cstrText, int nLevel) override;
    void ShowErrorBox(int nMessageId) override;
    void SetFailed(bool bFailed) override;
    void PostLoaderEnd() override;
    void PostProgress() override;

    // IWaitBoxOwner
    void DriverDialogClosed() override;
    void NetworkDialogClosed() override;

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void OnOK() override;
    void OnCancel() override;
    void OnClose() override;
    void OnSysCommand(int id) override;
    bool OnKey(platform::ui::Key key) override;
    std::intptr_t OnMessage(const platform::window::Message& message) override;
    void OnDestroy() override;
    // Only the manager's confirmation comes from outside.
    std::vector<std::uint32_t> MessagesFromOutside() const override {
        return {WM_LOADER_REGISTERED};
    }

  private:
    // IRoadView
    void ShowTexts(RoadTexts texts) override;
    void ShowProgressControls() override;
    void SetProgress(int nPos) override;
    void SetPercentText(const std::string& textUtf8) override;
    void EnableButtons(bool bEnable) override;
    void ShowMessage(const std::vector<int>& textIds, IRoadView::Icon icon) override;
    void ShowBox(WaitBox box) override;
    void CloseBox(WaitBox box) override;
    bool BoxShown(WaitBox box) const override;
    void Close(bool bCompleted) override;

    void OnStartButton();
    std::unique_ptr<platform::ui::Dialog>& BoxOf(WaitBox box) {
        return box == WaitBox::kDriver ? m_pDrvDlg : m_pNwDlg;
    }
    const std::unique_ptr<platform::ui::Dialog>& BoxOf(WaitBox box) const {
        return box == WaitBox::kDriver ? m_pDrvDlg : m_pNwDlg;
    }

    // The runs' error log goes to the user the tool works for, not to the working directory.
    ScopedErrorLogPlace m_errorLogPlace;
    CLoaderStart& m_start;
    CLoaderDlgSystem m_system;
    platform::kernel::Clock& m_runClock;
    platform::window::WindowHandle m_self;
    // Made with the window, which it sets its timer on.
    std::unique_ptr<CUpdateRoad> m_road;
    // CDrvUpDlg and CNwConnDlg while shown.
    std::unique_ptr<platform::ui::Dialog> m_pDrvDlg;
    std::unique_ptr<platform::ui::Dialog> m_pNwDlg;
};

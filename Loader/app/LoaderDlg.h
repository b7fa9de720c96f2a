// The update tool's main window: the write, its progress, and the rest of the update road up to
// the manager's confirmation. It owns the script run's threads while it writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "Loader/app/LoaderApp.h"
#include "Loader/app/SecondaryDlgs.h"
#include "Loader/script/RunOwner.h"
#include "platform/net/Reachability.h"
#include "platform/ui/Ui.h"

class CMmInhibit;
namespace platform::devnotify {
class DeviceMonitor;
}
namespace platform::system {
class StayAwake;
}

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

inline constexpr std::uint32_t WM_LOADER_REGISTERED = 0x0401;
inline constexpr std::uint32_t WM_LOADER_CHECK_RESULT = 0x0402;
inline constexpr std::uint32_t WM_LOADER_REGISTER = 0x0403;
inline constexpr std::uint32_t WM_LOADER_DRIVER_WAIT = 0x0404;
inline constexpr std::uint32_t WM_LOADER_DRIVER_CHECK = 0x0405;
// Asked of the window before a suspend; the answer refuses it.
inline constexpr std::uint32_t WM_POWERBROADCAST = 0x0218;
inline constexpr std::uintptr_t PBT_APMQUERYSUSPEND = 0x0000;
inline constexpr std::intptr_t BROADCAST_QUERY_DENY = 0x424D5144;

// What the dialog needs from outside the device, so tests can stand in for it.
struct CLoaderDlgSystem {
    std::function<bool()> serverReachable;
    // Installs the manager from <dir>/ZR40_UpMng and starts it; false when it did not start.
    std::function<bool(const std::filesystem::path& dir)> startManager;
};

class CLoaderDlg final : public platform::ui::Dialog, public CRunOwner, public IWaitBoxOwner {
  public:
    // `runClock` paces the script run's threads; the window's waits go by the host's clock.
    explicit CLoaderDlg(CLoaderStart& start, CLoaderDlgSystem system = {},
                        platform::kernel::Clock& runClock = platform::kernel::SystemClock());
    ~CLoaderDlg() override;

    int Phase() const { return m_nPhase; }
    int Percent() const { return m_nPercent; }

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

  private:
    void OnStartButton();
    void OnTimerTick();
    void OnLoaderEnd();
    void OnProgress();
    void OnDeviceChange();
    void OnCheckResult();
    void OnDriverWait();
    void OnDriverCheck();
    void OnRegister();
    void OnRegistered();
    void RegistrationTimeout();

    void SubTick();
    void ShowPercent(int nPercent);
    void SetTexts(const char* pszLine1, const char* pszLine2);
    void SetBar(int nPos);
    void StartTimer();
    void StopTimer();
    int DeviceReadiness();
    bool ReadResult(CComString& strVersion, CComString& strSerial);
    void Fail(int nMessageId, bool bUpdateError);
    void Message(int nId, platform::ui::MbIcon icon);
    void Finish(int nMessageId);
    void CloseWaitBoxes();
    void SleepMs(std::uint32_t ms);

    CLoaderStart& m_start;
    CLoaderDlgSystem m_system;
    CUsbPort* m_pPort;
    platform::kernel::Clock& m_runClock;

    platform::window::WindowHandle m_self;

    std::atomic<bool> m_bRunFailed{false};
    bool m_bWaitingForDevice = false;
    std::uint32_t m_nElapsed = 0;
    int m_nSubTicks = 0;
    int m_nPercent = 0;
    bool m_bRequestsExisted = false;
    int m_nTick = 0;
    int m_nPhase = 0;
    bool m_bDriverWaitArmed = false;
    bool m_bDriverDlgAtFirstTick = false;
    bool m_bRegisterAtFirstTick = false;
    bool m_bFinished = false;
    bool m_bTimerOn = false;
    bool m_bSettingsSaved = false;
    std::unique_ptr<CDrvUpDlg> m_pDrvDlg;
    std::unique_ptr<CNwConnDlg> m_pNwDlg;
    std::unique_ptr<platform::system::StayAwake> m_pAwake;
    std::unique_ptr<CMmInhibit> m_pInhibit;
    std::unique_ptr<platform::devnotify::DeviceMonitor> m_pMonitor;
};

// The manager's window (dialog 102) and the new-version dialog (130). The window lives hidden in
// the tray most of the time; the jobs' results, its timers and what the watchers tell it all
// arrive as messages on its own thread.
#pragma once

#include <memory>
#include <string>

#include "ZR40UpReg/UpRegController.h"
#include "ZR40UpReg/UpdateWorker.h"
#include "platform/devnotify/DeviceMonitor.h"
#include "platform/system/Power.h"
#include "platform/ui/Ui.h"

inline constexpr const char* kManagerTitle = "ZR-40更新管理ツール";

inline constexpr int IDD_ZR40UPREG_DIALOG = 102;
inline constexpr int IDD_UPDATE_DIALOG = 130;
inline constexpr int IDR_TRAY_MENU = 4;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDC_CHECK_NOW = 1000;
inline constexpr int IDC_NOTIFY_ON = 1001;
inline constexpr int IDC_OK = 1003;
inline constexpr int IDC_CANCEL = 1004;
inline constexpr int IDC_GET_UPDATE = 1000;
inline constexpr int IDC_VERSION_LINE = 1007;
inline constexpr int IDC_CLOSE = 1003;
inline constexpr int ID_TRAY_EXIT = 32772;
// The templates must give the same ids (generated checks).
#include "ZR40UpReg/res/dlg102_ids.h"
#include "ZR40UpReg/res/dlg130_ids.h"
#include "ZR40UpReg/res/menu4_ids.h"

inline constexpr std::uint32_t WM_TRAY_CALLBACK = 0x8003;
inline constexpr std::uint32_t WM_NOTIFY_NOW = 0x0401;
inline constexpr std::uint32_t WM_MANAGER_CLOSE = 0x0402;
// Posted by the watchers' threads.
inline constexpr std::uint32_t WM_POWER_BROADCAST = 0x0218;
inline constexpr std::uint32_t WM_END_SESSION = 0x0016;
inline constexpr int kScMinimize = 0xF020;

class CUpdateDlg : public platform::ui::Dialog {
  public:
    CUpdateDlg(std::string strName, platform::net::UpdateServer server,
               platform::ui::Dialog* pParent);

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;

  private:
    std::string m_strName;
    platform::net::UpdateServer m_server;
};

class CZR40UpRegDlg : public platform::ui::Dialog, public IUpRegView {
  public:
    explicit CZR40UpRegDlg(std::string strCmdLine, WorkerEnvironment env = {});
    ~CZR40UpRegDlg() override;

    bool BalloonPending() const { return m_bBalloonPending; }
    const platform::ui::TrayIcon& Tray() const { return m_tray; }

    void ShowMessage(int nStringId, IUpRegView::Icon icon, const std::string& strArg) override;
    void NewVersionBalloon() override;
    void OpenNewVersionDialog(const std::string& strName) override;

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void OnOK() override;
    void OnCancel() override;
    void OnClose() override;
    bool OnKey(platform::ui::Key key) override;
    void OnSysCommand(int id) override;
    std::intptr_t OnMessage(const platform::window::Message& msg) override;
    void OnDestroy() override;
    // The update tool asks it to end; nothing else comes from outside.
    std::vector<std::uint32_t> MessagesFromOutside() const override { return {WM_MANAGER_CLOSE}; }

  private:
    void HideToTray();
    void RestoreFromTray();
    void LoadVerCheck();
    void UpdateCheckButton();
    void OnTrayEvent(std::intptr_t event);
    void OnExit();
    void OnDeviceChange(const platform::window::Message& msg);
    void StartupChecks();
    void StopAll();

    std::string m_strCmdLine;
    int m_nVerCheck = 0;  // index in the radio group: 0 notify, 1 do not check
    UpdateWorker m_worker;
    std::unique_ptr<CUpRegController> m_controller;
    bool m_bBalloonPending = false;
    platform::ui::TrayIcon m_tray;
    std::unique_ptr<platform::devnotify::DeviceMonitor> m_devices;
    std::unique_ptr<platform::system::ResumeWatcher> m_resume;
    std::unique_ptr<platform::system::SessionEndWatcher> m_sessionEnd;
};

// What the update tool changes on the PC beyond the device: its own relaunch at the next logon,
// the update manager's installation and start, the connection software's settings kept across
// the reinstall of the device's communication settings, and the nudge to the manager's window.
//
// Operations return 1 on success and 0 on failure, as the rest of the tool does; callers ignore
// most of them, the tests do not.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/kernel/Clock.h"
#include "platform/system/Launch.h"
#include "platform/system/System.h"

class CComLog;

// The manager's main window; titles are UTF-8 on this platform.
inline constexpr char kManagerWindowTitle[] = "ZR-40更新管理ツール";
// Asks the manager to end (WM_USER+2).
inline constexpr std::uint32_t WM_MANAGER_QUIT = 0x0402;

// Names of the things the tool leaves behind.
inline constexpr char kToolProgram[] = "ZR40_SWUpdate";
inline constexpr char kRelaunchEntry[] = "zr40-swupdate-relaunch";
inline constexpr unsigned kRelaunchDelaySeconds = 20;
inline constexpr char kManagerFolder[] = "ZR40_UpMng";
inline constexpr char kManagerProgram[] = "ZR40_UpManager";
inline constexpr char kManagerUiProgram[] = "ZR40_UpMng_ui";
inline constexpr char kManagerAutostartEntry[] = "ZR40_UpManager";
inline constexpr char kUninstallKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\mirato ZR40 UpReg";
inline constexpr char kConnectionSoftKey[] = "Software\\Norvale\\ZR40_ConnectionSoft";
inline constexpr char kConnectionSoftSaveKey[] = "Software\\Norvale\\ZR40_ConnectionSoft_save";

// What the tool passes on to the manager it starts, which otherwise gets none of the tool's user
// interface settings: its ZR40_UI and ZR40_UI_SCRIPT, and a file for its output and errors.
inline constexpr char kManagerUiVariable[] = "ZR40_MANAGER_UI";
inline constexpr char kManagerUiScriptVariable[] = "ZR40_MANAGER_UI_SCRIPT";
inline constexpr char kManagerOutputVariable[] = "ZR40_MANAGER_OUTPUT";

class CSystemIntegration {
  public:
    // InstallManager's answer for a source it does not trust.
    static constexpr int kInstallRefused = -1;
    // How long an installation waits for a running manager to close its window before it
    // replaces the files anyway (the old program keeps its unlinked file; nothing is lost).
    static constexpr std::uint32_t kManagerClosePollMs = 500;
    static constexpr std::uint32_t kManagerCloseLimitMs = 30'000;

    explicit CSystemIntegration(platform::kernel::Clock& clock = platform::kernel::SystemClock());

    // The current user's autostart entry that starts <toolDir>/ZR40_SWUpdate through pkexec:
    // 20 seconds after logon, or at once on a 5.x system. Off removes it.
    int SetRelaunch(bool bOn, const platform::system::OsVersion& os,
                    const std::filesystem::path& toolDir = platform::system::ProgramDir());

    // Posts WM_MANAGER_QUIT to every manager window; gives how many got it.
    static int PostManagerQuit();

    // Installs ZR40_UpManager and ZR40_UpMng_ui from <dir>/ZR40_UpMng into the install
    // directory, registers the manager to start at logon and writes the uninstall entry. 0 when
    // a source file is missing (nothing is done), a copy failed (nothing is registered) or the
    // registration failed; the caller starts the installed manager in these cases.
    // kInstallRefused, with nothing done, when someone other than the administrator could have
    // changed the source: a folder on the way or a file not owned by root (or by this process's
    // user), writable by others (a sticky folder such as /tmp excepted), or a link.
    int InstallManager(const std::filesystem::path& dir);

    // The installed manager, as the current user, minimised, as a program of its own: the
    // tool's streams and user interface settings stay with the tool (see kManagerUiVariable).
    // Not Started() (code 32 or less) is the caller's failure to report.
    static platform::system::StartResult StartManager();

    // For every user profile: ZR40_ConnectionSoft copied to ZR40_ConnectionSoft_save, and back
    // (the copy then deleted). A profile without a store, without the key or with a damaged
    // store is skipped. Gives how many profiles were handled.
    static int SaveConnectionSettings();
    static int RestoreConnectionSettings();

    // The tool's error log (an ErrorLogOpener): kErrorLogName in the current user's state
    // folder (platform::paths::StateDir), made and written as that user, never through a link.
    static int OpenErrorLog(CComLog& log);

  private:
    void CloseRunningManager();

    platform::kernel::Clock& m_clock;
};

// The update road from the start button to the end of the program: the write's progress, the
// device's restart and the result check, the update record, the wait for the communication
// settings, the hand-over to the manager with its time-outs, and the resume of a stop an earlier
// run reached. Runs on the main window's thread; the window forwards its messages and timer
// ticks, and shows what the road asks through IRoadView.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Loader/app/LoaderApp.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Lock.h"
#include "platform/registry/Registry.h"
#include "platform/window/Window.h"

class CMmInhibit;
namespace platform::devnotify {
class DeviceMonitor;
}
namespace platform::system {
class StayAwake;
}

inline constexpr std::uint32_t WM_LOADER_REGISTERED = 0x0401;
inline constexpr std::uint32_t WM_LOADER_CHECK_RESULT = 0x0402;
inline constexpr std::uint32_t WM_LOADER_REGISTER = 0x0403;
inline constexpr std::uint32_t WM_LOADER_DRIVER_WAIT = 0x0404;
inline constexpr std::uint32_t WM_LOADER_DRIVER_CHECK = 0x0405;

// Where the road stands; the numbers are the ones the window has always reported.
enum class RoadPhase {
    kWriting = 0,  // also before the start button
    kRestarting = 1,
    kDriverWait = 2,
    kRegistering = 3,
    kRegisteringOffline = 4,
    kDone = 5,
};

// Whether the device can be asked for its result now.
enum class Readiness { kAbsent, kReady, kDataCall, kBusy, kConnectionSoft };

// The instruction boxes of the driver wait and of a registration without a network.
enum class WaitBox { kDriver, kNetwork };

// The pairs of status lines.
enum class RoadTexts { kFresh, kWriting, kRestarting, kResultCheck, kDriverWait, kRegistering };

class IRoadView {
  public:
    enum class Icon { kInformation, kError };

    virtual void ShowTexts(RoadTexts texts) = 0;
    // Shows and enables the progress bar and the percent text.
    virtual void ShowProgressControls() = 0;
    virtual void SetProgress(int nPos) = 0;
    virtual void SetPercentText(const std::string& textUtf8) = 0;
    // The start and exit buttons; the window can be closed only while exit is enabled.
    virtual void EnableButtons(bool bEnable) = 0;
    // A modal box of these string-table texts joined, with the window's title as caption.
    virtual void ShowMessage(const std::vector<int>& textIds, Icon icon) = 0;
    // The modeless instruction boxes; showing one that is shown does nothing.
    virtual void ShowBox(WaitBox box) = 0;
    virtual void CloseBox(WaitBox box) = 0;
    virtual bool BoxShown(WaitBox box) const = 0;
    // Ends the window: bCompleted for the road's end, else a failure.
    virtual void Close(bool bCompleted) = 0;

  protected:
    ~IRoadView() = default;
};

// What the road needs from outside the device, so tests can stand in for it.
struct CRoadSystem {
    std::function<bool()> serverReachable;
    // Installs the manager from <dir>/ZR40_UpMng and starts it; false when it did not start.
    std::function<bool(const std::filesystem::path& dir)> startManager;
};

class CUpdateRoad {
  public:
    // `clock` paces the road's waits (readiness retries, installer polling); `portLock` is the
    // one the script run opens the port under.
    CUpdateRoad(CLoaderStart& start, IRoadView& view, platform::window::Window& window,
                platform::kernel::Clock& clock, platform::kernel::CriticalSection& portLock,
                CRoadSystem system = {},
                platform::registry::Location store = platform::registry::CurrentUserStore());
    ~CUpdateRoad();

    // The window is shown: a fresh road waits for the start button, a resumed one goes on at
    // its stop.
    void Begin();
    // The start button. `startRun` starts the script run; when it cannot, the road ends.
    void StartWrite(const std::function<bool()>& startRun);
    // The run failed; any thread, before the run's end is posted.
    void RunFailed() { m_bRunFailed = true; }
    // The road's messages, its timer, the run's end and progress, the manager's confirmation
    // and device changes; false for anything else.
    bool HandleMessage(const platform::window::Message& message);
    // The window goes: no more ticks or device changes.
    void End();

    RoadPhase Phase() const { return m_phase; }
    int Percent() const { return m_nPercent; }

  private:
    void OnTimerTick();
    void TickWriting();
    void TickRestarting();
    void TickDriverWait();
    void TickRegistering();
    void WaitUntilReady();
    void OnLoaderEnd();
    void OnProgress();
    void OnDeviceChange();
    void OnCheckResult();
    void GoOnAfterResult();
    void OnDriverWait();
    void OnDriverCheck();
    void OnRegister();
    void Finish(std::vector<int> textIds);

    void SubTick();
    void ShowPercent(int nPercent);
    void StartTimer();
    void StopTimer();
    void Post(std::uint32_t message);
    // Mobile Broadband mode as the functions present now say; false when the device cannot be
    // reached either way.
    bool ModeOfPresentDevice();
    Readiness DeviceReadiness();
    // False when the device gave no answer; bSystemError when it cannot be asked at all.
    bool ReadResult(CComString& strVersion, CComString& strSerial, bool& bSystemError);
    void Fail(int nMessageId, bool bUpdateError);
    // What the store records as ExecDir.
    CComString ToolDirText() const;

    CLoaderStart& m_start;
    IRoadView& m_view;
    platform::window::Window& m_window;
    platform::kernel::Clock& m_clock;
    platform::kernel::CriticalSection& m_portLock;
    CRoadSystem m_system;
    platform::registry::Location m_store;
    CUsbPort* m_pPort;

    RoadPhase m_phase = RoadPhase::kWriting;
    int m_nTick = 0;
    std::uint32_t m_nElapsed = 0;
    int m_nSubTicks = 0;
    int m_nPercent = 0;
    std::atomic<bool> m_bRunFailed{false};
    bool m_bTimerOn = false;
    bool m_bWaitingForDevice = false;
    bool m_bRequestsExisted = false;
    bool m_bDriverWaitArmed = false;
    bool m_bDriverDlgAtFirstTick = false;
    bool m_bRegisterAtFirstTick = false;
    bool m_bFinished = false;
    bool m_bManagerStarted = false;
    std::unique_ptr<platform::system::StayAwake> m_pAwake;
    std::unique_ptr<CMmInhibit> m_pInhibit;
    std::unique_ptr<platform::devnotify::DeviceMonitor> m_pMonitor;
};

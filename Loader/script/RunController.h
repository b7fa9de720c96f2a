// A script run without the main window: owns the four embedded texts and the port besides what
// every run's owner holds, starts the receive thread and one execution thread for a section the
// way the window's start button does, and waits until every thread of the run has ended.
//
// Used by the service command zr40-loader and by the tests. Reports go to callbacks that are
// called on the worker threads: step messages (code page 932 and their level), one call per
// WM_LOADER_PROGRESS and per WM_LOADER_END, and the failure box (its string-table id; the box
// itself is the caller's: a console prints the text).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "Loader/common/ComString.h"
#include "Loader/common/ParamFile.h"
#include "Loader/script/RunOwner.h"
#include "platform/kernel/Clock.h"

class CPortManage;

struct CLoaderRunCallbacks {
    std::function<void(const CComString& cstrText, int nLevel)> onStep;
    std::function<void()> onProgress;
    std::function<void()> onEnd;
    std::function<void(int nMessageId)> onErrorBox;
};

class CLoaderRun final : public CRunOwner {
  public:
    enum class Result { kNotStarted, kSucceeded, kFailed, kStopped };

    // `clock` paces the WaitTime pauses, the Timer rows and the port's open retries.
    explicit CLoaderRun(platform::kernel::Clock& clock = platform::kernel::SystemClock());
    // Stops and joins a run still going.
    ~CLoaderRun() override;
    CLoaderRun(const CLoaderRun&) = delete;
    CLoaderRun& operator=(const CLoaderRun&) = delete;

    // Loads "Loader_Update", "Loader_Ini", "Loader_Ver" and "Loader_Sum" as the resources are
    // registered now (tests and the command lay their own texts over them first). 1 when the
    // script and the configuration could be loaded.
    int LoadTexts();
    // Replaces the loaded script with this text (code page 932, CR LF line ends).
    int LoadScriptText(std::string_view cp932Text);

    CParamFile& Script() { return m_script; }
    CParamFile& InitData() { return m_initData; }
    CParamFile& VerData() { return m_verData; }
    CParamFile& SumData() { return m_sumData; }

    // The port of the run. Without one, Start makes a CUsbPort on the configuration and looks
    // for the device's update port.
    void SetPort(std::unique_ptr<CPortManage> pPort);
    CPortManage* GetPort() const { return m_pPort.get(); }

    void SetCallbacks(CLoaderRunCallbacks callbacks) { m_callbacks = std::move(callbacks); }

    std::uint32_t ReadMaxDataSize() const { return CRunOwner::ReadMaxDataSize(m_initData); }

    // Starts the receive thread, then the execution thread of the section. 0 when the texts are
    // not loaded, no update port was found or a thread could not be started (nothing runs then).
    int Start(const CComString& cstrSection = "GLOBAL");
    // Returns once every thread of the run has ended and has been joined.
    Result Wait();
    Result Run(const CComString& cstrSection = "GLOBAL") {
        return Start(cstrSection) == 1 ? Wait() : Result::kNotStarted;
    }
    // Sets the stop event of every running execution thread (any thread may call it, not a
    // signal handler). A write in progress finishes; the run then ends through its stop path.
    void Stop() { RequestStop(); }

    bool Failed() const { return m_bFailed.load(); }
    int ErrorBoxCount() const { return m_nErrorBoxes.load(); }
    int ProgressCount() const { return m_nProgress.load(); }
    int EndCount() const { return m_nEnds.load(); }
    using CRunOwner::ThreadCount;

    // CLoaderExecOwner
    void StepMessage(const CComString& cstrText, int nLevel) override;
    void ShowErrorBox(int nMessageId) override;
    // The run's outcome: failed once any thread reported a failure.
    void SetFailed(bool bFailed) override;
    void PostLoaderEnd() override;
    void PostProgress() override;

  private:
    platform::kernel::Clock& m_clock;
    CParamFile m_script;
    CParamFile m_initData;
    CParamFile m_verData;
    CParamFile m_sumData;
    bool m_bTextsLoaded = false;
    std::unique_ptr<CPortManage> m_pPort;
    CLoaderRunCallbacks m_callbacks;
    bool m_bStarted = false;

    std::atomic<bool> m_bFailed{false};
    std::atomic<int> m_nErrorBoxes{0};
    std::atomic<int> m_nProgress{0};
    std::atomic<int> m_nEnds{0};
};

// Whole script runs through CLoaderRun against the real zr40-devsim: the simulator in a temp
// directory, discovery pointed at its catalogue, the error log in a temp working directory, and
// every run bounded by a guard that stops it instead of letting a test hang.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/PortManage.h"
#include "Loader/script/RunController.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/resources/resources.h"
#include "tests/script/engine/EngineTestSupport.h"
#include "tests/sim/devsim/DevsimRig.h"

namespace e2etest {

using devsim_test::DevSim;
using Result = CLoaderRun::Result;

// Only a guard against hangs; nothing is asserted about time.
inline constexpr std::chrono::seconds kRunGuard{120};

// The Timer row that the short scripts use to re-enter the boot loader.
inline constexpr std::uint32_t kReentryTimerMs = 3000;

// The rows that bring the device into its boot loader; rows 1 to 5 of every short script.
inline constexpr std::string_view kEnterLoader =
    "[GLOBAL]\n"
    "Port=open,10\n"
    "CMD=ff550042000101fe\n"
    "Timer=3\n"
    "Port=close\n"
    "Port=open,10\n";

// Real time, except that the re-entry Timer row waits for the simulator's event that the boot
// loader's port is there: the script reopens the port when the device is back, not when a
// guessed pause is over.
class SimClock final : public platform::kernel::Clock {
  public:
    std::uint64_t NowMs() override { return platform::kernel::SystemClock().NowMs(); }
    void SleepMs(std::uint32_t ms) override {
        if (ms == kReentryTimerMs && m_onReentry) {
            m_onReentry();
            return;
        }
        platform::kernel::SystemClock().SleepMs(ms);
    }
    // Set before the run starts; called on the execution thread.
    void OnReentry(std::function<void()> onReentry) { m_onReentry = std::move(onReentry); }

  private:
    std::function<void()> m_onReentry;
};

class E2eTest : public ::testing::Test {
  protected:
    E2eTest() {
        if (const char* old = std::getenv("ZR40_DEVICE_CATALOG")) {
            m_oldCatalog = old;
        }
    }
    ~E2eTest() override {
        run.reset();
        if (m_oldCatalog) {
            ::setenv("ZR40_DEVICE_CATALOG", m_oldCatalog->c_str(), 1);
        } else {
            ::unsetenv("ZR40_DEVICE_CATALOG");
        }
    }

    // Starts the simulator with a frame log and points discovery at its catalogue.
    void Launch(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--frame-log", FrameLog()});
        sim = std::make_unique<DevSim>(simDir.Path(), args);
        ASSERT_EQ(sim->NextLine(), "ready");
        ::setenv("ZR40_DEVICE_CATALOG", sim->Catalog().c_str(), 1);
        platform::kernel::Event::Named("KILL_EVENT_RECV", true, false)->Reset();
        ExecError().Reset();
        clock.OnReentry([this] { m_reentered = sim->WaitFor("appeared update bootloader"); });
    }

    // Loads the embedded texts, the configuration with WaitTime=1 laid over the shipped one
    // unless told otherwise, and the script (UTF-8, LF) unless none is given.
    int Prepare(std::optional<std::string_view> script, bool bShippedConfig = false) {
        run = std::make_unique<CLoaderRun>(clock);
        CLoaderRunCallbacks callbacks;
        callbacks.onStep = [this](const CComString& text, int level) { steps.Add(text, level); };
        callbacks.onErrorBox = [this](int id) {
            std::lock_guard lock(m_boxMutex);
            m_boxes.push_back(id);
        };
        run->SetCallbacks(std::move(callbacks));
        std::string ini = ShippedText(enginetest::kIniText);
        if (!bShippedConfig) {
            const std::size_t at = ini.find("WaitTime=10\r\n");
            if (at == std::string::npos) {
                return 0;
            }
            ini.replace(at, 11, "WaitTime=1");
        }
        int nLoaded = 0;
        {
            const platform::resources::ScopedResource laid(
                "INI", enginetest::kIniText,
                {reinterpret_cast<const std::uint8_t*>(ini.data()), ini.size()});
            nLoaded = run->LoadTexts();
        }
        if (nLoaded == 1 && script) {
            nLoaded = run->LoadScriptText(enginetest::Cp932Text(*script));
        }
        return nLoaded;
    }

    // Runs the section to its end; the guard stops a run that would hang.
    Result RunGuarded(const CComString& section = "GLOBAL") {
        const auto start = std::chrono::steady_clock::now();
        if (run->Start(section) != 1) {
            return Result::kNotStarted;
        }
        std::mutex mutex;
        std::condition_variable ended;
        bool bEnded = false;
        std::thread guard([&] {
            std::unique_lock lock(mutex);
            if (!ended.wait_for(lock, kRunGuard, [&] { return bEnded; })) {
                m_guardFired = true;
                run->Stop();
            }
        });
        const Result result = run->Wait();
        {
            std::lock_guard lock(mutex);
            bEnded = true;
        }
        ended.notify_one();
        guard.join();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        RecordProperty("run_ms", std::to_string(ms));
        std::printf("[ run      ] %lld ms\n", static_cast<long long>(ms));
        return result;
    }

    std::string FrameLog() const { return (simDir.Path() / "frames.log").string(); }
    std::vector<std::string> FrameLines() const {
        std::vector<std::string> lines;
        std::ifstream in(FrameLog());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    // The frame log after the download-mode request: what the boot loader saw and said.
    std::vector<std::string> LoaderLines() const {
        std::vector<std::string> lines = FrameLines();
        auto it = std::find(lines.begin(), lines.end(), "rx RAW DOWNLOAD 8");
        return it == lines.end() ? std::vector<std::string>{}
                                 : std::vector<std::string>(it + 1, lines.end());
    }

    std::vector<int> Boxes() {
        std::lock_guard lock(m_boxMutex);
        return m_boxes;
    }
    bool GuardFired() const { return m_guardFired.load(); }
    bool Reentered() const { return m_reentered.load(); }

    static std::string ShippedText(int number) {
        const auto text = platform::resources::Find("INI", number);
        return text ? std::string(reinterpret_cast<const char*>(text->data()), text->size())
                    : std::string();
    }

    enginetest::TempCwd cwd;
    devsim_test::TempDir simDir;
    std::unique_ptr<DevSim> sim;
    SimClock clock;
    std::unique_ptr<CLoaderRun> run;
    enginetest::StepLog steps;

  private:
    std::optional<std::string> m_oldCatalog;
    std::mutex m_boxMutex;
    std::vector<int> m_boxes;
    std::atomic<bool> m_guardFired{false};
    std::atomic<bool> m_reentered{false};
};

// "rx DB 2805 12" and the like, as the simulator logs a DB frame.
inline std::string DbLine(const char* direction, std::uint16_t word, std::size_t length) {
    char text[48];
    std::snprintf(text, sizeof text, "%s DB %04X %zu", direction, static_cast<unsigned>(word),
                  length);
    return text;
}

}  // namespace e2etest

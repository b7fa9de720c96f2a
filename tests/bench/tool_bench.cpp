// The update tool as a user runs it, against the simulator, with the scripted host: (a) from the
// launch to the main dialog shown, and (b) the whole road with the embedded script (every image
// written) up to the manager's confirmation, given by a stand-in that confirms at once. Prints
// figures; asserts nothing.
//
//   tool_bench [--startups N] [--roads N]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Loader/common/ParamFile.h"
#include "tests/app/ToolRun.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The start-up's own pauses before reading the modem's answers: the version and the service
// area, 100 ms each, when the device answers at once.
constexpr double kStartupPausesMs = 200;
// The pause after a successful write before the window waits for the device.
constexpr double kAfterWriteMs = 500;
constexpr auto kGuard = 600s;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// The mandated waits of the embedded script: its Timer rows and the pause before every row.
struct ScriptWaits {
    double timersMs = 0;
    int rows = 0;
    int waitTimeMs = 0;
};

ScriptWaits EmbeddedWaits() {
    ScriptWaits waits;
    CParamFile script;
    CParamFile config;
    if (script.LoadParamSection("Loader_Update") != 1 ||
        config.LoadParamSection("Loader_Ini") != 1) {
        return waits;
    }
    const CComString section = "GLOBAL";
    waits.rows = script.GetParamKeySize(section);
    for (int i = 0; i < waits.rows; ++i) {
        if (script.GetParamKeyText(section, i).CompareNoCase("Timer") == 0) {
            waits.timersMs += 1000.0 * script.GetParamValueText(section, i).ToInt();
        }
    }
    waits.waitTimeMs = config.GetParamValueText("SYSTEM", "WaitTime").ToInt();
    return waits;
}

// One run of the tool in a fresh root against a fresh device; the time from the launch to the
// first record line holding `until`, or nothing when it never came.
std::optional<double> RunTool(const fs::path& folder, const char* pszSteps, const char* until,
                              std::string* pRecord) {
    testsupport::TempDir root;
    testsupport::TempDir simDir;
    devsim_test::DevSim sim(simDir.Path(), {"--reenum-ms", "300"});
    if (sim.NextLine() != "ready") {
        return std::nullopt;
    }
    std::ofstream(folder / "steps") << pszSteps;
    ::setenv("ZR40_ROOT", root.Path().c_str(), 1);
    ::setenv("ZR40_DEVICE_CATALOG", sim.Catalog().c_str(), 1);
    ::setenv("ZR40_UI_SCRIPT", (folder / "steps").c_str(), 1);
    const auto launched = Clock::now();
    testsupport::ChildProcess tool({(folder / fs::path(ZR_TOOL).filename()).string()},
                                   {.cwd = folder});
    const bool bReached = tool.WaitFor(until, tooltest::In(kGuard));
    const auto reached = Clock::now();
    tool.Finish(tooltest::In(kGuard));
    if (pRecord != nullptr) {
        *pRecord = tool.Text();
    }
    if (!bReached) {
        return std::nullopt;
    }
    return Ms(reached - launched);
}

int Count(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return std::max(1, std::atoi(argv[i + 1]));
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int nStartups = Count(argc, argv, "--startups", 20);
    const int nRoads = Count(argc, argv, "--roads", 1);
    testsupport::TempDir folder;
    tooltest::MakeToolFolder(folder.Path(), ZR_TOOL, ZR_ROAD_MANAGER);
    ::setenv("ZR40_UI", "scripted", 1);
    ::setenv("ZR40_UPDATE_SERVER", "http://127.0.0.1:9", 1);
    const std::string nowhere = "unix:path=" + (folder.Path() / "no-bus").string();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str(), 1);

    std::vector<double> startups;
    std::string record;
    for (int i = 0; i < nStartups; ++i) {
        // The notice accepted; the main window closed once shown.
        if (auto ms = RunTool(folder.Path(), "press 178 1\nclose 1000\n", "1000 show", &record)) {
            startups.push_back(*ms);
        } else {
            std::printf("start-up %d never reached the main window:\n%s", i, record.c_str());
            return 1;
        }
    }
    const double median = Percentile(startups, 0.5);
    const double p90 = Percentile(startups, 0.9);
    std::printf(
        "start-up to the main window, %d runs: median %.1f ms, p90 %.1f ms raw; "
        "minus the modem pauses (%.0f ms): median %.1f ms, p90 %.1f ms\n",
        nStartups, median, p90, kStartupPausesMs, median - kStartupPausesMs,
        p90 - kStartupPausesMs);

    const ScriptWaits waits = EmbeddedWaits();
    const double mandatedMs =
        waits.timersMs + waits.rows * static_cast<double>(waits.waitTimeMs) + kAfterWriteMs;
    for (int i = 0; i < nRoads; ++i) {
        const auto ms = RunTool(folder.Path(), "press 178 1\npress 1000 1202\n",
                                "ソフトウェア更新が正常に完了しました。", &record);
        if (!ms) {
            std::printf("road %d did not end with the confirmation:\n%s", i, record.c_str());
            return 1;
        }
        std::printf(
            "full road (embedded script, every image) to the confirmation: raw %.2f s; "
            "mandated waits %.2f s (Timer rows %.1f s, %d row pauses of %d ms, %.1f s "
            "after the write); difference %.2f s (includes the device's re-enumerations "
            "of 300 ms each)\n",
            *ms / 1000, mandatedMs / 1000, waits.timersMs / 1000, waits.rows, waits.waitTimeMs,
            kAfterWriteMs / 1000, (*ms - mandatedMs) / 1000);
    }
    return 0;
}

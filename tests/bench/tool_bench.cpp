// The update tool as a user runs it, against the simulator, with the scripted host: (a) from the
// launch to the main dialog shown, and (b) the whole road with the embedded script (every image
// written) up to the manager's confirmation, given by a stand-in that confirms at once; and (c)
// zr40-loader starting a full write (embedded script and configuration, --verbose), from the
// launch to the first frame the simulator logs, split by the program's start trace
// (ZR40_START_TRACE). Prints figures; asserts nothing.
//
//   tool_bench [--startups N] [--roads N] [--first-frames N] [--loader PROGRAM]
// (0 skips a part; --loader times another build of zr40-loader, to compare two.)
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Loader/common/ParamFile.h"
#include "platform/fd/UniqueFd.h"
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
            return std::max(0, std::atoi(argv[i + 1]));
        }
    }
    return fallback;
}

// One launch of zr40-loader, in ms from the launch: its start marks and the first frame logged.
struct FirstFrame {
    double loaded = 0;    // loading and linking done
    double main = 0;      // main entered
    double start = 0;     // the run starts: discovery
    double found = 0;     // the update port found
    double sent = 0;      // the first frame written
    double received = 0;  // the simulator's frame log has its first line
    // Before the first frame: the pauses before the rows, the Timer rows, the Port=open rows
    // (from their pause's end to their end).
    double pausedMs = 0;
    int pauses = 0;
    double timerMs = 0;
    int timers = 0;
    double portOpenMs = 0;
};

// What each row of the embedded script's GLOBAL section is, for the start trace's rows.
enum class RowKind { kOther, kTimer, kPortOpen };

std::vector<RowKind> EmbeddedRowKinds() {
    std::vector<RowKind> kinds;
    CParamFile script;
    if (script.LoadParamSection("Loader_Update") != 1) {
        return kinds;
    }
    const CComString section = "GLOBAL";
    for (int i = 0; i < script.GetParamKeySize(section); ++i) {
        const CComString key = script.GetParamKeyText(section, i);
        const CComString value = script.GetParamValueText(section, i);
        if (key.CompareNoCase("Timer") == 0) {
            kinds.push_back(RowKind::kTimer);
        } else if (key.CompareNoCase("Port") == 0 &&
                   value.Split(',')[0].CompareNoCase("open") == 0) {
            kinds.push_back(RowKind::kPortOpen);
        } else {
            kinds.push_back(RowKind::kOther);
        }
    }
    return kinds;
}

// Waits until `log` has a byte, watched by inotify; false when the guard ran out.
bool WaitForFirstLine(int inotifyFd, const fs::path& log) {
    const auto until = tooltest::In(std::chrono::milliseconds(10000));
    for (;;) {
        struct stat st {};
        if (::stat(log.c_str(), &st) == 0 && st.st_size > 0) {
            return true;
        }
        pollfd p{inotifyFd, POLLIN, 0};
        const int msLeft = testsupport::MsLeft(until);
        if (msLeft < 0 || ::poll(&p, 1, msLeft) <= 0) {
            return false;
        }
        char events[4096];
        static_cast<void>(::read(inotifyFd, events, sizeof events));
    }
}

std::optional<FirstFrame> RunLoader(const char* pszLoader, const std::vector<RowKind>& kinds,
                                    std::string* pRecord) {
    testsupport::TempDir simDir;
    testsupport::TempDir cwd;
    const fs::path log = simDir.Path() / "frames.log";
    devsim_test::DevSim sim(simDir.Path(), {"--frame-log", log.string()});
    if (sim.NextLine() != "ready") {
        return std::nullopt;
    }
    const platform::fd::UniqueFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!watch.Valid() || ::inotify_add_watch(watch.Get(), log.c_str(), IN_MODIFY) < 0) {
        return std::nullopt;
    }
    ::setenv("ZR40_DEVICE_CATALOG", sim.Catalog().c_str(), 1);
    const auto launched = Clock::now();
    testsupport::ChildProcess loader({pszLoader, "--verbose"}, {.cwd = cwd.Path()});
    const bool bReceived = WaitForFirstLine(watch.Get(), log);
    const auto received = Clock::now();
    const bool bSent = bReceived && loader.WaitFor("zr40-start sent", tooltest::In(kGuard));
    // Its Timer rows would keep it for 20 s; nothing after the first frame is measured.
    loader.Kill();
    if (pRecord != nullptr) {
        *pRecord = loader.Text();
    }
    if (!bSent) {
        return std::nullopt;
    }
    const auto launchNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(launched.time_since_epoch()).count();
    auto at = [launchNs](long long ns) { return static_cast<double>(ns - launchNs) / 1e6; };
    FirstFrame f;
    f.received = Ms(received - launched);
    double pauseAt = -1;
    double rowAt = -1;
    std::size_t row = 0;
    for (const std::string& line : loader.Lines()) {
        std::istringstream in(line);
        std::string tag;
        std::string name;
        long long ns = 0;
        if (!(in >> tag >> name >> ns) || tag != "zr40-start") {
            continue;
        }
        const double t = at(ns);
        if (name == "loaded") {
            f.loaded = t;
        } else if (name == "main") {
            f.main = t;
        } else if (name == "start") {
            f.start = t;
        } else if (name == "found") {
            f.found = t;
        } else if (name == "pause") {
            pauseAt = t;
        } else if (name == "row") {
            f.pausedMs += t - pauseAt;
            ++f.pauses;
            rowAt = t;
        } else if (name == "done") {
            const RowKind kind = row < kinds.size() ? kinds[row] : RowKind::kOther;
            if (kind == RowKind::kTimer) {
                f.timerMs += t - rowAt;
                ++f.timers;
            } else if (kind == RowKind::kPortOpen) {
                f.portOpenMs += t - rowAt;
            }
            ++row;
        } else if (name == "sent") {
            f.sent = t;
        }
    }
    return f;
}

void PrintFirstFrames(int nLaunches, const char* pszLoader) {
    ::setenv("ZR40_START_TRACE", "1", 1);
    const std::vector<RowKind> kinds = EmbeddedRowKinds();
    std::vector<FirstFrame> runs;
    std::string record;
    for (int i = 0; i < nLaunches; ++i) {
        if (auto f = RunLoader(pszLoader, kinds, &record)) {
            runs.push_back(*f);
        } else {
            std::printf("zr40-loader launch %d: no first frame:\n%s", i, record.c_str());
        }
    }
    ::unsetenv("ZR40_START_TRACE");
    if (runs.empty()) {
        return;
    }
    auto median = [&runs](auto part) {
        std::vector<double> values;
        for (const FirstFrame& f : runs) {
            values.push_back(part(f));
        }
        return Percentile(values, 0.5);
    };
    const ScriptWaits waits = EmbeddedWaits();
    const double mandated = median([](const FirstFrame& f) { return f.pausedMs + f.timerMs; });
    const double toMain = median([](const FirstFrame& f) { return f.main; });
    const double toScript = median([](const FirstFrame& f) { return f.start - f.main; });
    const double discovery = median([](const FirstFrame& f) { return f.found - f.start; });
    const double portOpen = median([](const FirstFrame& f) { return f.portOpenMs; });
    const double rest = median([](const FirstFrame& f) {
        return f.received - f.found - f.portOpenMs - f.pausedMs - f.timerMs;
    });
    std::vector<double> totals;
    for (const FirstFrame& f : runs) {
        totals.push_back(f.received);
    }
    // Other programs' load lengthens every part: each wake-up waits for a processor.
    double load = -1;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) {
            load = -1;
        }
        std::fclose(f);
    }
    std::printf(
        "zr40-loader, full write with the embedded script: launch to the first frame the "
        "device receives, %zu launches (medians; load average %.2f on %u processors)\n",
        runs.size(), load, std::thread::hardware_concurrency());
    std::printf(
        "  process start to main            %6.1f ms (loading and linking %.1f ms, "
        "static initialisers %.1f ms)\n",
        toMain, median([](const FirstFrame& f) { return f.loaded; }),
        median([](const FirstFrame& f) { return f.main - f.loaded; }));
    std::printf("  main to script start             %6.1f ms\n", toScript);
    std::printf("  discovery                        %6.1f ms\n", discovery);
    std::printf("  port open (the Port=open row)    %6.1f ms\n", portOpen);
    std::printf(
        "  the rest up to the first frame   %6.1f ms (threads, step messages; from the write "
        "to the simulator's log line %.1f ms)\n",
        rest, median([](const FirstFrame& f) { return f.received - f.sent; }));
    std::printf(
        "  mandated waits before it         %6.1f ms (%d row pauses of %d ms, %d Timer rows "
        "%.1f ms)\n",
        mandated, runs.front().pauses, waits.waitTimeMs, runs.front().timers,
        median([](const FirstFrame& f) { return f.timerMs; }));
    std::printf(
        "  first frame: median %.1f ms, p90 %.1f ms, min %.1f ms, max %.1f ms; "
        "less the mandated waits: median %.1f ms\n",
        Percentile(totals, 0.5), Percentile(totals, 0.9), Percentile(totals, 0.0),
        Percentile(totals, 1.0), Percentile(totals, 0.5) - mandated);
}

}  // namespace

int main(int argc, char** argv) {
    const int nStartups = Count(argc, argv, "--startups", 20);
    const int nRoads = Count(argc, argv, "--roads", 1);
    const int nFirstFrames = Count(argc, argv, "--first-frames", 10);
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
    if (!startups.empty()) {
        const double median = Percentile(startups, 0.5);
        const double p90 = Percentile(startups, 0.9);
        std::printf(
            "start-up to the main window, %d runs: median %.1f ms, p90 %.1f ms raw; "
            "minus the modem pauses (%.0f ms): median %.1f ms, p90 %.1f ms\n",
            nStartups, median, p90, kStartupPausesMs, median - kStartupPausesMs,
            p90 - kStartupPausesMs);
    }

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
    if (nFirstFrames > 0) {
        const char* pszLoader = ZR_LOADER;
        for (int i = 1; i + 1 < argc; ++i) {
            if (std::strcmp(argv[i], "--loader") == 0) {
                pszLoader = argv[i + 1];
            }
        }
        PrintFirstFrames(nFirstFrames, pszLoader);
    }
    return 0;
}

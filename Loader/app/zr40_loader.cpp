// zr40-loader: service command of the update tool. Runs a section of the loader script (the
// embedded one, or a script file) against the device found by discovery, through the same engine
// the update tool uses, and writes "ZR40Loader_err.log" when a step fails.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Loader/common/ComFile.h"
#include "Loader/common/ParamFile.h"
#include "Loader/common/ProductInfo.h"
#include "Loader/common/StartTrace.h"
#include "Loader/device/AtChannel.h"
#include "Loader/device/ImageWalker.h"
#include "Loader/device/PortManage.h"
#include "Loader/script/RunController.h"
#include "platform/kernel/Clock.h"
#include "platform/resources/resources.h"

namespace {

enum ExitCode { kOk = 0, kFailed = 1, kUsage = 2, kStopped = 3, kNoDevice = 4 };

void usage(std::FILE* out) {
    std::fputs(
        "Usage: zr40-loader [options]\n"
        "  or:  zr40-loader --show [section]\n"
        "  or:  zr40-loader --device-version\n"
        "Run a section of the loader script against the ZR-40, through the update tool's\n"
        "engine. --show lists a section and the embedded images; --device-version asks the\n"
        "device's modem port for its firmware version.\n"
        "\n"
        "Options:\n"
        "  --section NAME      section to run (default GLOBAL)\n"
        "  --script FILE       run a script file instead of the embedded script\n"
        "  --config FILE       use this loader configuration instead of the embedded one\n"
        "                      (files: UTF-8 or code page 932 is taken as is; any line ends)\n"
        "  --verbose           print every step message, with the seconds since the start\n"
        "  --wait-version SEC  after a successful run, wait up to SEC seconds for the device to\n"
        "                      come back and print the version it reports\n"
        "  -h, --help          display this help and exit\n"
        "      --version       output version information and exit\n"
        "\n"
        "Exit status: 0 done, 1 a step failed (see ZR40Loader_err.log), 2 bad usage,\n"
        "3 stopped (Ctrl-C), 4 no device or the run could not start.\n"
        "Set ZR40_DEVICE_CATALOG to use a device catalogue (the simulator's) instead of sysfs.\n",
        out);
}

std::optional<std::string> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Texts given on the command line are what a person edits: UTF-8 is turned into the code page the
// engine reads, and every line end becomes CR LF.
std::string toScriptText(const std::string& raw) {
    // A file that reads back unchanged through code page 932 was UTF-8; anything else is taken
    // as code page 932 already.
    CComString converted = CComString::FromUtf8(raw);
    const std::string& text = converted.ToUtf8() == raw ? converted.Str() : raw;
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    if (!out.empty() && !out.ends_with("\r\n")) {
        out += "\r\n";
    }
    return out;
}

int imageFrames(const CComString& strPath) {
    int row = FindModule(strPath);
    if (row < 0) {
        return 0;
    }
    auto image = platform::resources::Find("DATA", static_cast<int>(kComModuleTable[row].resource));
    if (!image) {
        return 0;
    }
    frames::CImageWalker walker(*image);
    frames::ImageFrame frame;
    int n = 0;
    while (walker.Next(frame)) {
        ++n;
    }
    return n;
}

// Frames the section will acknowledge, for the progress bar.
int countFrames(const CParamFile& script, const CComString& strSection) {
    int total = 0;
    for (int i = 0; i < script.GetParamKeySize(strSection); ++i) {
        if (script.GetParamKeyText(strSection, i).CompareNoCase("DBB_LM_File") == 0) {
            total += imageFrames(script.GetParamValueText(strSection, i).Split(',')[0]);
        }
    }
    return total;
}

// Counting walks every image of the section, which takes longer than the run needs to reach its
// first frame: it is counted beside the run, and a step that comes first counts for itself.
class Progress {
  public:
    Progress(const CParamFile& script, const CComString& section)
        : m_script(script), m_section(section), m_tty(isatty(STDERR_FILENO) == 1) {}

    // Any thread; the script is only read while the run goes. Two threads may both count.
    int Total() {
        int total = m_total.load();
        if (total < 0) {
            total = countFrames(m_script, m_section);
            m_total.store(total);
        }
        return total;
    }

    void Step() {
        const int total = Total();
        int done = ++m_done;
        if (total <= 0) {
            return;
        }
        int percent = std::min(100, done * 100 / total);
        if (m_tty) {
            int filled = percent * 40 / 100;
            std::fprintf(stderr, "\r[%s%s] %3d%% %d/%d frames", std::string(filled, '#').c_str(),
                         std::string(40 - filled, '.').c_str(), percent, done, total);
            if (done == total) {
                std::fputc('\n', stderr);
            }
        } else if (percent / 10 != m_lastTenth) {
            m_lastTenth = percent / 10;
            std::fprintf(stderr, "progress %d%% (%d/%d frames)\n", percent, done, total);
        }
    }

  private:
    const CParamFile& m_script;
    const CComString m_section;
    std::atomic<int> m_total{-1};
    bool m_tty;
    std::atomic<int> m_done{0};
    int m_lastTenth = -1;
};

void printText(std::FILE* out, const CComString& text) {
    std::fprintf(out, "%s\n", text.ToUtf8().c_str());
}

int showScript(const CComString& strSection) {
    CParamFile script;
    if (!script.LoadParamSection("Loader_Update")) {
        std::fprintf(stderr, "zr40-loader: the embedded loader script cannot be read\n");
        return kFailed;
    }
    int nRows = script.GetParamKeySize(strSection);
    std::printf("Loader script, section [%s]: %d rows\n", strSection.ToUtf8().c_str(), nRows);
    for (int i = 0; i < nRows; ++i) {
        std::printf("  %3d  %s=%s\n", i + 1, script.GetParamKeyText(strSection, i).ToUtf8().c_str(),
                    script.GetParamValueText(strSection, i).ToUtf8().c_str());
    }
    return nRows > 0 ? kOk : kFailed;
}

int showImages() {
    std::printf("\nEmbedded firmware images:\n");
    std::printf("  %-7s %4s %10s %6s %8s %7s\n", "module", "res", "bytes", "frames", "largest",
                "command");
    int failures = 0;
    for (const CComModuleEntry& row : kComModuleTable) {
        if (std::strcmp(row.name, "end") == 0) {
            break;
        }
        auto image = platform::resources::Find("DATA", static_cast<int>(row.resource));
        if (!image) {
            std::printf("  %-7s %4u  missing\n", row.name, row.resource);
            ++failures;
            continue;
        }
        frames::CImageWalker walker(*image);
        frames::ImageFrame frame;
        std::size_t nFrames = 0;
        std::uint32_t largest = 0;
        std::uint8_t command[2] = {0, 0};
        while (walker.Next(frame)) {
            if (nFrames++ == 0) {
                std::copy(frame.command, frame.command + 2, command);
            }
            largest = std::max(largest, frame.length);
        }
        if (walker.Error() != frames::WalkError::kNone) {
            std::printf("  %-7s %4u  broken at offset %zu: %s\n", row.name, row.resource,
                        walker.ErrorOffset(), frames::WalkErrorText(walker.Error()));
            ++failures;
            continue;
        }
        std::printf("  %-7s %4u %10zu %6zu %8u    %02X%02X\n", row.name, row.resource,
                    image->size(), nFrames, largest, command[0], command[1]);
    }
    return failures == 0 ? kOk : kFailed;
}

// The firmware version as the modem port reports it to "AT+GMR", or empty.
std::string askVersion(CUsbPort& port) {
    if (port.FindPort(CUsbPort::kModemPort) < 1) {
        return {};
    }
    CComString version;
    CAtChannels channels(port, platform::kernel::SystemClock());
    if (channels.AskVersion(AtVersionRule::kUntilVersion, version) != AtAnswer::kRead) {
        return {};
    }
    return version.Str();
}

int deviceVersion(int waitSeconds) {
    CParamFile config;
    if (!config.LoadParamSection("Loader_Ini")) {
        std::fprintf(stderr, "zr40-loader: the loader configuration cannot be read\n");
        return kFailed;
    }
    CUsbPort port(&config);
    std::uint64_t until =
        platform::kernel::TickCount() + static_cast<std::uint64_t>(waitSeconds) * 1000;
    for (;;) {
        std::string version = askVersion(port);
        if (!version.empty()) {
            std::printf("device firmware version: %s\n", version.c_str());
            return kOk;
        }
        if (platform::kernel::TickCount() >= until) {
            std::fprintf(stderr, "zr40-loader: no answer from the device's modem port\n");
            return kNoDevice;
        }
        platform::kernel::Sleep(500);
    }
}

// Ctrl-C and SIGTERM stop the run through its stop events; SIGUSR1 ends the watcher.
class SignalWatcher {
  public:
    explicit SignalWatcher(CLoaderRun& run) {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
        m_thread = std::thread([this, &run] {
            int sig = 0;
            while (sigwait(&m_set, &sig) == 0 && sig != SIGUSR1) {
                m_stopped = true;
                std::fprintf(stderr, "\nzr40-loader: stopping...\n");
                run.Stop();
            }
        });
    }
    ~SignalWatcher() {
        pthread_kill(m_thread.native_handle(), SIGUSR1);
        m_thread.join();
    }
    bool Stopped() const { return m_stopped; }

  private:
    sigset_t m_set{};
    std::atomic<bool> m_stopped{false};
    std::thread m_thread;
};

struct Options {
    CComString section = "GLOBAL";
    const char* scriptFile = nullptr;
    const char* configFile = nullptr;
    bool verbose = false;
    int waitVersion = -1;
};

// The options of a run; an exit code instead when the command line asks for something else
// (done here) or is wrong.
std::optional<int> parseArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--show") {
            CComString section = i + 1 < argc ? CComString::FromUtf8(argv[i + 1]) : "GLOBAL";
            int rc = showScript(section);
            return rc != kOk ? rc : showImages();
        } else if (arg == "--device-version") {
            return deviceVersion(0);
        } else if (arg == "--section" && i + 1 < argc) {
            options.section = CComString::FromUtf8(value());
        } else if (arg == "--script" && i + 1 < argc) {
            options.scriptFile = value();
        } else if (arg == "--config" && i + 1 < argc) {
            options.configFile = value();
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--wait-version" && i + 1 < argc) {
            options.waitVersion = std::max(0, std::atoi(value()));
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return kOk;
        } else if (arg == "--version") {
            std::fputs(platform::resources::VersionText("zr40-loader").c_str(), stdout);
            return kOk;
        } else {
            usage(stderr);
            return kUsage;
        }
    }
    return std::nullopt;
}

// A configuration file stands in for the embedded one while `override` lives; `text` must live
// as long. False when the file cannot be read.
bool overrideConfig(const char* file, std::string& text,
                    std::optional<platform::resources::ScopedResource>& override) {
    auto raw = readFile(file);
    if (!raw) {
        std::fprintf(stderr, "zr40-loader: cannot read %s\n", file);
        return false;
    }
    text = toScriptText(*raw);
    override.emplace("INI", 147,
                     std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    return true;
}

// The embedded texts, and the script file in place of the embedded script; an exit code when
// they cannot be loaded.
std::optional<int> loadTexts(CLoaderRun& run, const Options& options) {
    if (!run.LoadTexts()) {
        std::fprintf(stderr, "zr40-loader: the embedded texts cannot be loaded\n");
        return kFailed;
    }
    if (options.scriptFile != nullptr) {
        auto raw = readFile(options.scriptFile);
        if (!raw || !run.LoadScriptText(toScriptText(*raw))) {
            std::fprintf(stderr, "zr40-loader: cannot load the script %s\n", options.scriptFile);
            return kUsage;
        }
    }
    if (run.Script().GetParamKeyObject(options.section) == nullptr) {
        std::fprintf(stderr, "zr40-loader: the script has no section [%s]\n",
                     options.section.ToUtf8().c_str());
    }
    return std::nullopt;
}

void setCallbacks(CLoaderRun& run, Progress& progress, bool verbose) {
    CLoaderRunCallbacks callbacks;
    const std::uint64_t startMs = platform::kernel::TickCount();
    callbacks.onStep = [verbose, startMs](const CComString& text, int) {
        if (verbose) {
            // The elapsed time lets a reader see where a run spends it.
            std::printf("[%9.3f] %s\n",
                        static_cast<double>(platform::kernel::TickCount() - startMs) / 1000.0,
                        text.ToUtf8().c_str());
        }
    };
    callbacks.onProgress = [&progress] { progress.Step(); };
    callbacks.onErrorBox = [](int id) {
        printText(stderr, CComString(platform::resources::LoadString(id)));
    };
    run.SetCallbacks(std::move(callbacks));
}

// The exit code of a finished run, after the version wait that a success may ask for.
int finishRun(CLoaderRun::Result result, bool stopped, const Options& options) {
    if (stopped && result != CLoaderRun::Result::kSucceeded) {
        // A step cut short by the stop is recorded like any failed step.
        std::fprintf(stderr, "zr40-loader: stopped by the user; see ZR40Loader_err.log\n");
        return kStopped;
    }
    switch (result) {
        case CLoaderRun::Result::kNotStarted:
            std::fprintf(stderr, "zr40-loader: the run could not start (no device found?)\n");
            return kNoDevice;
        case CLoaderRun::Result::kFailed:
            std::fprintf(stderr, "zr40-loader: the run failed; see ZR40Loader_err.log\n");
            return kFailed;
        case CLoaderRun::Result::kStopped:
            std::fprintf(stderr, "zr40-loader: the run was stopped\n");
            return kStopped;
        case CLoaderRun::Result::kSucceeded:
            break;
    }
    if (stopped) {
        return kStopped;
    }
    std::printf("zr40-loader: [%s] done\n", options.section.ToUtf8().c_str());
    std::fflush(stdout);
    return options.waitVersion >= 0 ? deviceVersion(options.waitVersion) : kOk;
}

}  // namespace

int main(int argc, char** argv) {
    starttrace::Mark("main");
    Options options;
    if (std::optional<int> rc = parseArgs(argc, argv, options)) {
        return *rc;
    }

    // Step messages go to pipes line by line, so a reader sees them as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string configText;
    std::optional<platform::resources::ScopedResource> configOverride;
    if (options.configFile != nullptr &&
        !overrideConfig(options.configFile, configText, configOverride)) {
        return kUsage;
    }

    CLoaderRun run;
    if (std::optional<int> rc = loadTexts(run, options)) {
        return *rc;
    }

    CComProductInfo info;
    std::printf("ZR40_SWUpdate %s: running [%s]\n", info.Get("ProductVersion").ToUtf8().c_str(),
                options.section.ToUtf8().c_str());
    std::fflush(stdout);

    Progress progress(run.Script(), options.section);
    setCallbacks(run, progress, options.verbose);

    CLoaderRun::Result result = CLoaderRun::Result::kNotStarted;
    bool stopped = false;
    {
        SignalWatcher signals(run);
        if (run.Start(options.section) == 1) {
            // At the lowest priority, so that the run's threads, starting now, go first.
            std::thread counter([&progress] {
                static_cast<void>(setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19));
                progress.Total();
            });
            result = run.Wait();
            counter.join();
        }
        stopped = signals.Stopped();
    }
    return finishRun(result, stopped, options);
}

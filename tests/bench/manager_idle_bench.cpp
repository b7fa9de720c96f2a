// What ZR40_UpManager costs while it waits in the tray with nothing to do: CPU time and
// voluntary context switches (all threads) over a period, from /proc.
//   manager_idle_bench [--seconds N]   (default 60)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ZR40UpReg/UpRegStore.h"
#include "platform/registry/Registry.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Sample {
    double cpuSeconds = 0;
    long voluntary = 0;
    long involuntary = 0;
    int threads = 0;
};

long StatusField(const fs::path& status, const std::string& name) {
    std::ifstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(name + ":")) {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return 0;
}

Sample Take(pid_t pid) {
    Sample s;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream stat(proc / "stat");
    std::string text;
    std::getline(stat, text);
    // Fields after the command name, which may hold spaces: state is field 3, utime 14, stime 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i >= 14) {
            ticks += std::stoull(field);
        }
    }
    s.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
        s.voluntary += StatusField(task.path() / "status", "voluntary_ctxt_switches");
        s.involuntary += StatusField(task.path() / "status", "nonvoluntary_ctxt_switches");
        ++s.threads;
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        }
    }
    char tmpl[] = "/tmp/zr40-idle-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = tmpl;
    std::ofstream(root / "script") << "";
    ::setenv("ZR40_ROOT", root.c_str(), 1);
    ::setenv("ZR40_UI", "scripted", 1);
    ::setenv("ZR40_UI_SCRIPT", (root / "script").c_str(), 1);
    ::setenv("ZR40_UPDATE_SERVER", "http://127.0.0.1:9", 1);
    ::unsetenv("XDG_RUNTIME_DIR");
    // Nothing owed and no version check: only idling is left.
    if (CUpRegStore(platform::registry::CurrentUserStore()).WriteVerCheck(false) != 1) {
        std::fprintf(stderr, "cannot write the store below %s\n", root.c_str());
        return 1;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (root / "manager.err").c_str(),
                                     O_WRONLY | O_CREAT, 0600);
    char arg[] = "/minimize";
    char* args[] = {const_cast<char*>(ZR_UPMANAGER), arg, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, ZR_UPMANAGER, &actions, nullptr, args, environ) != 0) {
        std::perror("posix_spawn");
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);

    // Start-up (the worker threads' 200 ms, the start-up checks) is not idling.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const Sample before = Take(pid);
    const auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Sample after = Take(pid);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();

    const double cpu = after.cpuSeconds - before.cpuSeconds;
    const long voluntary = after.voluntary - before.voluntary;
    std::printf(
        "ZR40_UpManager idle over %.1f s (%d threads): CPU %.3f s (%.3f %%), "
        "voluntary context switches %ld (%.2f/s), involuntary %ld; start-up CPU %.3f s\n",
        wall, after.threads, cpu, 100.0 * cpu / wall, voluntary,
        static_cast<double>(voluntary) / wall, after.involuntary - before.involuntary,
        before.cpuSeconds);

    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    fs::remove_all(root);
    return 0;
}

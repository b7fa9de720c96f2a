// zr40-devsim: the ZR-40 on pseudo-terminals. See --help.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/devsim/Options.h"
#include "sim/devsim/Simulator.h"

namespace {

int g_stopWrite = -1;

void OnStopSignal(int) {
    const char byte = 1;
    // Nothing to do on failure: a byte is already waiting.
    [[maybe_unused]] ssize_t n = ::write(g_stopWrite, &byte, 1);
}

void OnDriverSignal(int) {
    const char byte = sim::devsim::kUpdateDriversByte;
    [[maybe_unused]] ssize_t n = ::write(g_stopWrite, &byte, 1);
}

void OnResumeSignal(int) {
    const char byte = sim::devsim::kResumeByte;
    [[maybe_unused]] ssize_t n = ::write(g_stopWrite, &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
    sim::devsim::Options options;
    std::string error;
    if (sim::devsim::ParseOptions(argc, argv, options, error) == 0) {
        std::fprintf(stderr, "zr40-devsim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(sim::devsim::UsageText().c_str(), stdout);
        return 0;
    }

    int stopPipe[2];
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("zr40-devsim: pipe");
        return 1;
    }
    g_stopWrite = stopPipe[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(sig, &action, nullptr);
    }
    action.sa_handler = OnDriverSignal;
    ::sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = OnResumeSignal;
    ::sigaction(SIGUSR2, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    sim::devsim::Simulator simulator(std::move(options));
    if (simulator.Start(error) == 0) {
        std::fprintf(stderr, "zr40-devsim: %s\n", error.c_str());
        return 1;
    }
    return simulator.Run(stopPipe[0]);
}

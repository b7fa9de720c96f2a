#include "Loader/common/StartTrace.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

enum State : int { kUnknown, kOn, kOff };

std::atomic<int> g_state{kUnknown};

bool On() {
    int state = g_state.load(std::memory_order_acquire);
    if (state == kUnknown) {
        const char* value = std::getenv("ZR40_START_TRACE");
        const int decided = value != nullptr && *value != '\0' ? kOn : kOff;
        // Another thread may have decided meanwhile, or ended the trace: its word stands.
        g_state.compare_exchange_strong(state, decided, std::memory_order_acq_rel);
        state = g_state.load(std::memory_order_acquire);
    }
    return state == kOn;
}

void Write(const char* pszName) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char line[96];
    const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    const int n = std::snprintf(line, sizeof line, "zr40-start %s %lld\n", pszName, ns);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof line) {
        // One write a line, unbuffered, so that lines of several threads never mix.
        [[maybe_unused]] const ssize_t written =
            ::write(STDERR_FILENO, line, static_cast<std::size_t>(n));
    }
}

// Before the program's other static initialisers: the end of the loading and linking.
__attribute__((constructor(101))) void Loaded() {
    starttrace::Mark("loaded");
}

}  // namespace

namespace starttrace {

void Mark(const char* pszName) {
    if (On()) {
        Write(pszName);
    }
}

void FirstFrame() {
    int state = kOn;
    if (On() && g_state.compare_exchange_strong(state, kOff, std::memory_order_acq_rel)) {
        Write("sent");
    }
}

}  // namespace starttrace

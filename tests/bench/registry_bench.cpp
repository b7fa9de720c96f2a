// The state store as the programs use it: every call opens the store, runs one transaction and
// closes it. Prints the median and the 99th percentile of a few thousand calls of each kind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "ZR40UpReg/UpRegStore.h"
#include "platform/registry/Registry.h"
#include "tests/support/TempDir.h"

namespace {

void Measure(const char* what, int runs, const std::function<int()>& call) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(runs));
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        failed += call() != 1;
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(us.begin(), us.end());
    std::printf("%-28s median %8.1f us   p99 %8.1f us   (%d runs, %d failed)\n", what,
                us[us.size() / 2], us[us.size() * 99 / 100], runs, failed);
}

}  // namespace

int main() {
    testsupport::TempDir dir("zr40-registry-bench-");
    const auto location = platform::registry::FileStore(dir.Path() / "registry.sqlite");
    CUpRegStore store(location);
    if (store.WriteRetryState(0) != 1) {
        std::fprintf(stderr, "cannot write the store in %s\n", dir.Path().c_str());
        return 1;
    }
    {
        platform::registry::Store raw(location);
        if (!raw.CreateKey("Software\\Norvale\\ZR40UpReg\\UpdateRequesting").ok()) {
            return 1;
        }
    }
    constexpr int kRuns = 3000;
    Measure("IsUpdateRequesting", kRuns, [&] { return store.IsUpdateRequesting(); });
    Measure("WriteRetryState", kRuns, [&] { return store.WriteRetryState(1); });
    int count = 0;
    std::int64_t elapsed = 0;
    Measure("ReadRetryState", kRuns, [&] { return store.ReadRetryState(count, elapsed); });
    return 0;
}

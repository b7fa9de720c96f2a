// Speed of the device link against zr40-devsim, in one run:
//   Send/65560         Send of 65,560-byte image frames through the port layer (BlkSize 4,096)
//   RawPty/65560       the same frames written to the same pseudo-terminal with plain write()
//   RoundTrip/WaitTime:N  an 8-byte DB answer: from the write of the request until the waiting
//                      thread wakes with the record, through the watcher and the receive thread
//   RawRoundTrip       the same request and answer over the bare pseudo-terminal; the
//                      difference to RoundTrip is what the receive path adds
// Not a test: run build/<kind>/tests/bench/port_bench (release build) and read the figures.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Loader/device/Frame.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/FrameBuilders.h"

namespace {

using devtest::Bytes;

const Bytes kDownloadRequest = {0xFF, 0x55, 0x00, 0x42, 0x00, 0x01, 0x01, 0xFE};
const Bytes kDbKey = {0x44, 0x42};

struct Bench {
    devsim_test::TempDir dir;
    std::unique_ptr<devsim_test::DevSim> sim;
    std::vector<Bytes> frames;  // the 65,560-byte frames of C_L1
    bool ok = false;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

// A port on a configuration with the given WaitTime, open, with its receive thread.
struct Link {
    explicit Link(int waitTime)
        : config("[SYSTEM]\nWaitTime=" + std::to_string(waitTime) + "\n[USB]\nBlkSize=4096\n"),
          port(config.get()) {
        port.FindPort(CUsbPort::kUpdatePort);
        port.SetOpenTimeout(10);
        opened = port.Open() == 1;
        run = std::make_unique<devtest::ReadThreadRun>(owner, &port, config.get());
    }
    ~Link() {
        run.reset();
        port.Close();
    }
    int Send(const Bytes& bytes) {
        platform::kernel::CriticalSectionLock lock(owner.portLock());
        return port.Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    }

    devtest::Config config;
    devtest::TestOwner owner;
    CUsbPort port;
    std::unique_ptr<devtest::ReadThreadRun> run;
    bool opened = false;
};

void SendFrames(benchmark::State& state) {
    Bench& b = Shared();
    Link link(10);
    if (!b.ok || !link.opened) {
        state.SkipWithError("no device");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        if (link.Send(b.frames[i++ % b.frames.size()]) != 1) {
            state.SkipWithError("Send failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65560);
}

void RawFrames(benchmark::State& state) {
    Bench& b = Shared();
    const platform::fd::UniqueFd port(
        ::open(b.sim->UpdateLink().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int fd = port.Get();
    if (!b.ok || fd < 0) {
        state.SkipWithError("no device");
        return;
    }
    std::size_t i = 0;
    std::uint8_t sink[4096];
    for (auto _ : state) {
        const Bytes& frame = b.frames[i++ % b.frames.size()];
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            pollfd p{fd, POLLOUT | POLLIN, 0};
            ::poll(&p, 1, 1000);
            if ((p.revents & POLLIN) != 0) {
                [[maybe_unused]] ssize_t r = ::read(fd, sink, sizeof sink);  // answers
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65560);
}

void RoundTrip(benchmark::State& state) {
    Bench& b = Shared();
    Link link(static_cast<int>(state.range(0)));
    if (!b.ok || !link.opened) {
        state.SkipWithError("no device");
        return;
    }
    devtest::Waiter waiter("BENCH");
    const Bytes request = frametest::MakeDbFrame(0x0004);  // end request: an 8-byte answer
    Bytes record;
    // Answers to the frames sent before may still be on their way; take them until this
    // request's own answer has come.
    link.Send(request);
    do {
        waiter.Register(link.owner, kDbKey);
        if (!waiter.Take(link.owner, record)) {
            state.SkipWithError("no answer");
            return;
        }
    } while (record.size() != 8 || record[2] != 0x00 || record[3] != 0x04);
    for (auto _ : state) {
        waiter.Register(link.owner, kDbKey);
        if (link.Send(request) != 1 || !waiter.Take(link.owner, record) || record.size() != 8) {
            state.SkipWithError("no answer");
            break;
        }
    }
}

void RawRoundTrip(benchmark::State& state) {
    Bench& b = Shared();
    const platform::fd::UniqueFd port(
        ::open(b.sim->UpdateLink().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int fd = port.Get();
    if (!b.ok || fd < 0) {
        state.SkipWithError("no device");
        return;
    }
    const Bytes request = frametest::MakeDbFrame(0x0004);
    std::uint8_t sink[4096];
    // Read whatever is still coming until this request's answer ends the stream.
    [[maybe_unused]] ssize_t sent = ::write(fd, request.data(), request.size());
    Bytes tail;
    while (tail.size() < 8 || !std::equal(request.begin(), request.end(), tail.end() - 8)) {
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = ::poll(&p, 1, 1000) == 1 ? ::read(fd, sink, sizeof sink) : -1;
        if (n <= 0) {
            state.SkipWithError("no answer");
            return;
        }
        tail.insert(tail.end(), sink, sink + n);
    }
    for (auto _ : state) {
        [[maybe_unused]] ssize_t w = ::write(fd, request.data(), request.size());
        std::size_t got = 0;
        while (got < 8) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) {
                state.SkipWithError("no answer");
                break;
            }
            const ssize_t n = ::read(fd, sink, sizeof sink);
            got += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }
}

// Starts the simulator, takes it into the boot loader and erases the flash the frames go to.
bool Prepare(Bench& b) {
    b.sim = std::make_unique<devsim_test::DevSim>(b.dir.Path(),
                                                  std::vector<std::string>{"--reenum-ms", "100"});
    if (b.sim->NextLine() != "ready") {
        return false;
    }
    ::setenv("ZR40_DEVICE_CATALOG", b.sim->Catalog().c_str(), 1);
    {
        Link link(1);
        if (!link.opened || link.Send(kDownloadRequest) != 1 ||
            !b.sim->WaitFor("appeared update bootloader")) {
            return false;
        }
    }
    Link link(1);
    const sim::image::Module* m = sim::image::FindModule("C_L1");
    devtest::Waiter waiter("BENCH");
    waiter.Register(link.owner, kDbKey);
    Bytes record;
    if (!link.opened ||
        link.Send(frametest::MakeDbFrame(
            m->eraseCommand, devtest::B({m->firstBlock >> 8, m->firstBlock & 0xFF,
                                         m->lastBlock >> 8, m->lastBlock & 0xFF}))) != 1 ||
        !waiter.Take(link.owner, record)) {
        return false;
    }
    for (Bytes& frame : devsim_test::ImageFrames("C_L1")) {
        if (frame.size() == frames::kMaxFrameLength) {
            b.frames.push_back(std::move(frame));
        }
    }
    return !b.frames.empty();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench& b = Shared();
    b.ok = Prepare(b);
    if (!b.ok) {
        std::fprintf(stderr, "port_bench: the simulator did not come up as the boot loader\n");
    }
    benchmark::RegisterBenchmark("Send/65560", SendFrames)->UseRealTime()->MinTime(2.0);
    benchmark::RegisterBenchmark("RawPty/65560", RawFrames)->UseRealTime()->MinTime(2.0);
    benchmark::RegisterBenchmark("RoundTrip/WaitTime", RoundTrip)
        ->Arg(10)
        ->Arg(1)
        ->UseRealTime()
        ->Iterations(300)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("RawRoundTrip", RawRoundTrip)
        ->UseRealTime()
        ->Iterations(1000)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    b.sim.reset();
    ::unsetenv("ZR40_DEVICE_CATALOG");
    return b.ok ? 0 : 1;
}

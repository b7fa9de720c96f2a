// A D-Bus daemon of the test's own and services on it, so that code that talks to the system bus
// can be pointed at it through DBUS_SYSTEM_BUS_ADDRESS.
//
//   testsupport::PrivateBus bus;
//   testsupport::BusService login(bus.Address(), [&](sd_bus* b) { /* names, objects */ });
//   testsupport::ScopedEnv env("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str());
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/TempDir.h"

extern char** environ;

namespace testsupport {

class PrivateBus {
  public:
    PrivateBus() {
        const std::string dir = dir_.Path().string();
        std::ofstream(dir_.Path() / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:path="
            << dir
            << "/socket</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               // Users other than the test's reach it once the test opens the folder to them.
               "    <allow user=\"*\"/>\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        // The daemon writes its address to this descriptor once it listens.
        constexpr int kAddressFd = 100;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], kAddressFd);
        const std::string config = "--config-file=" + dir + "/bus.conf";
        const std::string print = "--print-address=" + std::to_string(kAddressFd);
        char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>(config.c_str()),
                        const_cast<char*>("--nofork"), const_cast<char*>(print.c_str()), nullptr};
        if (posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        char c = 0;
        while (pid_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            address_ += c;
        }
        ::close(fds[0]);
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when the daemon could not be started.
    const std::string& Address() const { return address_; }

  private:
    TempDir dir_{"zr-bus-"};
    pid_t pid_ = -1;
    std::string address_;
};

// One connection to a bus, served on a thread of its own. `setUp` runs on that thread before the
// constructor returns (request names, add objects); Run hands further work to the thread and
// returns once it is done. The vtables and whatever they point at must outlive the service.
class BusService {
  public:
    using Work = std::function<void(sd_bus*)>;

    BusService(const std::string& address, Work setUp) : stop_(::eventfd(0, EFD_CLOEXEC)) {
        std::unique_lock lock(mutex_);
        thread_ = std::thread([this, address, setUp = std::move(setUp)] { Serve(address, setUp); });
        ready_.wait(lock, [this] { return started_; });
    }
    ~BusService() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(stop_);
        ::close(wake_);
    }
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    // False when the connection or the set-up failed.
    bool Ok() const {
        std::lock_guard lock(mutex_);
        return ok_;
    }

    void Run(Work work) {
        bool done = false;
        std::unique_lock lock(mutex_);
        if (!ok_) {
            return;
        }
        queue_.push_back([&](sd_bus* bus) {
            work(bus);
            std::lock_guard inner(mutex_);
            done = true;
            ready_.notify_all();
        });
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        ready_.wait(lock, [&] { return done; });
    }

  private:
    void Serve(const std::string& address, const Work& setUp) {
        sd_bus* bus = nullptr;
        bool ok = sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address.c_str()) >= 0 &&
                  sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0;
        if (ok) {
            setUp(bus);
        }
        {
            std::lock_guard lock(mutex_);
            ok_ = ok;
            started_ = true;
            ready_.notify_all();
        }
        while (ok) {
            for (;;) {
                const int rc = sd_bus_process(bus, nullptr);
                if (rc < 0) {
                    ok = false;
                }
                if (rc <= 0) {
                    break;
                }
            }
            pollfd fds[3] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                             {stop_, POLLIN, 0},
                             {wake_, POLLIN, 0}};
            if (!ok || ::poll(fds, 3, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
                break;
            }
            if ((fds[2].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
                std::deque<Work> work;
                {
                    std::lock_guard lock(mutex_);
                    work.swap(queue_);
                }
                for (auto& item : work) {
                    item(bus);
                }
                sd_bus_flush(bus);
            }
        }
        sd_bus_flush_close_unref(bus);
    }

    int stop_;
    int wake_ = ::eventfd(0, EFD_CLOEXEC);
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    bool ok_ = false;
    std::deque<Work> queue_;
    std::thread thread_;
};

}  // namespace testsupport

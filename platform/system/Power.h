// Keeping the PC awake while the firmware is written, and hearing of a resume and of the end of
// the session.
//
// Suspend and resume go through systemd-logind on the system bus (DBUS_SYSTEM_BUS_ADDRESS moves
// it). Without logind both objects do nothing and say so once on stderr.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "platform/fd/UniqueFd.h"

namespace platform::system {

// A logind "block" inhibitor on shutdown, sleep, idle and the lid switch, held while the
// object lives.
class StayAwake {
  public:
    StayAwake(std::string_view who, std::string_view why);

    bool Held() const { return lock_.Valid(); }

  private:
    fd::UniqueFd lock_;
};

// Calls onResume on a thread of its own each time the system has come back from a suspend.
class ResumeWatcher {
  public:
    explicit ResumeWatcher(std::function<void()> onResume);
    ~ResumeWatcher();
    ResumeWatcher(const ResumeWatcher&) = delete;
    ResumeWatcher& operator=(const ResumeWatcher&) = delete;

    bool Active() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Calls onEnd(signal) on a thread of its own when SIGTERM or SIGHUP arrives (the session ends,
// the system shuts down), instead of the default of dying on the spot. One watcher at a time;
// the previous handling comes back when it is destroyed.
class SessionEndWatcher {
  public:
    explicit SessionEndWatcher(std::function<void(int signal)> onEnd);
    ~SessionEndWatcher();
    SessionEndWatcher(const SessionEndWatcher&) = delete;
    SessionEndWatcher& operator=(const SessionEndWatcher&) = delete;

    bool Active() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::system

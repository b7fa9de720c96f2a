// Sets or clears an environment variable for one scope.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A program under test kept to its temporary root: no user it acts for, no runtime folder of the
// session, and nothing between it and a server on 127.0.0.1.
struct IsolatedRoot {
    explicit IsolatedRoot(const std::filesystem::path& path) : root{"ZR40_ROOT", path.c_str()} {}

    ScopedEnv root;
    ScopedEnv pkexec{"PKEXEC_UID", nullptr};
    ScopedEnv sudo{"SUDO_UID", nullptr};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", nullptr};
    ScopedEnv http{"http_proxy", nullptr};
    ScopedEnv all{"all_proxy", nullptr};
    ScopedEnv noProxy{"no_proxy", "127.0.0.1"};
};

}  // namespace testsupport

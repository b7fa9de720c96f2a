// The one owner of a file descriptor, for the platform layer, the simulator and the tests.
#pragma once

namespace platform::fd {

class UniqueFd {
  public:
    UniqueFd() = default;
    // Takes ownership; a negative value means none.
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }

    // Closes what is held and takes fd instead.
    void Reset(int fd = -1) noexcept;
    // Hands the descriptor over to the caller, who closes it.
    [[nodiscard]] int Release() noexcept;

  private:
    int fd_ = -1;
};

}  // namespace platform::fd

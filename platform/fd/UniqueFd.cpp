#include "platform/fd/UniqueFd.h"

#include <unistd.h>

#include <utility>

namespace platform::fd {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset(other.Release());
    }
    return *this;
}

void UniqueFd::Reset(int fd) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) {
        ::close(old);  // not retried on EINTR: Linux has released the descriptor anyway
    }
}

int UniqueFd::Release() noexcept {
    return std::exchange(fd_, -1);
}

}  // namespace platform::fd

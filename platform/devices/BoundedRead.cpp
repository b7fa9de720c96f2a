#include "platform/devices/BoundedRead.h"

#include "platform/fd/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace platform::devices::detail {

namespace {

using fd::UniqueFd;

// One read that survives signals; -1 on error.
ssize_t ReadSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

}  // namespace

std::optional<FileText> ReadRegularFile(const std::filesystem::path& file, std::size_t limit) {
    // O_NONBLOCK so that opening a FIFO does not wait for a writer.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }

    FileText result;
    constexpr std::size_t kChunk = 16 * 1024;
    char chunk[kChunk];
    while (result.text.size() < limit) {
        const std::size_t want = std::min(kChunk, limit - result.text.size());
        const ssize_t got = ReadSome(fd.Get(), chunk, want);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return result;
        }
        result.text.append(chunk, static_cast<std::size_t>(got));
    }
    char probe = 0;
    result.complete = ReadSome(fd.Get(), &probe, 1) == 0;
    return result;
}

}  // namespace platform::devices::detail

#include "platform/paths/Owned.h"

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>

namespace platform::paths {

namespace fs = std::filesystem;
using fd::UniqueFd;

namespace {

Opened Fail(int error) {
    return Opened{UniqueFd(), error != 0 ? error : EIO};
}

// Nobody but root or this process can have made it.
bool Trusted(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

// Others than its owner can put, rename or remove entries in it.
bool OpenToOthers(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
}

std::vector<std::string> Components(const fs::path& path) {
    std::vector<std::string> parts;
    for (const fs::path& part : path.relative_path()) {
        if (!part.empty()) {
            parts.push_back(part.string());
        }
    }
    return parts;
}

// How many components of `dir` come before the owner's own part: its home or its runtime
// directory when `dir` lies in one, else all but the last.
std::size_t OwnerPartStart(const User& owner, const std::vector<std::string>& parts) {
    fs::path home = owner.home;
    if (home.empty()) {
        if (const auto account = LookupUser(owner.uid)) {
            home = account->home;
        }
    }
    std::vector<fs::path> bases = {Relocate("/run/user/" + std::to_string(owner.uid))};
    if (home.is_absolute() && home.has_relative_path()) {
        bases.push_back(Relocate(home));
    }
    std::size_t start = parts.empty() ? 0 : parts.size() - 1;
    for (const fs::path& base : bases) {
        std::error_code ec;
        const std::vector<std::string> baseParts =
            Components(fs::absolute(base, ec).lexically_normal());
        if (baseParts.empty() || baseParts.size() > parts.size()) {
            continue;
        }
        bool inside = true;
        for (std::size_t i = 0; i < baseParts.size() && inside; ++i) {
            inside = baseParts[i] == parts[i];
        }
        if (inside && baseParts.size() - 1 < start) {
            start = baseParts.size() - 1;
        }
    }
    return start;
}

}  // namespace

ActingAs::ActingAs(const User& owner) {
    if (::geteuid() != 0 || owner.uid == 0) {
        m_ok = true;
        return;
    }
    const int count = ::getgroups(0, nullptr);
    if (count < 0) {
        return;
    }
    m_groups.resize(static_cast<std::size_t>(count));
    if (count > 0 && ::getgroups(count, m_groups.data()) != count) {
        return;
    }
    // The system call itself: glibc's setgroups changes every thread of the process.
    if (::syscall(SYS_setgroups, 0, nullptr) != 0) {
        return;
    }
    m_switched = true;
    m_oldGid = static_cast<gid_t>(::setfsgid(owner.gid));
    m_oldUid = static_cast<uid_t>(::setfsuid(owner.uid));
    // Both calls give the previous value; asking again tells whether the switch took.
    m_ok = static_cast<uid_t>(::setfsuid(owner.uid)) == owner.uid &&
           static_cast<gid_t>(::setfsgid(owner.gid)) == owner.gid;
}

ActingAs::~ActingAs() {
    if (!m_switched) {
        return;
    }
    ::setfsuid(m_oldUid);
    ::setfsgid(m_oldGid);
    ::syscall(SYS_setgroups, m_groups.size(), m_groups.data());
}

Opened OpenOwnedDir(const fs::path& path, const User& owner, mode_t mode, Missing missing) {
    std::error_code ec;
    const fs::path dir = path.empty() ? path : fs::absolute(path, ec).lexically_normal();
    if (dir.empty() || ec) {
        return Fail(EINVAL);
    }
    const std::vector<std::string> parts = Components(dir);
    const std::size_t ownerStart = OwnerPartStart(owner, parts);
    const bool crossing = owner.uid != ::geteuid();
    const bool handOver = ::geteuid() == 0 && owner.uid != 0;
    // Root's own folders, and this process's, need no owner's part of their own.
    const bool ownerTrusted = Trusted(owner.uid);

    UniqueFd cur(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!cur.Valid() || ::fstat(cur.Get(), &st) != 0) {
        return Fail(errno);
    }
    if (!Trusted(st.st_uid) || (crossing && OpenToOthers(st))) {
        return Fail(EPERM);
    }
    bool inOwners = false;
    std::optional<ActingAs> as;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const char* name = parts[i].c_str();
        if (parts[i] == "." || parts[i] == "..") {
            return Fail(EINVAL);
        }
        const bool ownersPlace = i >= ownerStart;
        const mode_t newMode = ownersPlace ? mode : 0755;
        bool made = false;
        UniqueFd next(::openat(cur.Get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.Valid() && errno == ENOENT && missing == Missing::kCreate) {
            if (::mkdirat(cur.Get(), name, newMode) == 0) {
                made = true;
            } else if (errno != EEXIST) {
                return Fail(errno);
            }
            // A folder just made is opened for reading, to set its mode and owner through it.
            next.Reset(::openat(cur.Get(), name,
                                (made ? O_RDONLY : O_PATH) | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next.Valid()) {
            const int error = errno;
            struct stat link {};
            if (::fstatat(cur.Get(), name, &link, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISLNK(link.st_mode)) {
                return Fail(error);
            }
            // Only where nobody else could have put it, and only one of root's or our own.
            if (inOwners || !Trusted(link.st_uid)) {
                return Fail(ELOOP);
            }
            next.Reset(::openat(cur.Get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!next.Valid()) {
                return Fail(errno);
            }
        }
        if (made) {
            // Handed over only where nobody but root can swap the new folder for another.
            if (handOver && !inOwners && ownersPlace &&
                ::fchown(next.Get(), owner.uid, owner.gid) != 0) {
                return Fail(errno);
            }
            // mkdir's mode passes through the umask; the folders of stores and sockets must not.
            if (::fchmod(next.Get(), newMode) != 0) {
                return Fail(errno);
            }
        }
        if (::fstat(next.Get(), &st) != 0) {
            return Fail(errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            return Fail(ENOTDIR);
        }
        if (!ownerTrusted && st.st_uid == owner.uid) {
            if (!inOwners) {
                inOwners = true;
                if (handOver) {
                    as.emplace(owner);
                    if (!as->ok()) {
                        return Fail(EPERM);
                    }
                }
            }
        } else if (inOwners || !Trusted(st.st_uid) || (crossing && OpenToOthers(st))) {
            return Fail(EPERM);
        }
        cur = std::move(next);
    }
    return Opened{std::move(cur), 0};
}

Opened OpenOwnedFile(int dirFd, const char* name, int flags, mode_t mode, const User& owner) {
    ActingAs as(owner);
    if (!as.ok()) {
        return Fail(EPERM);
    }
    const bool create = (flags & O_CREAT) != 0;
    const int plain =
        (flags & ~(O_CREAT | O_EXCL | O_TRUNC)) | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    UniqueFd file;
    bool made = false;
    // A file removed between the two opens is made again; a few rounds settle any race.
    for (int round = 0; round < 4 && !file.Valid(); ++round) {
        if (create) {
            file.Reset(::openat(dirFd, name, plain | O_CREAT | O_EXCL, mode));
            if (file.Valid()) {
                made = true;
                break;
            }
            if (errno != EEXIST || (flags & O_EXCL) != 0) {
                return Fail(errno);
            }
        }
        file.Reset(::openat(dirFd, name, plain));
        if (!file.Valid() && !(create && errno == ENOENT)) {
            return Fail(errno);
        }
    }
    struct stat st {};
    if (!file.Valid() || ::fstat(file.Get(), &st) != 0) {
        return Fail(file.Valid() ? errno : ENOENT);
    }
    if (!S_ISREG(st.st_mode)) {
        return Fail(EINVAL);
    }
    if (st.st_nlink != 1) {
        return Fail(EMLINK);
    }
    if (st.st_uid != owner.uid && (::geteuid() == 0 || st.st_uid != ::geteuid())) {
        return Fail(EPERM);
    }
    if (made && ::fchmod(file.Get(), mode) != 0) {
        return Fail(errno);
    }
    if ((flags & O_TRUNC) != 0 && ::ftruncate(file.Get(), 0) != 0) {
        return Fail(errno);
    }
    return Opened{std::move(file), 0};
}

}  // namespace platform::paths

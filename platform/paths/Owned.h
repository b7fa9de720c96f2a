// Folders and files kept for a user, reached without trusting what that user controls.
//
// The update tool runs as root for the person who started it, and everything under that
// person's home and runtime directory is theirs to rename, swap or link at any moment. So the
// user's part of a path is walked one component at a time from descriptors, never through a
// link and with each folder's owner checked, and everything in it is created and changed with
// the user's own filesystem identity, so that the kernel checks each access as for the user
// and whatever is made belongs to the user. Nothing is chowned or chmodded by name.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "platform/paths/Paths.h"

namespace platform::paths {

// For its lifetime the calling thread's filesystem uid and gid are `owner`'s and it has no
// supplementary groups; the thread's capabilities over files go with them. Linux keeps these
// per thread (setfsuid is one system call, unlike setuid, which glibc applies to every thread),
// so other threads keep root's; a thread started meanwhile would keep the user's for good, so
// start none. Only a root process working for another user switches; anywhere else it changes
// nothing. Nests.
class ActingAs {
  public:
    explicit ActingAs(const User& owner);
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

    // False when the switch failed: the caller does nothing in the user's files then.
    bool ok() const { return m_ok; }

  private:
    bool m_ok = false;
    bool m_switched = false;
    uid_t m_oldUid = 0;
    gid_t m_oldGid = 0;
    std::vector<gid_t> m_groups;
};

struct Opened {
    fd::UniqueFd fd;
    int error = 0;  // an errno value when fd is not valid

    bool ok() const { return fd.Valid(); }
};

enum class Missing { kFail, kCreate };

// A descriptor (O_PATH) of folder `dir`, for work relative to it. From "/" every component is
// entered without following a link. Up to where `owner`'s own part begins (the first folder
// that belongs to the owner), each folder must belong to root or to this process, and, when
// acting for someone else, be closed to others (or sticky), so that nobody else can swap what
// lies in it; there a link is followed only if it belongs to root or to this process. From then
// on each folder must belong to the owner, a link fails the walk (ELOOP), and a root process
// works as the owner (ActingAs). Someone else's folder fails it with EPERM.
//
// With kCreate, missing folders are made: above the owner's home or runtime directory as this
// process with mode 0755; from there on with exactly `mode`, by the owner (a root process makes
// the owner's first folder itself, where nobody else can interfere, and hands it over through
// its descriptor). Existing folders are left as they are.
Opened OpenOwnedDir(const std::filesystem::path& dir, const User& owner, mode_t mode,
                    Missing missing);

// `name` in a folder from OpenOwnedDir, opened as `owner` with `flags` and never through a link:
// it must be a regular file with no other name that belongs to the owner (or to this process
// when it is not root). With O_CREAT a missing file is made with exactly `mode`; O_TRUNC empties
// the file only once it has passed. Errors: ELOOP a link, EINVAL not a regular file, EMLINK a
// file with another name, EPERM someone else's file. The descriptor is non-blocking, which
// changes nothing for a regular file.
Opened OpenOwnedFile(int dirFd, const char* name, int flags, mode_t mode, const User& owner);

}  // namespace platform::paths

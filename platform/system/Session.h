// A user's desktop session, for a program that root starts in it. pkexec and sudo leave root
// none of the session's addresses (runtime directory, session bus, Wayland socket) and at most
// the display of the terminal they were started from, so they come from logind and from the
// user's runtime directory instead.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::system {

// Each value as the session's own programs have it: the runtime directory is /run/user/<uid>
// even when ZR40_ROOT moves where this process looks for what it holds. Empty: not found.
struct UserSession {
    std::string runtimeDir;
    // logind's Type of the chosen session ("x11", "wayland", "mir"); empty without one.
    std::string type;
    // Its X11 display.
    std::string display;
    // The name of a wayland-N socket in the runtime directory, for a Wayland session.
    std::string waylandDisplay;
    // unix:path=<runtimeDir>/bus, when that socket is there.
    std::string busAddress;
};

// The user's graphical session from logind on the system bus (of the user's sessions with a
// display server, the user class before others, then active before online, then local before
// remote), and the runtime directory's session bus and Wayland socket. Nothing is followed or
// opened in the user's directories; a logind that is absent or does not answer gives no session.
UserSession FindUserSession(uid_t uid);

}  // namespace platform::system

// Starting programs and opening web pages. Never through a shell: the program gets exactly the
// arguments given, whatever characters they hold.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::system {

// How the started program should show its window. Linux has no start-up hint a program is
// bound to honour, so the hint travels in kShowVariable ("normal", "minimized", "hidden"); the
// programs' own window layer reads it.
enum class Show { kNormal, kMinimized, kHidden };
inline constexpr char kShowVariable[] = "ZR40_SHOW";

// Results in the manner of the shell: above 32 means started.
inline constexpr int kStarted = 42;
inline constexpr int kOutOfResources = 0;
inline constexpr int kFileNotFound = 2;
inline constexpr int kPathNotFound = 3;
inline constexpr int kAccessDenied = 5;
inline constexpr int kOutOfMemory = 8;
inline constexpr int kBadFormat = 11;
inline constexpr int kNoAssociation = 31;

struct StartResult {
    int code = kOutOfResources;
    pid_t pid = -1;  // of the started program when code > 32

    bool Started() const { return code > 32; }
};

struct StartOptions {
    Show show = Show::kNormal;
    // When root acts for another user the program runs as that user with an environment for
    // the user's desktop; the tool's own relaunch keeps root instead.
    bool keepRoot = false;
    // Empty: the caller's current directory.
    std::filesystem::path workingDir;
    // Laid over the inherited environment: a value sets the variable, none removes it.
    std::vector<std::pair<std::string, std::optional<std::string>>> environment{};
    // A program of its own, as a desktop starts one from its menu: nothing on its input, and
    // its output and errors appended to `output` (opened as the program's user; created with
    // mode 0600) or, when that is empty or cannot be opened, discarded. Otherwise it shares
    // our standard streams.
    bool ownStreams = false;
    std::filesystem::path output{};
};

// Starts `program` (a path, or a name looked up in PATH) with `args` after argv[0] and does not
// wait for it; it is not left as a zombie. A program that cannot be executed is reported as
// such (kFileNotFound, kAccessDenied, ...), never as started.
StartResult StartProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const StartOptions& options = {});

// Opens an http or https URL in the user's browser (xdg-open, as the user). Anything else is
// refused with kNoAssociation.
StartResult OpenUrl(std::string_view url);

}  // namespace platform::system

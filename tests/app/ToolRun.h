// The update tool as a process of its own (a testsupport::ChildProcess run from its folder), as
// a user or the relaunch at logon starts it: the environment is the test's, and the scripted
// host's record (ZR40_UI=scripted) is read line by line from its stderr.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace tooltest {

namespace fs = std::filesystem;
using testsupport::In;

// The message boxes shown, in order, as recorded.
inline std::vector<std::string> Boxes(const testsupport::ChildProcess& tool) {
    std::vector<std::string> boxes;
    for (const std::string& line : tool.Lines()) {
        if (line.starts_with("msgbox")) {
            boxes.push_back(line);
        }
    }
    return boxes;
}

// A folder laid out as shipped: the tool (a link to `tool`, or a copy across file systems) with
// ZR40_UpMng beside it, which holds `manager` under both names the installation copies. The
// tool takes its folder from where its program is, so it must be started from here.
inline bool MakeToolFolder(const fs::path& dir, const fs::path& tool, const fs::path& manager) {
    std::error_code ec;
    fs::create_directories(dir / "ZR40_UpMng", ec);
    for (const char* name : {"ZR40_UpManager", "ZR40_UpMng_ui"}) {
        fs::copy_file(manager, dir / "ZR40_UpMng" / name, fs::copy_options::overwrite_existing, ec);
    }
    const fs::path program = dir / tool.filename();
    fs::remove(program, ec);
    fs::create_hard_link(tool, program, ec);
    if (ec) {
        ec.clear();
        fs::copy_file(tool, program, ec);
    }
    return !ec;
}

}  // namespace tooltest

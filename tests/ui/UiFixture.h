// Dialogs of a test run on the scripted host and a manual clock, with their windows in a
// private system root.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/paths/Paths.h"
#include "platform/ui/ScriptedHost.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root_.Path() / "etc");
        std::ofstream(root_.Path() / "etc/passwd") << "alice:x:1000:1000::/home/alice:/bin/sh\n";
        platform::ui::SetHost(&host_);
    }
    void TearDown() override { platform::ui::SetHost(nullptr); }

    bool Recorded(const std::string& line) const {
        const auto& r = host_.Record();
        return std::find(r.begin(), r.end(), line) != r.end();
    }

    testsupport::TempDir root_;
    testsupport::ScopedEnv rootEnv_{platform::paths::kRootVariable, root_.Path().c_str()};
    testsupport::ScopedEnv runtime_{"XDG_RUNTIME_DIR", nullptr};
    testsupport::ScopedEnv show_{"ZR40_SHOW", nullptr};
    testsupport::ManualClock clock_;
    platform::ui::ScriptedHost host_{clock_};
};

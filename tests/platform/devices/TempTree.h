// The catalogue writer's way of replacing a file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "tests/support/ScopedEnv.h"

namespace testtree {

namespace fs = std::filesystem;

inline void WriteFile(const fs::path& file, std::string_view text) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    ASSERT_TRUE(out.good()) << file;
}

// Write "<file>.tmp", then rename over the file, as the simulator does.
inline void ReplaceFile(const fs::path& file, std::string_view text) {
    fs::path tmp = file;
    tmp += ".tmp";
    WriteFile(tmp, text);
    fs::rename(tmp, file);
}

using testsupport::ScopedEnv;

}  // namespace testtree

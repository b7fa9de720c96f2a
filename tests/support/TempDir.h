// A private directory for one test, removed with everything in it when the test is done.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class TempDir {
  public:
    // Under the system's temporary directory, named <prefix>XXXXXX; Path() is empty when none
    // could be made, so the test fails on its first use.
    explicit TempDir(const std::string& prefix = "zr-test-") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// A temporary directory that is the current directory for the object's lifetime, for code that
// writes next to where it runs (the error log).
class TempCwd {
  public:
    explicit TempCwd(const std::string& prefix = "zr-test-")
        : m_dir(prefix), m_old(std::filesystem::current_path()) {
        if (!m_dir.Path().empty()) {
            std::filesystem::current_path(m_dir.Path());
        }
    }
    ~TempCwd() {
        std::error_code ec;
        std::filesystem::current_path(m_old, ec);
    }
    TempCwd(const TempCwd&) = delete;
    TempCwd& operator=(const TempCwd&) = delete;

    const std::filesystem::path& Path() const { return m_dir.Path(); }

  private:
    TempDir m_dir;
    std::filesystem::path m_old;
};

}  // namespace testsupport

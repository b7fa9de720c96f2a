#include "platform/system/System.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>

#include "platform/devices/Catalog.h"
#include "platform/paths/Owned.h"
#include "platform/paths/Paths.h"
#include "platform/system/Bus.h"

namespace platform::system {

namespace {

namespace fs = std::filesystem;

std::optional<unsigned> ParseNumber(std::string_view text) {
    unsigned value = 0;
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), last, value);
    if (text.empty() || ec != std::errc() || ptr != last) {
        return std::nullopt;
    }
    return value;
}

// "major.minor" or "major.minor.build".
std::optional<OsVersion> ParseOsVersion(std::string_view text) {
    unsigned parts[3] = {0, 0, 0};
    std::size_t count = 0;
    while (count < 3) {
        const auto dot = text.find('.');
        const auto number = ParseNumber(text.substr(0, dot));
        if (!number) {
            return std::nullopt;
        }
        parts[count++] = *number;
        if (dot == std::string_view::npos) {
            break;
        }
        text.remove_prefix(dot + 1);
        if (count == 3) {
            return std::nullopt;
        }
    }
    if (count < 2) {
        return std::nullopt;
    }
    OsVersion version;
    version.major = parts[0];
    version.minor = parts[1];
    version.build = parts[2];
    version.servicePack.clear();
    return version;
}

}  // namespace

OsVersion GetOsVersion() {
    const char* value = std::getenv(kOsVersionVariable);
    if (value == nullptr || *value == '\0') {
        return OsVersion{};
    }
    if (auto version = ParseOsVersion(value)) {
        return *version;
    }
    SayOnce("os-version", std::string(kOsVersionVariable) + "=\"" + value +
                              "\" is not major.minor[.build]; reporting 6.1");
    return OsVersion{};
}

bool IsAdministrator() {
    return geteuid() == 0;
}

std::string EscapeFileName(std::string_view name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool plain = std::isalnum(c) != 0 || c == '_' || c == '-' || (c == '.' && i != 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out.empty() ? std::string("%") : out;
}

SingleInstance::SingleInstance(std::string_view name) {
    const paths::User user = paths::CurrentUser();
    const fs::path dir = paths::RuntimeDir(user);
    const paths::Opened folder = paths::OpenOwnedDir(dir, user, 0700, paths::Missing::kCreate);
    if (!folder.ok()) {
        return;
    }
    const std::string fileName = EscapeFileName(name) + ".lock";
    file_ = dir / fileName;
    // Made as the user: the user's own programs take the same locks unprivileged.
    paths::Opened lock =
        paths::OpenOwnedFile(folder.fd.Get(), fileName.c_str(), O_RDWR | O_CREAT, 0600, user);
    if (!lock.ok()) {
        return;
    }
    fd_ = std::move(lock.fd);
    // flock belongs to the open file description, so a second open in this process conflicts
    // as well as one in another process.
    int rc = 0;
    do {
        rc = ::flock(fd_.Get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        state_ = InstanceState::kOwned;
        return;
    }
    state_ = errno == EWOULDBLOCK ? InstanceState::kAlreadyRunning : InstanceState::kFailed;
    fd_.Reset();
}

namespace {

std::optional<std::string> ProcessName(const fs::path& procDir) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(procDir / "exe", ec);
    if (!ec && !exe.empty()) {
        std::string name = exe.filename().string();
        constexpr std::string_view kDeleted = " (deleted)";
        if (name.ends_with(kDeleted)) {
            name.resize(name.size() - kDeleted.size());
        }
        return name;
    }
    std::ifstream in(procDir / "comm");
    std::string comm;
    if (std::getline(in, comm) && !comm.empty()) {
        return comm;
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> RunningProcessNames() {
    std::vector<std::string> names;
    if (auto catalog = devices::CatalogFromEnvironment()) {
        for (auto& record : devices::ReadCatalog(*catalog)) {
            if (record.kind == "Process") {
                names.push_back(std::move(record.id));
            }
        }
        return names;
    }
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (!ParseNumber(entry)) {
            continue;
        }
        // A process that ends while we look is simply not listed.
        if (auto name = ProcessName(it->path())) {
            names.push_back(std::move(*name));
        }
    }
    return names;
}

bool IsProcessRunning(std::string_view baseName) {
    for (const auto& name : RunningProcessNames()) {
        if (name == baseName) {
            return true;
        }
    }
    return false;
}

fs::path ProgramDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

}  // namespace platform::system

#include "sim/devsim/Gadget.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace sim::devsim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kFunctions[] = {"acm.modem", "acm.update", "gser.boot", "ncm.net"};
constexpr const char* kConfig = "configs/c.1";

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

int WriteAttribute(const std::string& path, const std::string& value, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = SysError(path);
        return 0;
    }
    const ssize_t n = ::write(fd, value.data(), value.size());
    const int saved = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(value.size())) {
        errno = n < 0 ? saved : EIO;
        error = SysError(path);
        return 0;
    }
    return 1;
}

int MakeDir(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = SysError("mkdir " + path);
        return 0;
    }
    return 1;
}

void UnlinkFunctions(const std::string& root) {
    for (const char* function : kFunctions) {
        ::unlink((root + "/" + kConfig + "/" + function).c_str());
    }
}

void Remove(const std::string& root) {
    std::string error;
    WriteAttribute(root + "/UDC", "\n", error);
    UnlinkFunctions(root);
    for (const char* dir : {"/configs/c.1/strings/0x409", "/configs/c.1", "/functions/acm.modem",
                            "/functions/acm.update", "/functions/gser.boot", "/functions/ncm.net",
                            "/strings/0x409", ""}) {
        ::rmdir((root + dir).c_str());
    }
}

// A simulator killed outright leaves its gadget bound, and the controller busy for the next.
void RemoveLeftovers(const std::string& configfs) {
    std::error_code ec;
    for (fs::directory_iterator it(configfs, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        int pid = 0;
        const char* digits = name.c_str() + 5;
        const auto [last, err] = std::from_chars(digits, name.c_str() + name.size(), pid);
        if (!name.starts_with("zr40-") || err != std::errc() || *last != '\0' || pid <= 0) {
            continue;
        }
        if (::kill(pid, 0) != 0 && errno == ESRCH) {
            Remove(it->path().string());
        }
    }
}

}  // namespace

Gadget::Gadget(GadgetSettings settings) : m_settings(std::move(settings)) {}

std::unique_ptr<Gadget> Gadget::Create(const GadgetSettings& settings, std::string& error) {
    std::unique_ptr<Gadget> gadget(new Gadget(settings));
    if (gadget->Build(error) == 0) {
        return nullptr;
    }
    return gadget;
}

int Gadget::Build(std::string& error) {
    m_udc = m_settings.udc;
    if (m_udc.empty()) {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(m_settings.udcClass, ec), end; !ec && it != end;
             it.increment(ec)) {
            names.push_back(it->path().filename().string());
        }
        if (names.empty()) {
            error = "no USB device controller in " + m_settings.udcClass + " (dummy_hcd loaded?)";
            return 0;
        }
        m_udc = *std::min_element(names.begin(), names.end());
    }
    RemoveLeftovers(m_settings.configfs);
    if (MakeDir(m_settings.configfs + "/zr40-" + std::to_string(::getpid()), error) == 0) {
        return 0;
    }
    m_root = m_settings.configfs + "/zr40-" + std::to_string(::getpid());
    // Misc class with interface association: the host keeps each CDC function's two
    // interfaces together.
    const std::pair<const char*, std::string> attributes[] = {
        {"idVendor", "0x1d7a"},     {"idProduct", "0x3c52"},  {"bcdDevice", "0x0100"},
        {"bcdUSB", "0x0200"},       {"bDeviceClass", "0xef"}, {"bDeviceSubClass", "0x02"},
        {"bDeviceProtocol", "0x01"}};
    for (const auto& [name, value] : attributes) {
        if (WriteAttribute(m_root + "/" + name, value, error) == 0) {
            return 0;
        }
    }
    const std::string strings = m_root + "/strings/0x409";
    const std::string config = m_root + "/" + kConfig;
    if (MakeDir(strings, error) == 0 ||
        WriteAttribute(strings + "/manufacturer", "Norvale", error) == 0 ||
        WriteAttribute(strings + "/product", "ZR-40", error) == 0 ||
        WriteAttribute(strings + "/serialnumber", m_settings.serial, error) == 0 ||
        MakeDir(config, error) == 0 || MakeDir(config + "/strings/0x409", error) == 0 ||
        WriteAttribute(config + "/strings/0x409/configuration", "ZR-40", error) == 0 ||
        WriteAttribute(config + "/MaxPower", "500", error) == 0) {
        return 0;
    }
    // Each serial function owns its ttyGS line from here on, so the device side can be opened
    // before the PC sees the device.
    for (int i = 0; i < 4; ++i) {
        const std::string dir = m_root + "/functions/" + kFunctions[i];
        if (MakeDir(dir, error) == 0) {
            return 0;
        }
        if (i < 3) {
            std::ifstream in(dir + "/port_num");
            int line = -1;
            if (!(in >> line) || line < 0) {
                error = "no ttyGS line for " + dir;
                return 0;
            }
            m_ttys[i] = "/dev/ttyGS" + std::to_string(line);
        }
    }
    return 1;
}

Gadget::~Gadget() {
    if (m_root.empty()) {
        return;
    }
    Unbind();
    Remove(m_root);
}

std::string Gadget::Tty(GadgetPort port) const {
    return m_ttys[static_cast<int>(port)];
}

void Gadget::Unlink() {
    UnlinkFunctions(m_root);
}

int Gadget::Bind(bool bootLoader, std::string& error) {
    Unbind();
    Unlink();
    std::vector<const char*> functions;
    if (bootLoader) {
        functions = {"gser.boot"};
    } else if (m_settings.updateFirst) {
        functions = {"acm.update", "acm.modem", "ncm.net"};
    } else {
        functions = {"acm.modem", "acm.update", "ncm.net"};
    }
    // Interfaces are numbered in the order the functions join the configuration.
    for (const char* function : functions) {
        const std::string target = m_root + "/functions/" + function;
        const std::string link = m_root + "/" + kConfig + "/" + function;
        if (::symlink(target.c_str(), link.c_str()) != 0) {
            error = SysError("linking " + std::string(function));
            return 0;
        }
    }
    if (WriteAttribute(m_root + "/UDC", m_udc, error) == 0) {
        return 0;
    }
    m_bound = true;
    return 1;
}

void Gadget::Unbind() {
    if (!m_bound) {
        return;
    }
    std::string error;
    if (WriteAttribute(m_root + "/UDC", "\n", error) == 0) {
        std::fprintf(stderr, "zr40-devsim: %s\n", error.c_str());
    }
    m_bound = false;
}

}  // namespace sim::devsim

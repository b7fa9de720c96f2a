#include "platform/devnotify/DeviceMonitor.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/devices/Devices.h"

namespace platform::devnotify {

namespace {

using window::kDeviceArrival;
using window::kDeviceChangeMessage;
using window::kDeviceRemoveComplete;
using window::kDevNodesChanged;

bool SameRecord(const devices::CatalogRecord& a, const devices::CatalogRecord& b) {
    return a.kind == b.kind && a.id == b.id && a.properties == b.properties;
}

std::vector<std::string> PortNames(const std::vector<devices::CatalogRecord>& records) {
    std::vector<std::string> names;
    for (const devices::CatalogRecord& record : records) {
        if (std::optional<std::string> name = record.Property(devices::kPortName)) {
            names.push_back(std::move(*name));
        }
    }
    return names;
}

void Complain(const std::string& what) {
    std::fprintf(stderr, "zr40: device notifications: %s\n", what.c_str());
}

}  // namespace

Change CatalogChange(const std::vector<devices::CatalogRecord>& before,
                     const std::vector<devices::CatalogRecord>& after) {
    Change change;
    change.devicesChanged =
        !std::equal(before.begin(), before.end(), after.begin(), after.end(), SameRecord);
    std::vector<std::string> oldPorts = PortNames(before);
    std::vector<std::string> newPorts = PortNames(after);
    // Each name once per record: two records of one name leave one behind when one goes.
    std::vector<std::string> stillThere = newPorts;
    for (const std::string& name : oldPorts) {
        auto it = std::find(stillThere.begin(), stillThere.end(), name);
        if (it == stillThere.end()) {
            change.ports.push_back({false, name});
        } else {
            stillThere.erase(it);
        }
    }
    for (const std::string& name : newPorts) {
        auto it = std::find(oldPorts.begin(), oldPorts.end(), name);
        if (it == oldPorts.end()) {
            change.ports.push_back({true, name});
        } else {
            oldPorts.erase(it);
        }
    }
    return change;
}

void AddUdevEvent(const UdevEvent& event, Change& change) {
    const std::string& a = event.action;
    if (a != "add" && a != "remove" && a != "bind" && a != "unbind" && a != "move") {
        return;  // "change" and "online"/"offline" leave the set of devices as it is
    }
    change.devicesChanged = true;
    if (event.subsystem == "tty" && !event.sysname.empty() && (a == "add" || a == "remove")) {
        change.ports.push_back({a == "add", event.sysname});
    }
}

struct DeviceMonitor::Udev {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ~Udev() {
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        if (context != nullptr) {
            udev_unref(context);
        }
    }
};

DeviceMonitor::DeviceMonitor() : DeviceMonitor(devices::CatalogFromEnvironment()) {}

DeviceMonitor::DeviceMonitor(std::optional<std::filesystem::path> catalog)
    : stop_(::eventfd(0, EFD_CLOEXEC)) {
    if (catalog) {
        StartCatalog(*catalog);
    } else {
        StartUdev();
    }
}

DeviceMonitor::~DeviceMonitor() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_.Get(), &one, sizeof one);
        thread_.join();
    }
}

void DeviceMonitor::StartCatalog(const std::filesystem::path& catalog) {
    catalog_ = catalog;
    source_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // The writer renames a new version over the file: the folder sees it, a watch of the file
    // would stay on the replaced one.
    const std::filesystem::path dir = catalog.has_parent_path() ? catalog.parent_path() : ".";
    if (!source_.Valid() || !stop_.Valid() ||
        ::inotify_add_watch(source_.Get(), dir.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) <
            0) {
        Complain("cannot watch " + dir.string() + ": " + std::strerror(errno));
        return;
    }
    // Read after the watch is set, so no version slips between the two.
    known_ = devices::ReadCatalog(catalog_);
    thread_ = std::thread(&DeviceMonitor::WatchCatalog, this);
}

void DeviceMonitor::StartUdev() {
    udev_ = std::make_unique<Udev>();
    udev_->context = udev_new();
    if (udev_->context != nullptr) {
        udev_->monitor = udev_monitor_new_from_netlink(udev_->context, "udev");
    }
    bool ok = udev_->monitor != nullptr && stop_.Valid();
    for (const char* subsystem : {"tty", "usb", "net"}) {
        ok = ok && udev_monitor_filter_add_match_subsystem_devtype(udev_->monitor, subsystem,
                                                                   nullptr) >= 0;
    }
    ok = ok && udev_monitor_enable_receiving(udev_->monitor) >= 0;
    const int fd = ok ? udev_monitor_get_fd(udev_->monitor) : -1;
    if (fd < 0) {
        Complain("no udev monitor; device changes will not be reported");
        udev_.reset();
        return;
    }
    // The monitor owns its descriptor; a duplicate keeps source_'s ownership simple.
    source_.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!source_.Valid()) {
        Complain(std::string("dup: ") + std::strerror(errno));
        udev_.reset();
        return;
    }
    thread_ = std::thread(&DeviceMonitor::WatchUdev, this);
}

int DeviceMonitor::Subscribe(window::WindowHandle window, Interest interest) {
    std::lock_guard lock(mutex_);
    subscribers_.push_back({nextId_, std::move(window), interest});
    return nextId_++;
}

void DeviceMonitor::Unsubscribe(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(subscribers_, [id](const Subscriber& s) { return s.id == id; });
}

void DeviceMonitor::Deliver(const Change& change) {
    if (!change.devicesChanged && change.ports.empty()) {
        return;
    }
    std::vector<Subscriber> subscribers;
    {
        std::lock_guard lock(mutex_);
        subscribers = subscribers_;
    }
    std::vector<int> gone;
    for (const Subscriber& s : subscribers) {
        bool alive = true;
        if (s.interest == Interest::Ports) {
            for (const PortChange& port : change.ports) {
                alive = alive &&
                        s.window.Post(window::Message{
                            kDeviceChangeMessage,
                            port.arrived ? kDeviceArrival : kDeviceRemoveComplete, 0, port.port});
            }
        } else if (change.devicesChanged) {
            alive = s.window.Post(window::Message{kDeviceChangeMessage, kDevNodesChanged, 0, {}});
        }
        if (!alive) {
            gone.push_back(s.id);
        }
    }
    for (int id : gone) {
        Unsubscribe(id);
    }
}

void DeviceMonitor::WatchCatalog() {
    const std::string name = catalog_.filename().string();
    pollfd fds[2] = {{stop_.Get(), POLLIN, 0}, {source_.Get(), POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            Complain(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        bool ours = false;
        alignas(inotify_event) char buf[8192];
        ssize_t n;
        while ((n = ::read(source_.Get(), buf, sizeof buf)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
                ours = ours || (event->len > 0 && name == event->name) ||
                       (event->mask & IN_Q_OVERFLOW) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (!ours) {
            continue;
        }
        std::vector<devices::CatalogRecord> now = devices::ReadCatalog(catalog_);
        Deliver(CatalogChange(known_, now));
        known_ = std::move(now);
    }
}

void DeviceMonitor::WatchUdev() {
    pollfd fds[2] = {{stop_.Get(), POLLIN, 0}, {source_.Get(), POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            Complain(std::string("poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        // One plug brings a burst of events: they make one batch.
        Change change;
        while (udev_device* device = udev_monitor_receive_device(udev_->monitor)) {
            const char* action = udev_device_get_action(device);
            const char* subsystem = udev_device_get_subsystem(device);
            const char* sysname = udev_device_get_sysname(device);
            AddUdevEvent({action ? action : "", subsystem ? subsystem : "", sysname ? sysname : ""},
                         change);
            udev_device_unref(device);
        }
        Deliver(change);
    }
}

}  // namespace platform::devnotify

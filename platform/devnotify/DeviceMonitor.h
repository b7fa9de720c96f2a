// Device-change notifications for windows that ask for them.
//
// The monitor watches the system on a thread of its own and posts kDeviceChangeMessage to its
// subscribers: kDevNodesChanged after any change of the devices, and kDeviceArrival /
// kDeviceRemoveComplete with the port name when a serial port comes or goes. The source is the
// device catalogue when ZR40_DEVICE_CATALOG names one (its folder is watched, since the writer
// replaces the file by rename), otherwise udev (subsystems tty, usb and net).
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/devices/Catalog.h"
#include "platform/fd/UniqueFd.h"
#include "platform/window/Window.h"

namespace platform::devnotify {

enum class Interest {
    DevicesChanged,  // kDevNodesChanged only
    Ports,           // port arrival and removal only
};

struct PortChange {
    bool arrived = false;
    std::string port;
};

// What one batch of changes tells the subscribers.
struct Change {
    bool devicesChanged = false;
    std::vector<PortChange> ports;  // in the order they happened
};

// The ports (records with a PortName) that disappeared, then those that appeared, between two
// versions of the catalogue; devicesChanged when the records differ at all.
Change CatalogChange(const std::vector<devices::CatalogRecord>& before,
                     const std::vector<devices::CatalogRecord>& after);

// One udev event as the monitor reads it.
struct UdevEvent {
    std::string action;     // "add", "remove", "bind", "unbind", "change", "move"
    std::string subsystem;  // "tty", "usb", "net"
    std::string sysname;    // "ttyACM1", "1-2:1.0", "wwan0"
};

// Adds what the event means to a batch: devices come, go or get a driver; a tty that comes or
// goes is a port.
void AddUdevEvent(const UdevEvent& event, Change& change);

class DeviceMonitor {
  public:
    // The catalogue when given, udev otherwise.
    explicit DeviceMonitor(std::optional<std::filesystem::path> catalog);
    // As the environment says (devices::CatalogFromEnvironment()).
    DeviceMonitor();
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Returns the id for Unsubscribe. A window that has gone is dropped at the next change.
    int Subscribe(window::WindowHandle window, Interest interest);
    // A notification already on its way may still arrive.
    void Unsubscribe(int id);

  private:
    struct Subscriber {
        int id;
        window::WindowHandle window;
        Interest interest;
    };
    struct Udev;

    void StartCatalog(const std::filesystem::path& catalog);
    void StartUdev();
    void WatchCatalog();
    void WatchUdev();
    void Deliver(const Change& change);

    std::mutex mutex_;
    std::vector<Subscriber> subscribers_;
    int nextId_ = 1;

    std::filesystem::path catalog_;
    std::vector<devices::CatalogRecord> known_;  // the watcher thread's
    std::unique_ptr<Udev> udev_;
    fd::UniqueFd source_;
    fd::UniqueFd stop_;
    std::thread thread_;
};

}  // namespace platform::devnotify

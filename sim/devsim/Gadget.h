// The ZR-40 as a USB gadget (configfs, libcomposite): the PC side is the kernel's own USB host
// stack, so discovery, the drivers and udev see a real device that really re-enumerates.
//
// In normal mode the device offers two CDC-ACM functions, the modem port then the update port
// (both report protocol 01, so the discovery table takes the first for the modem port), and the
// CDC-NCM network function. In its boot loader it offers the update port alone, as a
// vendor-specific serial function (ff/00/00, usb_f_serial): a device with no AT interface is
// one in its boot loader, the way the discovery table and the udev rules read it.
#pragma once

#include <memory>
#include <string>

namespace sim::devsim {

enum class GadgetPort { Modem, Update, BootUpdate };

struct GadgetSettings {
    std::string configfs = "/sys/kernel/config/usb_gadget";
    std::string udcClass = "/sys/class/udc";
    std::string udc;  // empty: the first controller in udcClass
    std::string serial;
    // The update port's CDC-ACM function before the modem port's: the order the discovery
    // table must not be fooled by.
    bool updateFirst = false;
};

class Gadget {
  public:
    // Makes the gadget and its functions, unbound. nullptr with error set on failure.
    static std::unique_ptr<Gadget> Create(const GadgetSettings& settings, std::string& error);
    // Unbinds and removes every configfs entry it made.
    ~Gadget();
    Gadget(const Gadget&) = delete;
    Gadget& operator=(const Gadget&) = delete;

    // The device's side of a port ("/dev/ttyGS1"); it exists from Create on, bound or not.
    std::string Tty(GadgetPort port) const;

    // Links the functions of one mode into the configuration and binds the controller: the PC
    // sees the device arrive. 1, or 0 with error set.
    int Bind(bool bootLoader, std::string& error);
    // The PC sees the device leave. Nothing happens when it is not bound.
    void Unbind();

  private:
    explicit Gadget(GadgetSettings settings);
    int Build(std::string& error);
    void Unlink();

    GadgetSettings m_settings;
    std::string m_root;  // configfs/zr40-<pid>
    std::string m_udc;
    std::string m_ttys[3];
    bool m_bound = false;
};

}  // namespace sim::devsim

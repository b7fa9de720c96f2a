// The installed udev rules against the tool's own discovery: on each layout the device can show,
// ModemManager must be told to leave alone exactly the port discovery takes as the update port,
// and the whole device exactly when discovery finds no modem port (the boot loader).
//
// udevadm cannot run rules on a device that is not in /sys, so the rules are read here and
// applied by a small evaluator with udev's matching semantics to the same fake sysfs tree that
// discovery scans. A key the evaluator does not know fails the test rather than being skipped.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/devices/Devices.h"
#include "tests/support/FakeSysfs.h"
#include "tests/support/TempDir.h"

namespace dev = platform::devices;
namespace fs = std::filesystem;
using testsupport::FakeSysfs;
using testsupport::InterfaceSpec;
using testsupport::TempDir;

namespace {

// One device of an event's chain: the device itself first, then its parents.
struct Node {
    std::string subsystem;
    std::string devtype;
    std::string kernel;
    fs::path dir;  // attributes are its files
};

struct Key {
    std::string name;
    std::string attr;  // the part in braces
    std::string op;
    std::string value;
};

using Rule = std::vector<Key>;
using Props = std::map<std::string, std::string>;

std::vector<Rule> ParseRules(const fs::path& file) {
    std::ifstream in(file);
    EXPECT_TRUE(in.good()) << file;
    std::vector<Rule> rules;
    const std::regex keyPattern(
        R"re(\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*,?)re");
    std::string line;
    while (std::getline(in, line)) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        Rule rule;
        auto begin = std::sregex_iterator(line.begin(), line.end(), keyPattern);
        std::size_t consumed = 0;
        for (auto it = begin; it != std::sregex_iterator(); ++it) {
            EXPECT_EQ(static_cast<std::size_t>(it->position()), consumed)
                << "cannot read: " << line;
            consumed = static_cast<std::size_t>(it->position() + it->length());
            rule.push_back({(*it)[1].str(), (*it)[2].str(), (*it)[3].str(), (*it)[4].str()});
        }
        EXPECT_EQ(line.find_first_not_of(" \t", consumed), std::string::npos)
            << "cannot read: " << line;
        rules.push_back(std::move(rule));
    }
    return rules;
}

// udev's patterns: shell globs, alternatives separated by '|'.
bool Glob(const std::string& pattern, const std::string& text) {
    std::stringstream alternatives(pattern);
    std::string one;
    while (std::getline(alternatives, one, '|')) {
        if (::fnmatch(one.c_str(), text.c_str(), 0) == 0) {
            return true;
        }
    }
    return false;
}

bool Compare(const Key& key, const std::string& text) {
    return Glob(key.value, text) == (key.op == "==");
}

// A sysfs attribute (one line) as udev reads it: trailing white space dropped; none when
// missing.
std::optional<std::string> Attribute(const Node& node, const std::string& name) {
    std::ifstream in(node.dir / name);
    if (!in) {
        return std::nullopt;
    }
    std::string text;
    std::getline(in, text);
    text.erase(text.find_last_not_of(" \t\r\n") + 1);
    return text;
}

// The usb_id builtin's list of the device's interface classes: ":ccsspp:" each once, in
// interface order.
std::string UsbInterfaces(const std::vector<Node>& chain) {
    auto device = std::find_if(chain.begin(), chain.end(),
                               [](const Node& n) { return n.devtype == "usb_device"; });
    if (device == chain.end()) {
        return {};
    }
    std::map<int, std::string> byNumber;
    for (const auto& entry : fs::directory_iterator(device->dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(device->kernel + ":", 0) != 0) {
            continue;
        }
        const Node itf{"usb", "usb_interface", name, entry.path()};
        byNumber[std::stoi(Attribute(itf, "bInterfaceNumber").value_or("0"), nullptr, 16)] =
            Attribute(itf, "bInterfaceClass").value_or("") +
            Attribute(itf, "bInterfaceSubClass").value_or("") +
            Attribute(itf, "bInterfaceProtocol").value_or("");
    }
    std::string list;
    for (const auto& [number, classes] : byNumber) {
        if (list.find(":" + classes) == std::string::npos) {
            list += ":" + classes;
        }
    }
    return list + ":";
}

bool IsParentKey(const std::string& name) {
    return name == "SUBSYSTEMS" || name == "ATTRS" || name == "KERNELS";
}

bool MatchesOn(const Key& key, const Node& node) {
    if (key.name == "SUBSYSTEMS") {
        return Compare(key, node.subsystem);
    }
    if (key.name == "KERNELS") {
        return Compare(key, node.kernel);
    }
    const auto value = Attribute(node, key.attr);
    return value && Compare(key, *value);
}

// Runs the rules for one event; the properties they leave on the device.
Props RunRules(const std::vector<Rule>& rules, const std::string& action,
               const std::vector<Node>& chain) {
    const Node& self = chain.front();
    Props props{{"DEVTYPE", self.devtype}};
    std::optional<std::string> skipTo;
    for (const Rule& rule : rules) {
        if (skipTo) {
            const bool label = rule.size() == 1 && rule[0].name == "LABEL";
            if (label && rule[0].value == *skipTo) {
                skipTo.reset();
            }
            continue;
        }
        bool matched = true;
        std::vector<const Key*> parentKeys;
        for (const Key& key : rule) {
            if (key.op != "==" && key.op != "!=") {
                continue;
            }
            if (key.name == "ACTION") {
                matched = matched && Compare(key, action);
            } else if (key.name == "SUBSYSTEM") {
                matched = matched && Compare(key, self.subsystem);
            } else if (key.name == "KERNEL") {
                matched = matched && Compare(key, self.kernel);
            } else if (key.name == "ENV") {
                matched = matched && Compare(key, props[key.attr]);
            } else if (key.name == "ATTR") {
                const auto value = Attribute(self, key.attr);
                matched = matched && value && Compare(key, *value);
            } else if (IsParentKey(key.name)) {
                parentKeys.push_back(&key);
            } else {
                ADD_FAILURE() << "the evaluator does not know the match key " << key.name;
                matched = false;
            }
        }
        if (matched && !parentKeys.empty()) {
            matched = std::any_of(chain.begin(), chain.end(), [&](const Node& node) {
                return std::all_of(parentKeys.begin(), parentKeys.end(),
                                   [&](const Key* key) { return MatchesOn(*key, node); });
            });
        }
        if (!matched) {
            continue;
        }
        for (const Key& key : rule) {
            if (key.op == "==" || key.op == "!=") {
                continue;
            }
            if (key.name == "ENV" && key.op == "=") {
                props[key.attr] = key.value;
            } else if (key.name == "IMPORT" && key.attr == "builtin" && key.value == "usb_id") {
                props["ID_USB_INTERFACES"] = UsbInterfaces(chain);
            } else if (key.name == "GOTO") {
                skipTo = key.value;
            } else if (key.name == "LABEL") {
            } else {
                ADD_FAILURE() << "the evaluator does not know the assignment " << key.name << "{"
                              << key.attr << "}" << key.op << "\"" << key.value << "\"";
            }
        }
    }
    EXPECT_FALSE(skipTo) << "no label " << *skipTo;
    std::erase_if(props, [](const auto& p) { return p.first.starts_with('.'); });
    return props;
}

std::string Prop(const Props& props, const std::string& name) {
    auto it = props.find(name);
    return it == props.end() ? "" : it->second;
}

class UdevRules : public ::testing::Test {
  protected:
    // Lays out one device at 1-2 and checks every port's and the device's properties against
    // what discovery makes of it.
    void Check(const char* vendor, const std::vector<InterfaceSpec>& interfaces) {
        sys_.Device("1-2", vendor, "3c52", interfaces);
        auto backend = dev::Sysfs(sys_.root(), sys_.osRelease());
        const auto update = backend->PresentDevices(dev::SetupClass::Ports);
        const auto modem = backend->PresentDevices(dev::SetupClass::Modem);
        const std::string updatePort = update.empty() ? "" : update[0].PortName().value_or("");
        const std::string deviceIgnore = update.empty() || !modem.empty() ? "" : "1";

        const fs::path usb = sys_.root() / "devices/usb1";
        const Node hub{"usb", "usb_device", "usb1", usb};
        const Node device{"usb", "usb_device", "1-2", usb / "1-2"};
        const Props props = RunRules(rules_, "add", {device, hub});
        EXPECT_EQ(Prop(props, "ID_MM_DEVICE_IGNORE"), deviceIgnore) << "the device";
        EXPECT_EQ(Prop(props, "ID_MM_PORT_IGNORE"), "") << "the device";

        int ttys = 0;
        for (const auto& wanted : interfaces) {
            const std::string entry = "1-2:1." + std::to_string(wanted.number);
            const Node itf{"usb", "usb_interface", entry, device.dir / entry};
            std::vector<Node> chain;
            if (wanted.tty != nullptr) {
                chain = {{"tty", "", wanted.tty, itf.dir / "tty" / wanted.tty}, itf, device, hub};
            } else if (wanted.serialPort != nullptr) {
                const Node port{"usb-serial", "", wanted.serialPort, itf.dir / wanted.serialPort};
                chain = {{"tty", "", wanted.serialPort, port.dir / "tty" / wanted.serialPort},
                         port,
                         itf,
                         device,
                         hub};
            } else {
                continue;
            }
            ++ttys;
            const std::string& tty = chain.front().kernel;
            const Props port = RunRules(rules_, "add", chain);
            EXPECT_EQ(Prop(port, "ID_MM_PORT_IGNORE"), tty == updatePort ? "1" : "") << tty;
            EXPECT_EQ(Prop(port, "ID_MM_DEVICE_IGNORE"), deviceIgnore) << tty;
            const Props removed = RunRules(rules_, "remove", chain);
            EXPECT_EQ(Prop(removed, "ID_MM_PORT_IGNORE") + Prop(removed, "ID_MM_DEVICE_IGNORE"), "")
                << tty << " removed";
        }
        EXPECT_GT(ttys, 0);
    }

    std::vector<Rule> rules_ = ParseRules(ZR_UDEV_RULES);
    TempDir dir_;
    FakeSysfs sys_{dir_.Path() / "sys"};
};

}  // namespace

TEST_F(UdevRules, ModemManagerKeepsTheModemPortAndLeavesTheUpdatePort) {
    ASSERT_FALSE(rules_.empty());
    Check("1d7a", testsupport::kZr40);
}

TEST_F(UdevRules, AVendorSerialUpdatePortIsLeftAlone) {
    Check("1d7a", {{0, "02", "02", "01", "cdc_acm", "ttyACM0"},
                   {1, "0a", "00", "00", "cdc_acm"},
                   {2, "ff", "ff", "ff", "option", nullptr, nullptr, "ttyUSB0"},
                   {3, "ff", "ff", "ff", "qmi_wwan", nullptr, "wwan0"}});
}

// CDC-ACM functions that all report AT commands, as the USB gadget's do: the second is the
// update port, in either order of the device's functions.
TEST_F(UdevRules, OfTwoAtInterfacesTheSecondIsLeftAlone) {
    Check("1d7a", {{0, "02", "02", "01", "cdc_acm", "ttyACM0"},
                   {1, "0a", "00", "00", "cdc_acm"},
                   {2, "02", "02", "01", "cdc_acm", "ttyACM1"},
                   {3, "0a", "00", "00", "cdc_acm"},
                   {4, "02", "0d", "00", "cdc_ncm", nullptr, "usb0"},
                   {5, "0a", "00", "01", "cdc_ncm"}});
}

TEST_F(UdevRules, TheBootLoaderIsLeftAloneWhole) {
    Check("1d7a", {{0, "02", "02", "00", "cdc_acm", "ttyACM0"}, {1, "0a", "00", "00", "cdc_acm"}});
}

TEST_F(UdevRules, AVendorSerialBootLoaderIsLeftAloneWhole) {
    Check("1d7a", {{0, "ff", "ff", "ff", "option", nullptr, nullptr, "ttyUSB0"}});
}

TEST_F(UdevRules, AnotherVendorsDeviceIsNotTouched) {
    Check("1d7b", testsupport::kZr40);
}

#include "platform/devices/Devices.h"

#include <utility>

#include "platform/devices/Catalog.h"

namespace platform::devices {

namespace {

std::string_view KindOf(SetupClass setupClass) {
    switch (setupClass) {
        case SetupClass::Ports:
            return "Ports";
        case SetupClass::Modem:
            return "Modem";
        case SetupClass::Net:
            return "Net";
    }
    return {};
}

class CatalogBackend final : public Backend {
  public:
    explicit CatalogBackend(std::filesystem::path file) : file_(std::move(file)) {}

    std::vector<DeviceInfo> PresentDevices(SetupClass setupClass) const override {
        const std::string_view kind = KindOf(setupClass);
        std::vector<DeviceInfo> devices;
        for (auto& record : ReadCatalog(file_)) {
            if (record.kind == kind) {
                devices.push_back({std::move(record.id), std::move(record.properties)});
            }
        }
        return devices;
    }

  private:
    std::filesystem::path file_;
};

}  // namespace

std::optional<std::string> DeviceInfo::Property(std::string_view name) const {
    const auto it = properties.find(name);
    if (it == properties.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::unique_ptr<Backend> Catalog(std::filesystem::path file) {
    return std::make_unique<CatalogBackend>(std::move(file));
}

std::unique_ptr<Backend> SystemBackend() {
    if (auto file = CatalogFromEnvironment()) {
        return Catalog(std::move(*file));
    }
    return Sysfs();
}

std::vector<DeviceInfo> PresentDevices(SetupClass setupClass) {
    return SystemBackend()->PresentDevices(setupClass);
}

std::vector<DeviceInfo> FindDevices(const Backend& backend, SetupClass setupClass,
                                    std::string_view idPart) {
    std::vector<DeviceInfo> found;
    for (auto& device : backend.PresentDevices(setupClass)) {
        if (device.hardwareId.find(idPart) != std::string::npos) {
            found.push_back(std::move(device));
        }
    }
    return found;
}

std::vector<DeviceInfo> FindDevices(SetupClass setupClass, std::string_view idPart) {
    return FindDevices(*SystemBackend(), setupClass, idPart);
}

}  // namespace platform::devices

#include "platform/mobile/Mobile.h"

#include <charconv>
#include <utility>

#include "platform/devices/Catalog.h"

namespace platform::mobile {

namespace {

using devices::CatalogRecord;

constexpr std::string_view kMbn = "Mbn";
constexpr std::string_view kDialUp = "DialUp";

// A state that is not a whole number is no state at all, never a guessed one.
std::optional<int> NumberProperty(const CatalogRecord& record, std::string_view name) {
    const auto text = record.Property(name);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    int value = 0;
    const char* last = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), last, value);
    if (ec != std::errc() || ptr != last) {
        return std::nullopt;
    }
    return value;
}

class CatalogService final : public MobileBroadband {
  public:
    explicit CatalogService(std::filesystem::path file) : file_(std::move(file)) {}

    std::vector<std::string> InterfaceIds() override {
        std::vector<std::string> ids;
        for (auto& record : devices::ReadCatalog(file_)) {
            if (record.kind == kMbn) {
                ids.push_back(std::move(record.id));
            }
        }
        return ids;
    }

    std::optional<int> RegisterState(std::string_view id) override {
        const auto record = FindInterface(id);
        return record ? NumberProperty(*record, "RegisterState") : std::nullopt;
    }

    std::optional<mobile::DeviceCaps> DeviceCaps(std::string_view id) override {
        const auto record = FindInterface(id);
        if (!record) {
            return std::nullopt;
        }
        return mobile::DeviceCaps{record->Property("Firmware").value_or(""),
                                  record->Property("DeviceId").value_or("")};
    }

    std::optional<int> ConnectionState(std::string_view id) override {
        const auto record = FindInterface(id);
        return record ? NumberProperty(*record, "ConnectionState") : std::nullopt;
    }

    std::vector<DialUpEntry> ActiveDialUps() override {
        std::vector<DialUpEntry> entries;
        for (auto& record : devices::ReadCatalog(file_)) {
            if (record.kind == kDialUp) {
                entries.push_back(
                    {std::move(record.id), record.Property("DeviceName").value_or("")});
            }
        }
        return entries;
    }

  private:
    // Of two interfaces with one id the first answers, as a lookup in the service's list would.
    std::optional<CatalogRecord> FindInterface(std::string_view id) const {
        for (auto& record : devices::ReadCatalog(file_)) {
            if (record.kind == kMbn && record.id == id) {
                return std::move(record);
            }
        }
        return std::nullopt;
    }

    std::filesystem::path file_;
};

class NoServiceImpl final : public MobileBroadband {
  public:
    std::vector<std::string> InterfaceIds() override { return {}; }
    std::optional<int> RegisterState(std::string_view) override { return std::nullopt; }
    std::optional<mobile::DeviceCaps> DeviceCaps(std::string_view) override { return std::nullopt; }
    std::optional<int> ConnectionState(std::string_view) override { return std::nullopt; }
    std::vector<DialUpEntry> ActiveDialUps() override { return {}; }
};

}  // namespace

std::unique_ptr<MobileBroadband> Catalog(std::filesystem::path file) {
    return std::make_unique<CatalogService>(std::move(file));
}

std::unique_ptr<MobileBroadband> NoService() {
    return std::make_unique<NoServiceImpl>();
}

std::unique_ptr<MobileBroadband> Create() {
    if (auto file = devices::CatalogFromEnvironment()) {
        return Catalog(std::move(*file));
    }
    return ModemManager();
}

}  // namespace platform::mobile

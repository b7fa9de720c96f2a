#include "platform/devices/Catalog.h"

#include <cstdlib>

#include "platform/devices/BoundedRead.h"

namespace platform::devices {

namespace {

// Splits at TAB; fields may be empty.
std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) {
            return fields;
        }
        line.remove_prefix(tab + 1);
    }
}

std::optional<CatalogRecord> ParseLine(std::string_view line) {
    const auto fields = SplitFields(line);
    if (fields.size() < 2 || fields[0].empty() || fields[1].empty()) {
        return std::nullopt;
    }
    CatalogRecord record;
    record.kind = fields[0];
    record.id = fields[1];
    for (std::size_t i = 2; i < fields.size(); ++i) {
        const std::string_view field = fields[i];
        // A trailing TAB is a harmless slip of a hand-written catalogue.
        if (field.empty()) {
            continue;
        }
        const auto eq = field.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            return std::nullopt;
        }
        record.properties.emplace(std::string(field.substr(0, eq)),
                                  std::string(field.substr(eq + 1)));
    }
    return record;
}

}  // namespace

std::optional<std::string> CatalogRecord::Property(std::string_view name) const {
    const auto it = properties.find(name);
    if (it == properties.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::vector<CatalogRecord> ParseCatalog(std::string_view text) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (text.starts_with(kBom)) {
        text.remove_prefix(kBom.size());
    }
    std::vector<CatalogRecord> records;
    while (!text.empty()) {
        const auto lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);

        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#' || line.size() > kCatalogMaxLine) {
            continue;
        }
        if (auto record = ParseLine(line)) {
            records.push_back(std::move(*record));
        }
    }
    return records;
}

std::vector<CatalogRecord> ReadCatalog(const std::filesystem::path& file) {
    auto content = detail::ReadRegularFile(file, kCatalogMaxBytes);
    if (!content) {
        return {};
    }
    if (!content->complete) {
        // The line cut by the limit would be read as a different record.
        const auto lastLf = content->text.rfind('\n');
        content->text.resize(lastLf == std::string::npos ? 0 : lastLf + 1);
    }
    return ParseCatalog(content->text);
}

std::optional<std::filesystem::path> CatalogFromEnvironment() {
    const char* value = std::getenv(kCatalogVariable);
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return std::filesystem::path(value);
}

}  // namespace platform::devices

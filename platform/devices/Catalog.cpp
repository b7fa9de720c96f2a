#include "platform/devices/Catalog.h"

#include <cstdlib>

#include "platform/devices/BoundedRead.h"

namespace platform::devices {

namespace {

// The next TAB-separated field of `rest`, taken off it; false once none is left. Fields may be
// empty.
bool NextField(std::optional<std::string_view>& rest, std::string_view& field) {
    if (!rest) {
        return false;
    }
    const auto tab = rest->find('\t');
    field = rest->substr(0, tab);
    if (tab == std::string_view::npos) {
        rest.reset();
    } else {
        rest->remove_prefix(tab + 1);
    }
    return true;
}

std::optional<CatalogRecord> ParseLine(std::string_view line) {
    std::optional<std::string_view> rest = line;
    std::string_view kind;
    std::string_view id;
    if (!NextField(rest, kind) || !NextField(rest, id) || kind.empty() || id.empty()) {
        return std::nullopt;
    }
    CatalogRecord record;
    record.kind = kind;
    record.id = id;
    std::string_view field;
    while (NextField(rest, field)) {
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

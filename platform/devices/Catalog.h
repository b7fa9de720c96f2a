// The device catalogue: a text file that stands in for the system's device tree when the
// simulator or a test rig plays the device.
//
// One record a line, fields separated by TAB: <kind> TAB <id> TAB <name>=<value> ...
// Lines starting with '#' and empty lines are comments. The writer replaces the file by rename,
// so every read sees one whole version of it; readers read it again on every query because it
// changes while the device re-enumerates.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::devices {

// Environment variable that points discovery and the Mobile Broadband queries at a catalogue.
inline constexpr char kCatalogVariable[] = "ZR40_DEVICE_CATALOG";

// A real catalogue is a few hundred bytes; these bounds keep a runaway file from exhausting
// memory. Lines past kCatalogMaxBytes are not read, longer lines than kCatalogMaxLine are skipped.
inline constexpr std::size_t kCatalogMaxBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kCatalogMaxLine = 64 * 1024;

struct CatalogRecord {
    std::string kind;  // "Ports", "Modem", "Net", "Mbn", "DialUp", "Process", ...
    std::string id;
    std::map<std::string, std::string, std::less<>> properties;

    std::optional<std::string> Property(std::string_view name) const;
};

// Records in file order. Malformed lines (no TAB after the kind, an empty kind or id, a
// property without '=' or without a name) are skipped; a value keeps everything after the
// first '='; of a property named twice the first value counts.
std::vector<CatalogRecord> ParseCatalog(std::string_view text);

// Reads and parses the file; a missing or unreadable file, or one that is not a regular file,
// gives no records.
std::vector<CatalogRecord> ReadCatalog(const std::filesystem::path& file);

// The catalogue named by ZR40_DEVICE_CATALOG; none when the variable is unset or empty.
std::optional<std::filesystem::path> CatalogFromEnvironment();

}  // namespace platform::devices

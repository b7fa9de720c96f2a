// Writer of the device catalogue that device discovery reads instead of sysfs.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sim::devsim {

struct CatalogRecord {
    std::string kind;  // Ports, Modem, Net, Mbn, DialUp, Process
    std::string id;
    std::vector<std::pair<std::string, std::string>> properties;
};

// One record as a catalogue line, without its line end.
std::string FormatRecord(const CatalogRecord& record);

// Replaces the records that owner wrote earlier with records, keeping every other writer's
// records in their order (several simulators may share one file). Done under an flock of
// <path>.lock, by writing <path>.tmp and renaming it over path, so a reader never sees half a
// file. Owner's records carry the property Owner=<owner>. Returns 1, or 0 with error set.
int WriteCatalog(const std::string& path, const std::string& owner,
                 const std::vector<CatalogRecord>& records, std::string& error);

}  // namespace sim::devsim

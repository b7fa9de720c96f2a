// The device catalogue that discovery reads (ZR40_DEVICE_CATALOG), parsed from arbitrary text.
//
// Every record stands on a line of its own, in file order, and holds only what that line says:
// its kind and id are the line's first two fields, each property one of its further fields, the
// first of its name. Written back as the simulator writes a catalogue, the records parse to the
// same records.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/devices/Catalog.h"
#include "sim/devsim/Catalog.h"

namespace {

namespace devices = platform::devices;

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// The TAB-separated fields of a line, into `fields` (kept between calls: no allocation a line).
void Split(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    for (;;) {
        const auto tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) {
            return;
        }
        line.remove_prefix(tab + 1);
    }
}

bool NoLineEnd(std::string_view s) {
    return s.find('\n') == std::string_view::npos;
}

// The record holds only fields of this line: kind and id first, each property a later field,
// the first of its name.
bool FromLine(const devices::CatalogRecord& record, const std::vector<std::string_view>& fields) {
    if (fields.size() < 2 || fields[0] != record.kind || fields[1] != record.id) {
        return false;
    }
    for (const auto& [name, value] : record.properties) {
        if (name.empty() || name.find('=') != std::string::npos) {
            return false;
        }
        std::size_t i = 2;
        while (i < fields.size() &&
               !(fields[i].size() > name.size() && fields[i][name.size()] == '=' &&
                 fields[i].starts_with(name))) {
            ++i;
        }
        if (i == fields.size() || fields[i].substr(name.size() + 1) != value) {
            return false;
        }
    }
    return !record.kind.empty() && record.kind[0] != '#' && !record.id.empty() &&
           NoLineEnd(record.kind) && NoLineEnd(record.id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<devices::CatalogRecord> records = devices::ParseCatalog(text);

    // Each record on a later line than the one before.
    static std::vector<std::string_view> fields;
    std::string_view rest = text;
    for (const devices::CatalogRecord& record : records) {
        bool matched = false;
        while (!rest.empty() && !matched) {
            const auto lf = rest.find('\n');
            std::string_view line = rest.substr(0, lf);
            rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
            if (line.ends_with('\r')) {
                line.remove_suffix(1);
            }
            // A byte order mark before the first line is not part of it.
            if (line.data() == text.data() && line.starts_with("\xEF\xBB\xBF")) {
                line.remove_prefix(3);
            }
            Split(line, fields);
            matched = FromLine(record, fields);
        }
        Check(matched);
    }

    // Written back the simulator's way: a comment line, then one line a record. A catalogue
    // holds a few records; the first ones of a long list stand for the rest.
    const std::size_t count = std::min<std::size_t>(records.size(), 8);
    std::string written = "# ZR-40 device catalogue, written by zr40-devsim\n";
    for (std::size_t i = 0; i < count; ++i) {
        sim::devsim::CatalogRecord out{records[i].kind, records[i].id, {}};
        for (const auto& [name, value] : records[i].properties) {
            out.properties.emplace_back(name, value);
        }
        // A value that ends in CR keeps it only ahead of the CR LF line end it was read with.
        written += sim::devsim::FormatRecord(out) + "\r\n";
    }
    const std::vector<devices::CatalogRecord> again = devices::ParseCatalog(written);
    Check(again.size() == count);
    for (std::size_t i = 0; i < count && i < again.size(); ++i) {
        Check(again[i].kind == records[i].kind && again[i].id == records[i].id &&
              again[i].properties == records[i].properties);
        for (const auto& [name, value] : records[i].properties) {
            Check(records[i].Property(name) == value);
        }
    }
    return 0;
}

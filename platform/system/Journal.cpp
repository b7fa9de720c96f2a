#include "platform/system/Journal.h"

#include <sys/uio.h>

// Where in this wrapper the entry was made tells nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace platform::system {

void Journal(std::string_view identifier, int priority, std::string_view message,
             const std::vector<JournalField>& fields) {
    std::vector<std::string> items;
    items.reserve(fields.size() + 3);
    items.push_back("MESSAGE=" + std::string(message));
    items.push_back("PRIORITY=" + std::to_string(priority));
    items.push_back("SYSLOG_IDENTIFIER=" + std::string(identifier));
    for (const JournalField& field : fields) {
        items.push_back(field.name + "=" + field.value);
    }
    std::vector<iovec> vectors;
    vectors.reserve(items.size());
    for (std::string& item : items) {
        vectors.push_back({item.data(), item.size()});
    }
    // A missing journal is not the program's failure.
    (void)sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
}

}  // namespace platform::system

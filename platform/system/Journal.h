// Entries for the systemd journal, so that `journalctl -t <identifier>` tells what a program
// did. Without a journal (no journald socket) nothing happens and nothing is said.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::system {

struct JournalField {
    // Upper-case letters, digits and underscores, not starting with an underscore.
    std::string name;
    std::string value;
};

// `priority` as syslog's (LOG_ERR, LOG_NOTICE...).
void Journal(std::string_view identifier, int priority, std::string_view message,
             const std::vector<JournalField>& fields = {});

}  // namespace platform::system

// Reading small system and catalogue files without trusting their size.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace platform::devices::detail {

struct FileText {
    std::string text;
    bool complete = true;  // false when the file goes on past the limit
};

// At most `limit` bytes of a regular file. None when it cannot be opened or is not a regular
// file: a FIFO or a device node named by mistake must neither block nor stream forever.
[[nodiscard]] std::optional<FileText> ReadRegularFile(const std::filesystem::path& file,
                                                      std::size_t limit);

}  // namespace platform::devices::detail

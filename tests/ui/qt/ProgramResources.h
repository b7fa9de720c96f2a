// The dialog templates, menus and icons of one program, read from the files its resource
// manifest names and registered as that program's resources while the object lives. Both
// programs use the same numbers for some resources, so only one set is registered at a time.
#pragma once

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/resources/resources.h"
#include "platform/ui/Text.h"

namespace testsupport {

inline std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        std::string part(text.substr(start, end - start));
        if (!part.empty() && part.back() == '\r') {
            part.pop_back();
        }
        parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

class ProgramResources {
  public:
    explicit ProgramResources(const std::filesystem::path& manifest) {
        for (const std::string& line : Split(ReadFile(manifest), '\n')) {
            std::vector<std::string> fields;
            for (std::string& field : Split(line, ' ')) {
                if (!field.empty()) {
                    fields.push_back(std::move(field));
                }
            }
            if (fields.size() < 4 || fields[0].starts_with('#')) {
                continue;
            }
            const std::string& type = fields[0];
            if (type != "DIALOG" && type != "MENU" && type != "ICON") {
                continue;
            }
            std::string bytes = ReadFile(manifest.parent_path() / fields[3]);
            if (fields[2] == "text") {
                // As the resource compiler embeds texts: code page 932, CR LF.
                std::string crlf;
                for (char c : platform::ui::Utf8ToCp932(bytes)) {
                    if (c == '\n') {
                        crlf += '\r';
                    }
                    crlf += c;
                }
                bytes = std::move(crlf);
            }
            const int id = std::stoi(fields[1]);
            const std::string& kept = bytes_.emplace_back(std::move(bytes));
            types_.push_back(type);
            registered_.push_back(std::make_unique<platform::resources::ScopedResource>(
                types_.back().c_str(), id,
                std::span(reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size())));
            if (type == "DIALOG") {
                dialogs_.push_back(id);
            } else if (type == "MENU") {
                menus_.push_back(id);
            }
        }
    }

    const std::vector<int>& Dialogs() const { return dialogs_; }
    const std::vector<int>& Menus() const { return menus_; }

  private:
    static std::string ReadFile(const std::filesystem::path& path) {
        std::string bytes;
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            char buffer[4096];
            std::size_t n = 0;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
                bytes.append(buffer, n);
            }
            std::fclose(file);
        }
        return bytes;
    }

    std::deque<std::string> bytes_;
    std::deque<std::string> types_;
    std::vector<std::unique_ptr<platform::resources::ScopedResource>> registered_;
    std::vector<int> dialogs_;
    std::vector<int> menus_;
};

// The manifests of both programs, as the build found them.
inline std::vector<std::filesystem::path> ProgramManifests() {
    std::vector<std::filesystem::path> manifests;
    for (const std::string& one : Split(ZR_PROGRAM_MANIFESTS, '|')) {
        if (!one.empty()) {
            manifests.emplace_back(one);
        }
    }
    return manifests;
}

}  // namespace testsupport

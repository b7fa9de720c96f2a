#include "platform/resources/resources.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>

namespace platform::resources {
namespace {

struct Table {
    std::mutex lock;
    std::vector<std::span<const Entry>> manifests;
};

Table& table() {
    static Table t;
    return t;
}

bool sameType(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

}  // namespace

void Register(const Entry* entries, std::size_t count) noexcept {
    Table& t = table();
    std::lock_guard guard(t.lock);
    t.manifests.emplace_back(entries, count);
}

void Unregister(const Entry* entries) noexcept {
    Table& t = table();
    std::lock_guard guard(t.lock);
    std::erase_if(t.manifests, [entries](std::span<const Entry> m) { return m.data() == entries; });
}

std::optional<Bytes> Find(std::string_view type, int number) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    for (auto m = t.manifests.rbegin(); m != t.manifests.rend(); ++m) {
        for (const Entry& e : *m) {
            if (e.number == number && sameType(e.type, type)) {
                return Bytes(e.data, e.size);
            }
        }
    }
    return std::nullopt;
}

std::vector<int> Numbers(std::string_view type) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    std::vector<int> out;
    for (const auto& m : t.manifests) {
        for (const Entry& e : m) {
            if (sameType(e.type, type)) {
                out.push_back(e.number);
            }
        }
    }
    std::ranges::sort(out);
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::string_view LoadString(int id) {
    auto found = Find("STRING", id);
    if (!found) {
        return {};
    }
    return {reinterpret_cast<const char*>(found->data()), found->size()};
}

std::string VersionValue(std::string_view key) {
    auto found = Find("VERSION", 1);
    if (!found) {
        return {};
    }
    std::string_view text(reinterpret_cast<const char*>(found->data()), found->size());
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        const auto eq = line.find('=');
        if (eq != std::string_view::npos && line.substr(0, eq) == key) {
            return std::string(line.substr(eq + 1));
        }
    }
    return {};
}

std::string VersionText(std::string_view program) {
    std::string text(program);
    text += ' ';
    text += VersionValue("ProductVersion");
    text += '\n';
    if (std::string copyright = VersionValue("LegalCopyright"); !copyright.empty()) {
        text += copyright + '\n';
    }
    return text;
}

std::optional<int> AnswerHelpOrVersion(int argc, char** argv, std::string_view program,
                                       std::string_view help) {
    const std::string_view first = argc > 1 ? std::string_view(argv[1]) : std::string_view();
    if (first == "--help") {
        std::fwrite(help.data(), 1, help.size(), stdout);
        return 0;
    }
    if (first == "--version") {
        std::fputs(VersionText(program).c_str(), stdout);
        return 0;
    }
    return std::nullopt;
}

}  // namespace platform::resources

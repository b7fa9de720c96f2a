// zr-template-ids: turns the names a dialog or menu template gives its ids into a header of
// compile-time checks, so that the code's constants and the template cannot drift apart.
//
// usage: zr-template-ids <root> <template under root> <resource number> <header>
//
// A name is a comment line "#name <identifier>" right above the statement whose id it names:
// DIALOG, CONTROL or MENU, ITEM. Being a comment, the programs' parser passes over it. The
// header holds one static_assert per name, "<identifier> == <id in the template>"; it is
// included after the constants it checks. The template must parse as its program parses it,
// and its own id must be the resource number the manifest gives it.
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/Template.h"
#include "platform/ui/Text.h"

namespace ui = platform::ui;

namespace {

std::string g_where;

[[noreturn]] void Die(const std::string& what) {
    std::cerr << "zr-template-ids: " << g_where << ": " << what << "\n";
    std::exit(1);
}

bool IsIdentifier(std::string_view text) {
    // Qualified names too: platform::ui::IDOK.
    bool start = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (text.substr(i, 2) == "::" && !start) {
            start = true;
            ++i;
            continue;
        }
        if (!(std::isalpha(c) || c == '_' || (!start && std::isdigit(c)))) {
            return false;
        }
        start = false;
    }
    return !start;
}

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string_view Keyword(std::string_view statement) {
    return statement.substr(0, statement.find_first_of(" \t"));
}

struct Name {
    std::string identifier;
    int id = 0;
    int line = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: zr-template-ids <root> <template under root> <resource number> "
                     "<header>\n";
        return 2;
    }
    const std::string shown = argv[2];
    const int resource = std::atoi(argv[3]);
    g_where = shown;

    std::ifstream in(std::string(argv[1]) + "/" + shown, std::ios::binary);
    std::stringstream read;
    read << in.rdbuf();
    if (!in) {
        Die("cannot read");
    }
    const std::string text = ui::Utf8ToCp932(read.str());

    std::vector<std::string_view> lines;
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    std::string keyword;
    for (std::string_view line : lines) {
        line = Trim(line);
        if (!line.empty() && line[0] != '#') {
            keyword = Keyword(line);
            break;
        }
    }

    // The statements in order, each with its id (nothing for those without one).
    std::vector<std::optional<int>> ids;
    int own = 0;
    std::string error;
    if (keyword == "DIALOG") {
        const std::optional<ui::DialogTemplate> d = ui::ParseDialog(text, &error);
        if (!d) {
            Die(error);
        }
        own = d->id;
        std::size_t control = 0;
        for (std::string_view line : lines) {
            line = Trim(line);
            if (line.empty() || line[0] == '#') {
                continue;
            }
            if (Keyword(line) == "DIALOG") {
                ids.push_back(d->id);
            } else if (Keyword(line) == "CONTROL") {
                const int id = d->controls.at(control++).id;
                ids.push_back(id == ui::kNoId ? std::nullopt : std::optional<int>(id));
            } else {
                ids.push_back(std::nullopt);
            }
        }
        for (std::size_t i = 0; i < d->controls.size(); ++i) {
            for (std::size_t j = i + 1; j < d->controls.size(); ++j) {
                if (d->controls[i].id != ui::kNoId && d->controls[i].id == d->controls[j].id) {
                    Die("two controls have the id " + std::to_string(d->controls[i].id));
                }
            }
        }
    } else if (keyword == "MENU") {
        const std::optional<ui::MenuTemplate> m = ui::ParseMenu(text, &error);
        if (!m) {
            Die(error);
        }
        own = m->id;
        std::size_t item = 0;
        for (std::string_view line : lines) {
            line = Trim(line);
            if (line.empty() || line[0] == '#') {
                continue;
            }
            if (Keyword(line) == "MENU") {
                ids.push_back(m->id);
            } else {
                const ui::MenuItem& it = m->items.at(item++);
                ids.push_back(it.separator ? std::nullopt : std::optional<int>(it.id));
            }
        }
    } else {
        Die("neither a DIALOG nor a MENU template");
    }
    if (own != resource) {
        Die("the template's id " + std::to_string(own) + " is not its resource number " +
            std::to_string(resource));
    }

    std::vector<Name> names;
    std::optional<Name> pending;
    std::size_t statement = 0;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        g_where = shown + ":" + std::to_string(n + 1);
        const std::string_view line = Trim(lines[n]);
        const bool annotation =
            line.starts_with("#name") && (line.size() == 5 || line[5] == ' ' || line[5] == '\t');
        if (pending && (line.empty() || line[0] == '#')) {
            Die("#name must stand right above the statement it names");
        }
        if (annotation) {
            const std::string_view identifier = Trim(line.substr(5));
            if (!IsIdentifier(identifier)) {
                Die("expected #name <identifier>");
            }
            pending = Name{std::string(identifier), 0, 0};
            continue;
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::optional<int> id = ids.at(statement++);
        if (!pending) {
            continue;
        }
        if (!id) {
            Die("this statement has no id to name");
        }
        pending->id = *id;
        pending->line = static_cast<int>(n + 1);
        for (const Name& other : names) {
            if (other.identifier == pending->identifier) {
                Die(pending->identifier + " names two ids");
            }
        }
        names.push_back(*pending);
        pending.reset();
    }
    g_where = shown;
    if (pending) {
        Die("#name at the end names nothing");
    }

    std::ostringstream out;
    out << "// Generated by zr-template-ids from " << shown
        << ". Included after the constants it checks.\n#pragma once\n\n";
    for (const Name& name : names) {
        out << "static_assert(" << name.identifier << " == " << name.id << ", \"" << shown << ":"
            << name.line << ": " << name.identifier << " is " << name.id
            << " in the template\");\n";
    }
    std::ofstream header(argv[4], std::ios::binary | std::ios::trunc);
    header << out.str();
    if (!header) {
        g_where = argv[4];
        Die("cannot write");
    }
    return 0;
}

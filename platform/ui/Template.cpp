#include "platform/ui/Template.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "platform/resources/resources.h"

namespace platform::ui {

namespace {

bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Splits one line into words; a quoted word keeps its text (escapes resolved) and is marked.
struct Word {
    std::string text;
    bool quoted = false;
};

bool SplitLine(std::string_view line, std::vector<Word>& words, std::string& why) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        Word word;
        if (c == '"') {
            word.quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const auto b = static_cast<unsigned char>(line[i]);
                if (IsLeadByte(b) && i + 1 < line.size()) {
                    word.text.append(line.substr(i, 2));
                    i += 2;
                    continue;
                }
                if (b == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (b == '\\' && i + 1 < line.size()) {
                    const char e = line[i + 1];
                    i += 2;
                    switch (e) {
                        case 'n':
                            word.text += '\n';
                            break;
                        case 'r':
                            word.text += '\r';
                            break;
                        case '"':
                        case '\\':
                            word.text += e;
                            break;
                        default:
                            why = std::string("unknown escape \\") + e;
                            return false;
                    }
                    continue;
                }
                word.text += static_cast<char>(b);
                ++i;
            }
            if (!closed) {
                why = "unterminated text";
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                word.text += line[i++];
            }
        }
        words.push_back(std::move(word));
    }
    return true;
}

bool ToInt(const Word& word, int& value) {
    if (word.quoted) {
        return false;
    }
    const char* end = word.text.data() + word.text.size();
    auto [ptr, ec] = std::from_chars(word.text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

bool ToId(const Word& word, int& value) {
    if (!word.quoted && word.text == "-") {
        value = kNoId;
        return true;
    }
    return ToInt(word, value);
}

std::optional<ControlKind> KindOf(std::string_view name) {
    static constexpr std::pair<std::string_view, ControlKind> kKinds[] = {
        {"PUSHBUTTON", ControlKind::PushButton},
        {"DEFPUSHBUTTON", ControlKind::DefPushButton},
        {"STATIC", ControlKind::Static},
        {"EDIT", ControlKind::Edit},
        {"ICON", ControlKind::Icon},
        {"PROGRESS", ControlKind::Progress},
        {"RADIO", ControlKind::Radio},
        {"GROUPBOX", ControlKind::GroupBox},
        {"CHECKBOX", ControlKind::CheckBox},
    };
    for (const auto& [n, k] : kKinds) {
        if (n == name) {
            return k;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ControlFlag(std::string_view name) {
    static constexpr std::pair<std::string_view, std::uint32_t> kFlags[] = {
        {"READONLY", kReadOnly}, {"MULTILINE", kMultiLine}, {"CENTER", kCenter},
        {"RIGHT", kRight},       {"BORDER", kBorder},       {"HIDDEN", kHidden},
        {"DISABLED", kDisabled}, {"GROUP", kGroup},         {"TABSTOP", kTabStop},
    };
    for (const auto& [n, f] : kFlags) {
        if (n == name) {
            return f;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> DialogFlag(std::string_view name) {
    if (name == "SYSMENU") {
        return kSysMenu;
    }
    if (name == "MINIMIZEBOX") {
        return kMinimizeBox;
    }
    if (name == "MODALFRAME") {
        return kModalFrame;
    }
    return std::nullopt;
}

// Calls onLine(number, words) for every statement; stops at the first false.
template <typename F>
bool ForEachStatement(std::string_view text, std::string* error, F onLine) {
    int number = 0;
    while (!text.empty()) {
        const std::size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') {
            continue;
        }
        std::vector<Word> words;
        std::string why;
        if (!SplitLine(line, words, why) || !onLine(words, why)) {
            if (error) {
                *error = "line " + std::to_string(number) + ": " + why;
            }
            return false;
        }
    }
    return true;
}

bool ParseControl(const std::vector<Word>& w, ControlTemplate& c, std::string& why) {
    if (w.size() < 8) {
        why = "CONTROL needs kind, id, text, x, y, cx, cy";
        return false;
    }
    const std::optional<ControlKind> kind = KindOf(w[1].text);
    if (!kind) {
        why = "unknown control kind " + w[1].text;
        return false;
    }
    c.kind = *kind;
    if (!ToId(w[2], c.id) || !w[3].quoted || !ToInt(w[4], c.x) || !ToInt(w[5], c.y) ||
        !ToInt(w[6], c.cx) || !ToInt(w[7], c.cy) || c.cx < 0 || c.cy < 0) {
        why = "bad control fields";
        return false;
    }
    c.text = w[3].text;
    for (std::size_t i = 8; i < w.size(); ++i) {
        const std::string& f = w[i].text;
        if (f.starts_with("ICON=")) {
            Word number{f.substr(5), false};
            if (!ToInt(number, c.icon)) {
                why = "bad icon number";
                return false;
            }
        } else if (const std::optional<std::uint32_t> flag = ControlFlag(f)) {
            c.style |= *flag;
        } else {
            why = "unknown control flag " + f;
            return false;
        }
    }
    return true;
}

}  // namespace

const ControlTemplate* DialogTemplate::Find(int controlId) const {
    if (controlId == kNoId) {
        return nullptr;
    }
    auto it = std::find_if(controls.begin(), controls.end(),
                           [&](const ControlTemplate& c) { return c.id == controlId; });
    return it == controls.end() ? nullptr : &*it;
}

std::optional<DialogTemplate> ParseDialog(std::string_view cp932, std::string* error) {
    DialogTemplate d;
    bool seen = false;
    const bool ok =
        ForEachStatement(cp932, error, [&](const std::vector<Word>& w, std::string& why) {
            const std::string& key = w[0].text;
            if (key == "DIALOG") {
                if (seen || w.size() != 4 || !ToInt(w[1], d.id) || !ToInt(w[2], d.cx) ||
                    !ToInt(w[3], d.cy) || d.cx <= 0 || d.cy <= 0) {
                    why = "DIALOG needs id, cx, cy once";
                    return false;
                }
                seen = true;
                return true;
            }
            if (!seen) {
                why = "DIALOG must come first";
                return false;
            }
            if (key == "TITLE" && w.size() == 2 && w[1].quoted) {
                d.title = w[1].text;
                return true;
            }
            if (key == "FONT" && w.size() == 3 && ToInt(w[1], d.fontPoints) && w[2].quoted &&
                d.fontPoints > 0) {
                d.fontFace = w[2].text;
                return true;
            }
            if (key == "STYLE") {
                for (std::size_t i = 1; i < w.size(); ++i) {
                    const std::optional<std::uint32_t> flag = DialogFlag(w[i].text);
                    if (!flag) {
                        why = "unknown dialog style " + w[i].text;
                        return false;
                    }
                    d.style |= *flag;
                }
                return true;
            }
            if (key == "CONTROL") {
                ControlTemplate c;
                if (!ParseControl(w, c, why)) {
                    return false;
                }
                d.controls.push_back(std::move(c));
                return true;
            }
            why = "unknown or malformed statement " + key;
            return false;
        });
    if (!ok) {
        return std::nullopt;
    }
    if (!seen) {
        if (error) {
            *error = "no DIALOG statement";
        }
        return std::nullopt;
    }
    return d;
}

std::optional<MenuTemplate> ParseMenu(std::string_view cp932, std::string* error) {
    MenuTemplate m;
    bool seen = false;
    const bool ok =
        ForEachStatement(cp932, error, [&](const std::vector<Word>& w, std::string& why) {
            const std::string& key = w[0].text;
            if (key == "MENU") {
                if (seen || w.size() != 2 || !ToInt(w[1], m.id)) {
                    why = "MENU needs an id once";
                    return false;
                }
                seen = true;
                return true;
            }
            if (!seen) {
                why = "MENU must come first";
                return false;
            }
            if (key == "SEPARATOR" && w.size() == 1) {
                m.items.push_back(MenuItem{0, {}, true, false});
                return true;
            }
            MenuItem item;
            if (key == "ITEM" && (w.size() == 3 || (w.size() == 4 && w[3].text == "DEFAULT")) &&
                ToInt(w[1], item.id) && w[2].quoted) {
                item.text = w[2].text;
                item.isDefault = w.size() == 4;
                m.items.push_back(std::move(item));
                return true;
            }
            why = "unknown or malformed statement " + key;
            return false;
        });
    if (!ok) {
        return std::nullopt;
    }
    if (!seen) {
        if (error) {
            *error = "no MENU statement";
        }
        return std::nullopt;
    }
    return m;
}

std::optional<DialogTemplate> LoadDialog(int id, std::string* error) {
    const std::optional<resources::Bytes> bytes = resources::Find("DIALOG", id);
    if (!bytes) {
        if (error) {
            *error = "no DIALOG resource " + std::to_string(id);
        }
        return std::nullopt;
    }
    return ParseDialog(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), error);
}

std::optional<MenuTemplate> LoadMenu(int id, std::string* error) {
    const std::optional<resources::Bytes> bytes = resources::Find("MENU", id);
    if (!bytes) {
        if (error) {
            *error = "no MENU resource " + std::to_string(id);
        }
        return std::nullopt;
    }
    return ParseMenu(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                     error);
}

std::string FontFamily(std::string_view face) {
    // Only the Western sans faces have a close match everywhere; all else needs Japanese glyphs.
    if (face == "Arial" || face == "Helvetica" || face == "DejaVu Sans") {
        return std::string(face);
    }
    return "Noto Sans CJK JP";
}

int DialogXToPixels(int x, const FontMetrics& font) {
    return static_cast<int>((static_cast<long long>(x) * font.avgCharWidth + 2) / 4);
}

int DialogYToPixels(int y, const FontMetrics& font) {
    return static_cast<int>((static_cast<long long>(y) * font.charHeight + 4) / 8);
}

Rect DialogToPixels(const Rect& units, const FontMetrics& font) {
    return Rect{DialogXToPixels(units.x, font), DialogYToPixels(units.y, font),
                DialogXToPixels(units.cx, font), DialogYToPixels(units.cy, font)};
}

}  // namespace platform::ui

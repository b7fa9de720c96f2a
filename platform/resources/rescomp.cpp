// zr-rescomp: compiles a resource manifest into an assembler file that links every resource
// into the program (texts converted to code page 932 with CR LF line ends) and a C++ file that
// registers them with platform::resources at start-up.
//
// usage: zr-rescomp <manifest> <source-base> <out-dir> <name>
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Item {
    std::string type;
    int number = 0;
    std::string bytes;  // converted content; empty for binary items
    fs::path file;      // binary items are linked straight from their file
    bool binary = false;
    std::size_t size = 0;
};

[[noreturn]] void die(const std::string& where, const std::string& what) {
    std::cerr << "zr-rescomp: " << where << ": " << what << "\n";
    std::exit(1);
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        die(p.string(), "cannot open");
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string toCp932(const std::string& utf8, const std::string& where) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        die(where, "iconv has no CP932");
    }
    std::string out(utf8.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* dst = out.data();
    std::size_t outLeft = out.size();
    if (iconv(cd, &in, &inLeft, &dst, &outLeft) == static_cast<std::size_t>(-1)) {
        std::size_t at = utf8.size() - inLeft;
        iconv_close(cd);
        die(where, "not convertible to CP932 at byte " + std::to_string(at));
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

// Line ends become CR LF whatever the source uses, so the embedded text has one form.
std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

std::string unescape(const std::string& s, const std::string& where) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) {
            die(where, "dangling backslash");
        }
        switch (s[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                die(where, std::string("unknown escape \\") + s[i]);
        }
    }
    return out;
}

// A string table: "<id><TAB><text>" lines, '#' comments; one STRING resource per id.
void addStrings(const fs::path& p, std::vector<Item>& items) {
    std::istringstream in(readFile(p));
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string where = p.string() + ":" + std::to_string(lineNo);
        auto tab = line.find('\t');
        if (tab == std::string::npos) {
            die(where, "expected <id><TAB><text>");
        }
        Item it;
        it.type = "STRING";
        it.number = std::atoi(line.substr(0, tab).c_str());
        if (it.number <= 0) {
            die(where, "bad id");
        }
        for (const Item& other : items) {
            if (other.type == "STRING" && other.number == it.number) {
                die(where, "duplicate id " + std::to_string(it.number));
            }
        }
        it.bytes = toCp932(unescape(line.substr(tab + 1), where), where);
        it.size = it.bytes.size();
        items.push_back(std::move(it));
    }
}

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: zr-rescomp <manifest> <source-base> <out-dir> <name>\n";
        return 2;
    }
    const fs::path manifest = argv[1];
    const fs::path base = argv[2];
    const fs::path outDir = argv[3];
    const std::string name = argv[4];

    std::vector<Item> items;
    std::istringstream in(readFile(manifest));
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::istringstream fields(line);
        std::string type, number, kind, path, opt;
        if (!(fields >> type) || type[0] == '#') {
            continue;
        }
        std::string where = manifest.string() + ":" + std::to_string(lineNo);
        if (!(fields >> number >> kind >> path)) {
            die(where, "expected <TYPE> <number> <kind> <path> [max=N]");
        }
        long max = -1;
        while (fields >> opt) {
            if (opt.rfind("max=", 0) == 0) {
                max = std::atol(opt.c_str() + 4);
            } else {
                die(where, "unknown option " + opt);
            }
        }
        fs::path file = fs::path(path).is_absolute() ? fs::path(path) : base / path;
        if (kind == "strings") {
            addStrings(file, items);
            continue;
        }
        Item it;
        it.type = upper(type);
        it.number = std::atoi(number.c_str());
        if (kind == "text") {
            it.bytes = toCp932(crlf(readFile(file)), file.string());
            it.size = it.bytes.size();
        } else if (kind == "binary") {
            std::error_code ec;
            it.size = fs::file_size(file, ec);
            if (ec) {
                die(file.string(), ec.message());
            }
            it.file = fs::absolute(file);
            it.binary = true;
        } else {
            die(where, "unknown kind " + kind);
        }
        if (max >= 0 && it.size > static_cast<std::size_t>(max)) {
            die(file.string(),
                std::to_string(it.size) + " bytes, more than the limit of " + std::to_string(max));
        }
        items.push_back(std::move(it));
    }

    fs::create_directories(outDir);
    std::ofstream s(outDir / (name + ".S"));
    std::ofstream c(outDir / (name + ".cpp"));
    s << "/* generated by zr-rescomp from " << manifest.string() << " */\n"
      << "\t.section .rodata\n";
    c << "// generated by zr-rescomp from " << manifest.string() << "\n"
      << "#include \"platform/resources/resources.h\"\n\n"
      << "extern \"C\" {\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string sym = "zr_res_" + name + "_" + std::to_string(i);
        s << "\t.balign 16\n\t.globl " << sym << "\n\t.hidden " << sym << "\n" << sym << ":\n";
        if (items[i].binary) {
            s << "\t.incbin \"" << items[i].file.string() << "\"\n";
        } else {
            for (std::size_t b = 0; b < items[i].bytes.size(); ++b) {
                s << (b % 32 == 0 ? "\t.byte " : ",")
                  << static_cast<unsigned>(static_cast<unsigned char>(items[i].bytes[b]));
                if (b % 32 == 31 || b + 1 == items[i].bytes.size()) {
                    s << "\n";
                }
            }
        }
        s << "\t.byte 0\n";  // a terminator past the counted size, for readers of C strings
        c << "extern const unsigned char " << sym << "[];\n";
    }
    s << "\t.section .note.GNU-stack,\"\",@progbits\n";
    c << "}\n\nnamespace {\nconst platform::resources::Entry kEntries[] = {\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        c << "    {\"" << items[i].type << "\", " << items[i].number << ", zr_res_" << name << "_"
          << i << ", " << items[i].size << "u},\n";
    }
    c << "};\n"
      << "[[maybe_unused]] const bool kRegistered = (platform::resources::Register(kEntries, "
         "sizeof kEntries / "
         "sizeof kEntries[0]), true);\n"
      << "}  // namespace\n";
    if (!s || !c) {
        die(outDir.string(), "cannot write output");
    }
    return 0;
}

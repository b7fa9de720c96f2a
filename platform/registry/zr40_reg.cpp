// zr40-reg: looks at and changes a state store, for support staff and tests.
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/resources/resources.h"

namespace reg = platform::registry;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStore = 3;

constexpr const char* kHelp =
    "Usage: zr40-reg [STORE] COMMAND [ARGS]\n"
    "  or:  zr40-reg --help | --version\n"
    "Look at and change a state store of the ZR-40 update system.\n"
    "\n"
    "STORE (default: the current user's store; ZR40_ROOT relocates every store):\n"
    "  --machine          the machine store\n"
    "  --profile ID       another user's store by profile id (uid-1000)\n"
    "  --file PATH        the store in PATH\n"
    "\n"
    "COMMAND (KEY is a backslash path such as 'Software\\Norvale\\ZR40UpReg'):\n"
    "  list KEY                         subkeys and values of KEY\n"
    "  read KEY NAME                    one value\n"
    "  write-string KEY NAME TEXT [--no-zero]\n"
    "                                   TEXT (UTF-8) stored in code page 932, with its\n"
    "                                   terminating zero unless --no-zero; creates KEY\n"
    "  write-dword KEY NAME NUMBER      a 32-bit value (decimal or 0x hex); creates KEY\n"
    "  delete-value KEY NAME            one value, deleted\n"
    "  delete-key KEY                   KEY with all its subkeys\n"
    "  dump [KEY]                       every key and value below KEY (default: all)\n"
    "\n"
    "Strings are shown as UTF-8; bytes without a code-page-932 form as \\xNN, with the stored\n"
    "length and whether a terminating zero is stored. The empty value name is written \"\".\n"
    "\n"
    "Exit status: 0 done, 1 key or value not found, 2 usage error, 3 store failure (busy,\n"
    "damaged, not writable).\n"
    "\n"
    "Options:\n"
    "  --help             display this help and exit\n"
    "  --version          output version information and exit\n";

int Usage(const std::string& text) {
    std::fprintf(stderr, "zr40-reg: %s (see zr40-reg --help)\n", text.c_str());
    return kExitUsage;
}

int Failed(const reg::Error& e) {
    std::fprintf(stderr, "zr40-reg: %s\n", e.text.c_str());
    switch (e.kind) {
        case reg::Kind::kOk:
            return kExitOk;
        case reg::Kind::kNotFound:
            return kExitNotFound;
        case reg::Kind::kBadArgument:
            return kExitUsage;
        default:
            return kExitStore;
    }
}

class Converter {
  public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (Ok()) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts what it can; a byte it cannot take is handed to `bad` and skipped. False when
    // the converter is missing.
    template <typename Bad>
    bool Run(std::string_view in, std::string& out, Bad bad) {
        if (!Ok()) {
            return false;
        }
        char* src = const_cast<char*>(in.data());
        std::size_t left = in.size();
        while (left > 0) {
            char buf[256];
            char* dst = buf;
            std::size_t room = sizeof buf;
            const std::size_t r = iconv(m_cd, &src, &left, &dst, &room);
            out.append(buf, static_cast<std::size_t>(dst - buf));
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                bad(static_cast<unsigned char>(*src), out);
                ++src;
                --left;
                iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return true;
    }

  private:
    iconv_t m_cd;
};

std::string Hex(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", c);
    return text;
}

// Code page 932 bytes as UTF-8; backslash, quote, control and unconvertible bytes escaped.
std::string ShowText(std::string_view bytes) {
    std::string out;
    std::string plain;
    auto flush = [&] {
        Converter cv("UTF-8", "CP932");
        cv.Run(plain, out, [](unsigned char c, std::string& o) { o += Hex(c); });
        plain.clear();
    };
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == '"' || c < 0x20 || c == 0x7F) {
            flush();
            out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : Hex(c);
        } else {
            plain += ch;
        }
    }
    flush();
    return out;
}

// A key path with its separators as they are and each name shown as text.
std::string ShowKey(std::string_view key) {
    std::string out;
    for (std::size_t sep; (sep = key.find('\\')) != std::string_view::npos;
         key.remove_prefix(sep + 1)) {
        out += ShowText(key.substr(0, sep)) + "\\";
    }
    return out + ShowText(key);
}

std::string ShowValue(const reg::NamedValue& nv) {
    std::string line = nv.name.empty() ? "\"\"" : ShowText(nv.name);
    const auto& v = nv.value;
    if (v.type == reg::ValueType::kDword) {
        char text[48];
        std::snprintf(text, sizeof text, " = dword 0x%08X (%u)", v.dword, v.dword);
        return line + text;
    }
    const bool zero = !v.bytes.empty() && v.bytes.back() == '\0';
    std::string_view shown(v.bytes);
    if (zero) {
        shown.remove_suffix(1);
    }
    return line + " = string \"" + ShowText(shown) + "\" (" + std::to_string(v.bytes.size()) +
           " bytes, " + (zero ? "zero stored" : "no zero") + ")";
}

reg::Error List(reg::Txn& t, const std::string& key) {
    auto subkeys = t.Subkeys(key);
    if (!subkeys.ok()) {
        return subkeys.error();
    }
    auto values = t.Values(key);
    if (!values.ok()) {
        return values.error();
    }
    for (const auto& name : subkeys.value()) {
        std::printf("%s\\\n", ShowText(name).c_str());
    }
    for (const auto& nv : values.value()) {
        std::printf("%s\n", ShowValue(nv).c_str());
    }
    return {};
}

reg::Error Dump(reg::Txn& t, const std::string& key) {
    std::printf("[%s]\n", ShowKey(key).c_str());
    auto values = t.Values(key);
    if (!values.ok()) {
        return values.error();
    }
    for (const auto& nv : values.value()) {
        std::printf("  %s\n", ShowValue(nv).c_str());
    }
    auto subkeys = t.Subkeys(key);
    if (!subkeys.ok()) {
        return subkeys.error();
    }
    for (const auto& name : subkeys.value()) {
        if (reg::Error e = Dump(t, key.empty() ? name : key + "\\" + name); !e.ok()) {
            return e;
        }
    }
    return {};
}

bool ParseDword(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text[0] == '-') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

int Run(std::vector<std::string> args) {
    std::optional<reg::Location> location;
    while (!args.empty() && args[0].starts_with("--")) {
        const std::string opt = args[0];
        args.erase(args.begin());
        if (opt == "--help") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (opt == "--version") {
            std::fputs(platform::resources::VersionText("zr40-reg").c_str(), stdout);
            return kExitOk;
        }
        if (location) {
            return Usage("more than one store given");
        }
        if (opt == "--machine") {
            location = reg::MachineStore();
        } else if ((opt == "--profile" || opt == "--file") && !args.empty()) {
            if (opt == "--file") {
                location = reg::FileStore(args[0]);
            } else {
                auto found = reg::ProfileStore(args[0]);
                if (!found.ok()) {
                    return Failed(found.error());
                }
                location = found.value();
            }
            args.erase(args.begin());
        } else {
            return Usage("unknown or incomplete option " + opt);
        }
    }
    if (args.empty()) {
        return Usage("no command");
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    reg::Store store(location ? *location : reg::CurrentUserStore());
    auto want = [&](std::size_t n) { return args.size() == n; };
    reg::Error e;
    if (cmd == "list" && want(1)) {
        e = store.Read([&](reg::Txn& t) { return List(t, args[0]); });
    } else if (cmd == "dump" && args.size() <= 1) {
        e = store.Read([&](reg::Txn& t) { return Dump(t, args.empty() ? "" : args[0]); });
    } else if (cmd == "read" && want(2)) {
        auto value = store.GetValue(args[0], args[1]);
        if (!value.ok()) {
            return Failed(value.error());
        }
        std::printf("%s\n", ShowValue(reg::NamedValue{args[1], value.value()}).c_str());
    } else if (cmd == "write-string" && (want(3) || (want(4) && args[3] == "--no-zero"))) {
        std::string bytes;
        bool convertible = true;
        Converter cv("CP932", "UTF-8");
        if (!cv.Run(args[2], bytes, [&](unsigned char, std::string&) { convertible = false; }) ||
            !convertible) {
            return Usage("the text has a character without a code-page-932 form");
        }
        const auto zero = want(4) ? reg::Zero::kNotStored : reg::Zero::kStored;
        e = store.Write([&](reg::Txn& t) {
            auto created = t.CreateKey(args[0]);
            return created.ok() ? t.SetString(args[0], args[1], bytes, zero) : created.error();
        });
    } else if (cmd == "write-dword" && want(3)) {
        std::uint32_t value = 0;
        if (!ParseDword(args[2], value)) {
            return Usage("not a 32-bit number: " + args[2]);
        }
        e = store.Write([&](reg::Txn& t) {
            auto created = t.CreateKey(args[0]);
            return created.ok() ? t.SetDword(args[0], args[1], value) : created.error();
        });
    } else if (cmd == "delete-value" && want(2)) {
        e = store.DeleteValue(args[0], args[1]);
    } else if (cmd == "delete-key" && want(1)) {
        e = store.DeleteKey(args[0]);
    } else {
        return Usage("unknown command or wrong arguments: " + cmd);
    }
    return e.ok() ? kExitOk : Failed(e);
}

}  // namespace

int main(int argc, char** argv) {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}

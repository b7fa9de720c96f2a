#include "sim/server/Options.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace sim::server {
namespace {

std::optional<int> Number(std::string_view text, int low, int high) {
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

bool Apply(Options& options, const std::string& name, const std::string& value, std::string& error);

bool ReadScript(Options& options, const std::string& file, std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read " + file;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string name, value;
        if (!(words >> name) || name.starts_with('#')) {
            continue;
        }
        std::getline(words >> std::ws, value);
        if (name.starts_with("--")) {
            name.erase(0, 2);
        }
        if (name == "script" || !Apply(options, name, value, error)) {
            error = file + ": " + (error.empty() ? "a script cannot name a script" : error);
            return false;
        }
    }
    return true;
}

bool Apply(Options& options, const std::string& name, const std::string& value,
           std::string& error) {
    auto answers = [&](std::vector<Answer>& into) {
        auto parsed = ParseAnswers(value);
        if (parsed) {
            into = std::move(*parsed);
        }
        return parsed.has_value();
    };
    bool ok = true;
    if (name == "port") {
        auto port = Number(value, 0, 65535);
        ok = port.has_value();
        options.port = port.value_or(0);
    } else if (name == "log") {
        options.log = value;
    } else if (name == "script") {
        return ReadScript(options, value, error);
    } else if (name == "notify") {
        ok = answers(options.notify);
    } else if (name == "version") {
        ok = answers(options.version);
    } else if (name == "download") {
        ok = answers(options.download);
    } else if (name == "version-file") {
        options.versionFile = value;
    } else if (name == "ver-date") {
        options.verDate = value;
    } else if (name == "ver-name") {
        options.verName = value;
    } else if (name == "chunked") {
        ok = value.empty() || value == "1" || value == "0";
        options.chunked = value != "0";
    } else if (name == "chunk-size") {
        auto size = Number(value, 1, 1 << 20);
        ok = size.has_value();
        options.chunkSize = static_cast<std::size_t>(size.value_or(1));
    } else if (name == "tls-cert") {
        options.tlsCert = value;
    } else if (name == "tls-key") {
        options.tlsKey = value;
    } else {
        error = "unknown option " + name;
        return false;
    }
    if (!ok) {
        error = "bad value for " + name + ": " + value;
    }
    return ok;
}

}  // namespace

std::optional<std::vector<Answer>> ParseAnswers(const std::string& text) {
    std::vector<Answer> answers;
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        Answer answer;
        if (item == "drop") {
            answer.kind = Answer::Kind::Drop;
        } else if (item == "stall") {
            answer.kind = Answer::Kind::Stall;
        } else {
            const auto at = item.find('@');
            auto status = Number(std::string_view(item).substr(0, at), 100, 599);
            auto delay = at == std::string::npos
                             ? std::optional<int>(0)
                             : Number(std::string_view(item).substr(at + 1), 0, 3600000);
            if (!status || !delay) {
                return std::nullopt;
            }
            answer.status = *status;
            answer.delayMs = *delay;
        }
        answers.push_back(answer);
    }
    if (answers.empty()) {
        return std::nullopt;
    }
    return answers;
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--chunked") {
            options.chunked = true;
            continue;
        }
        if (!name.starts_with("--")) {
            error = "unexpected argument " + name;
            return std::nullopt;
        }
        name.erase(0, 2);
        std::string value;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            error = "missing value for --" + name;
            return std::nullopt;
        }
        if (!Apply(options, name, value, error)) {
            return std::nullopt;
        }
    }
    if (options.tlsCert.empty() != options.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return std::nullopt;
    }
    return options;
}

}  // namespace sim::server

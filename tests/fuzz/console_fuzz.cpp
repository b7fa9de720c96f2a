// The console host's input lines: arbitrary bytes piped to a console host that asks Yes/No
// boxes until the input ends, and arbitrary lines against a dialog's numbered choices.
//
// The host answers each box with the next "y"/"n" line (CR LF or LF, a last line without its
// line end counting too), asks again after any other line and says No once the input has ended;
// what it shows is exactly that exchange. A choice is taken only from
// a line that is the decimal number of one.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/ConsoleHost.h"

namespace ui = platform::ui;

namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// The lines the host reads from the input.
std::vector<std::string_view> InputLines(std::string_view input) {
    std::vector<std::string_view> lines;
    while (!input.empty()) {
        const auto lf = input.find('\n');
        std::string_view line = input.substr(0, lf);
        input.remove_prefix(lf == std::string_view::npos ? input.size() : lf + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
    }
    return lines;
}

void Choices(std::string_view line, int choices) {
    const int choice = ui::ChoiceInLine(line, choices);
    const bool digits = !line.empty() && line.find_first_not_of("0123456789") == line.npos;
    if (choice == 0) {
        // A line of digits is turned away only when its number is no choice.
        if (digits && line.size() < 9) {
            const int number = std::stoi(std::string(line));
            Check(number < 1 || number > choices);
        }
        return;
    }
    Check(digits && choice >= 1 && choice <= choices);
    Check(ui::ChoiceInLine(std::to_string(choice), choices) == choice);
    Check(line.substr(line.find_first_not_of('0')) == std::to_string(choice));
}

// What the host wrote to `fd` from `from` on.
std::string Shown(int fd, off_t from) {
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::pread(fd, buffer, sizeof buffer, from)) > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
        from += n;
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The whole input goes into the pipe before the host reads: it must fit.
    if (size > 60000) {
        return 0;
    }
    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (std::string_view line : InputLines(input)) {
        Choices(line, 1 + static_cast<int>(line.size() % 12));
    }

    // A session at the terminal is a few answers; the host gets the first lines (of any length:
    // a long one spans several reads), as every further line costs it a write and a read.
    constexpr std::size_t kHostLines = 8;
    std::size_t end = 0;
    for (std::size_t n = 0; n < kHostLines && end < input.size(); ++n) {
        const auto lf = input.find('\n', end);
        end = lf == std::string_view::npos ? input.size() : lf + 1;
    }
    input = input.substr(0, end);
    const std::vector<std::string_view> lines = InputLines(input);

    // One file for all that is shown, emptied now and then; each input's part is read back.
    static const int shown = ::memfd_create("console_fuzz", MFD_CLOEXEC);
    static off_t start = 0;
    if (start > (1 << 20)) {
        Check(::ftruncate(shown, 0) == 0 && ::lseek(shown, 0, SEEK_SET) == 0);
        start = 0;
    }
    int pipe[2];
    Check(::pipe2(pipe, O_CLOEXEC) == 0);
    Check(::write(pipe[1], input.data(), input.size()) == static_cast<ssize_t>(input.size()));
    ::close(pipe[1]);

    ui::ConsoleHost host(pipe[0], shown);
    ui::MessageBoxRequest box;
    box.caption = "c";
    box.text = "t";
    box.buttons = ui::MbButtons::YesNo;
    std::string expected;
    auto ask = [&] {
        expected += "c\n    t\n    (y/n)\n";
        return host.MessageBox(box);
    };
    int answer = ask();
    for (std::string_view line : lines) {
        const int wanted = ui::YesNoInLine(line);
        if (wanted == 0) {
            Check(line != "y" && line != "Y" && line != "n" && line != "N");
            expected += "    (y/n)\n";
            continue;
        }
        Check(answer == wanted);
        expected += wanted == ui::IDYES ? "    -> Yes\n" : "    -> No\n";
        answer = ask();
    }
    // The end of the input: No.
    Check(answer == ui::IDNO);
    expected += "    -> No (input closed)\n";
    ::close(pipe[0]);
    const std::string transcript = Shown(shown, start);
    start += static_cast<off_t>(transcript.size());
    Check(transcript == expected);
    return 0;
}

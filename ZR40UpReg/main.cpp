// ZR40_UpManager: the update manager. Its command line is kept whole for the application
// (/minimize); only --help and --version are answered here, for the manual page and for support.
#include <cstdio>
#include <string>
#include <string_view>

#include "ZR40UpReg/ZR40UpRegApp.h"
#include "platform/resources/resources.h"
#include "platform/ui/qt/QtHost.h"

namespace {

constexpr const char* kHelp =
    "Usage: ZR40_UpManager [/minimize]\n"
    "Send the ZR-40's update records to the carrier's update server and check daily for\n"
    "newer firmware, from a tray icon.\n"
    "\n"
    "The update tool ZR40_SWUpdate installs the manager and starts it; every user's\n"
    "session starts it at logon, hidden in the tray. One runs per user; a second start\n"
    "ends silently.\n"
    "\n"
    "Options:\n"
    "  /minimize      start hidden: only the tray icon shows\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n";

}  // namespace

int main(int argc, char** argv) {
    if (const auto answered =
            platform::resources::AnswerHelpOrVersion(argc, argv, "ZR40_UpManager", kHelp)) {
        return *answered;
    }
    platform::ui::qt::RegisterQtHost();
    std::string strCmdLine;
    for (int i = 1; i < argc; ++i) {
        strCmdLine += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    return CZR40UpRegApp(strCmdLine).Run();
}

// ZR40_SWUpdate: the update tool. Takes no arguments; everything it needs is embedded or kept in
// the user's state store. Only --help and --version are answered, for the manual page and for
// support; anything else is ignored as before.
#include <cstdio>
#include <string_view>

#include "Loader/app/LoaderApp.h"
#include "Loader/app/LoaderDlg.h"
#include "platform/resources/resources.h"
#include "platform/ui/qt/QtHost.h"

namespace {

constexpr const char* kHelp =
    "Usage: ZR40_SWUpdate\n"
    "Update the firmware of the ZR-40 USB LTE modem and register the update with the\n"
    "carrier's update server.\n"
    "\n"
    "The tool needs root for the device and the system. A user starts it from the\n"
    "application menu, or in a terminal with\n"
    "\n"
    "    pkexec " ZR_TOOL_INSTALLED_PATH
    "\n"
    "\n"
    "It takes no arguments. It looks for exactly one ZR-40, shows its firmware version and\n"
    "the new one, writes the firmware when asked, waits for the device to come back with\n"
    "the new version, installs the update manager ZR40_UpManager and hands it the update\n"
    "record. An update interrupted after the write resumes at the next logon or when the\n"
    "tool is started again.\n"
    "\n"
    "Options:\n"
    "      --help     display this help and exit\n"
    "      --version  output version information and exit\n";

}  // namespace

int main(int argc, char** argv) {
    if (const auto answered =
            platform::resources::AnswerHelpOrVersion(argc, argv, "ZR40_SWUpdate", kHelp)) {
        return *answered;
    }
    platform::ui::qt::RegisterQtHost();
    CLoaderApp app([](CLoaderStart& start) {
        CLoaderDlg dialog(start);
        dialog.DoModal();
    });
    app.AppInitialize();
    return 0;
}

// STAND-IN, not the real program. ZR40_UpMng_ui belongs to another product; the update tool only
// copies it and names it in the uninstall entry. This program takes its place (and the manager's
// while the manager is not built) so that the installation can run in tests and the demo. It says
// what it is and, when ZR40_STANDIN_OUT names a file, writes its user id, window hint, user
// interface settings and arguments there.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    const std::string name = std::filesystem::path(argv[0]).filename().string();
    std::printf("%s: a stand-in for the program of this name, which is not part of this system\n",
                name.c_str());
    const char* out = std::getenv("ZR40_STANDIN_OUT");
    if (out == nullptr || *out == '\0') {
        return 0;
    }
    const std::string file = out;
    {
        std::ofstream text(file + ".tmp");
        const auto value = [](const char* variable) {
            const char* v = std::getenv(variable);
            return v != nullptr ? v : "(unset)";
        };
        text << "program=" << name << "\nuid=" << ::geteuid() << "\nshow=" << value("ZR40_SHOW")
             << "\nui=" << value("ZR40_UI") << "\nui_script=" << value("ZR40_UI_SCRIPT") << "\n";
        for (int i = 1; i < argc; ++i) {
            text << "arg=" << argv[i] << "\n";
        }
    }
    // Whole or not at all for whoever waits for it.
    std::filesystem::rename(file + ".tmp", file);
    return 0;
}

#include <string>

#include "ZR40UpReg/ZR40UpRegApp.h"
#include "platform/ui/qt/QtHost.h"

int main(int argc, char** argv) {
    platform::ui::qt::RegisterQtHost();
    std::string strCmdLine;
    for (int i = 1; i < argc; ++i) {
        strCmdLine += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    return CZR40UpRegApp(strCmdLine).Run();
}

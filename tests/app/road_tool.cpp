// ZR40_SWUpdate as shipped, except that the loader script named by ZR40_TEST_SCRIPT, when set,
// is laid over the embedded one, so that a whole road takes seconds.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "Loader/app/LoaderApp.h"
#include "Loader/app/LoaderDlg.h"
#include "platform/resources/resources.h"

int main() {
    std::string text;
    if (const char* path = std::getenv("ZR40_TEST_SCRIPT")) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    std::optional<platform::resources::ScopedResource> laid;
    if (!text.empty()) {
        laid.emplace("INI", 145,
                     std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    CLoaderApp app([](CLoaderStart& start) {
        CLoaderDlg dialog(start);
        dialog.DoModal();
    });
    app.AppInitialize();
    return 0;
}

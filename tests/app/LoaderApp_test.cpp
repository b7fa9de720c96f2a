// The tool's start-up against the simulator: each check's box as the user sees it, and what the
// main dialog is handed.
#include "Loader/app/LoaderApp.h"

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/app/SecondaryDlgs.h"
#include "Loader/app/StateStore.h"
#include "platform/kernel/Event.h"
#include "platform/resources/resources.h"
#include "platform/ui/ScriptedHost.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace ui = platform::ui;

// The line the scripted host records for a start-up box.
[[maybe_unused]] std::string BoxLine(int nId, const char* icon) {
    return CComString(std::string(platform::resources::LoadString(nId)).c_str()).ToUtf8() + "|" +
           icon;
}

class LoaderStart : public ::testing::Test {
  protected:
    LoaderStart() { ui::SetHost(&host); }
    ~LoaderStart() override { ui::SetHost(nullptr); }

    void Device(std::vector<std::string> args) {
        sim = std::make_unique<devsim_test::DevSim>(simDir.Path(), std::move(args));
        ASSERT_EQ(sim->NextLine(), "ready");
        catalog.emplace("ZR40_DEVICE_CATALOG", sim->Catalog().c_str());
    }

    void Start() {
        CLoaderApp app([this](CLoaderStart& start) { handed = start; }, clock, {},
                       platform::registry::FileStore(root.Path() / "user.db"));
        EXPECT_FALSE(app.AppInitialize());
    }

    // The boxes shown, as "<text>|<icon>", in order.
    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& line : host.Record()) {
            if (line.starts_with("messagebox")) {
                boxes.push_back(line);
            }
        }
        return boxes;
    }

    CStateStore Store() { return CStateStore(platform::registry::FileStore(root.Path() / "user.db")); }

    testsupport::TempDir root;
    testsupport::TempDir simDir;
    testsupport::ScopedEnv rootVar{"ZR40_ROOT", root.Path().c_str()};
    testsupport::ScopedEnv osVar{"ZR40_OS_VERSION", "6.1"};
    std::optional<testsupport::ScopedEnv> catalog;
    testsupport::ManualClock clock;
    ui::ScriptedHost host{clock};
    std::unique_ptr<devsim_test::DevSim> sim;
    std::optional<CLoaderStart> handed;
};

TEST_F(LoaderStart, DumpRecord) {
    Device({});
    host.Press(IDD_ATTENTION, ui::IDOK);
    Start();
    std::fprintf(stderr, "%s\n", host.RecordText().c_str());
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->strDeviceVersion.Str(), "Ver1.00");
}

}  // namespace

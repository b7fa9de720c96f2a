// ModemManager asked to leave the device alone, against a fake ModemManager on a private bus.
#include "Loader/app/MmInhibit.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/FakeModemManager.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Calls = testsupport::FakeModemManager::Calls;

constexpr char kOurs[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
constexpr char kOtherMakers[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";

class MmInhibit : public ::testing::Test {
  protected:
    MmInhibit() {
        for (const auto& [device, vendor, product] :
             {std::tuple{kOurs, "1d7a", "3c52"}, std::tuple{kOtherMakers, "1199", "9071"}}) {
            const fs::path dir = root_.Path() / (device + 1);
            fs::create_directories(dir);
            std::ofstream(dir / "idVendor") << vendor << "\n";
            std::ofstream(dir / "idProduct") << product << "\n";
        }
    }

    void Serve() {
        service_ = std::make_unique<testsupport::BusService>(bus_.Address(),
                                                             [this](sd_bus* b) { fake_.Serve(b); });
        ASSERT_TRUE(service_->Ok());
    }

    Calls TakeCalls() { return fake_.TakeCalls(); }

    testsupport::TempDir root_;
    testsupport::ScopedEnv rootVar_{"ZR40_ROOT", root_.Path().c_str()};
    testsupport::PrivateBus bus_;
    testsupport::ScopedEnv systemBus_{"DBUS_SYSTEM_BUS_ADDRESS", bus_.Address().c_str()};
    testsupport::FakeModemManager fake_{{kOtherMakers, kOurs}};
    std::unique_ptr<testsupport::BusService> service_;
};

TEST_F(MmInhibit, OnlyTheDevicesModemIsInhibitedAndReleasedOnceWhenTheObjectGoes) {
    Serve();
    {
        CMmInhibit inhibit;
        EXPECT_EQ(inhibit.Inhibited(), std::vector<std::string>{kOurs});
        EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}}));
    }
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, false}}));

    CMmInhibit early;
    early.Release();
    early.Release();
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}, {kOurs, false}}));
}

// ModemManager restarted while the tool works forgets the inhibition and would probe the ports
// at once: it is asked again as soon as its name has an owner again.
TEST_F(MmInhibit, ARestartedModemManagerIsAskedAgain) {
    Serve();
    CMmInhibit inhibit;
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}}));
    service_->Run(testsupport::FakeModemManager::Restart);
    EXPECT_TRUE(fake_.WaitForCall(std::chrono::seconds(30)));
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, true}}));
    inhibit.Release();
    EXPECT_EQ(TakeCalls(), (Calls{{kOurs, false}}));
    EXPECT_EQ(inhibit.Renewals(), 1);
}

TEST_F(MmInhibit, WithoutModemManagerThereIsNothingToDo) {
    CMmInhibit found;
    EXPECT_TRUE(found.Inhibited().empty());
    CMmInhibit named({kOurs});
    EXPECT_TRUE(named.Inhibited().empty());
    testsupport::ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    CMmInhibit noSystemBus({kOurs});
    EXPECT_TRUE(noSystemBus.Inhibited().empty());
}

}  // namespace

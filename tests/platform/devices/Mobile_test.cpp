#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/devices/Catalog.h"
#include "platform/mobile/Mobile.h"
#include "tests/platform/devices/TempTree.h"
#include "tests/support/TempDir.h"

namespace mob = platform::mobile;
using testsupport::TempDir;
using testtree::ReplaceFile;
using testtree::ScopedEnv;
using testtree::WriteFile;

namespace {

const std::string kDevice = "{6A1D5C2E-0000-4000-8000-1D7A3C520001}";

const std::string kCatalog =
    "Net\tMIRATO_ZEDA\\VID_1D7A&PID_3C52&NETIF\tNetCfgInstanceId=" + kDevice +
    "\n"
    "Mbn\t{OTHER}\tRegisterState=4\tFirmware=X1\tDeviceId=1\tConnectionState=1\n"
    "Mbn\t" +
    kDevice +
    "\tRegisterState=3\tFirmware=Ver1.23\tDeviceId=356789012345678\t"
    "ConnectionState=0\n"
    "Mbn\tBARE\n"
    "Mbn\tJUNK\tRegisterState=home\tConnectionState=1x\n"
    "Mbn\t" +
    kDevice +
    "\tRegisterState=5\n"
    "DialUp\tOffice VPN\tDeviceName=WAN Miniport (PPTP)\n"
    "DialUp\tZR40 接続\tDeviceName=mirato ZR40 USB Modem\n"
    "DialUp\tNoDevice\n";

class MobileCatalog : public ::testing::Test {
  protected:
    void SetUp() override { WriteFile(file_, kCatalog); }
    TempDir dir_;
    std::filesystem::path file_ = dir_.Path() / "catalog.txt";
    std::unique_ptr<mob::MobileBroadband> mbn_ = mob::Catalog(file_);
};

}  // namespace

TEST_F(MobileCatalog, InterfacesInOrderAndTheFirstOfAnIdAnswers) {
    EXPECT_EQ(mbn_->InterfaceIds(),
              (std::vector<std::string>{"{OTHER}", kDevice, "BARE", "JUNK", kDevice}));
    EXPECT_EQ(mbn_->RegisterState(kDevice), mob::kRegisterHome);
    EXPECT_EQ(mbn_->RegisterState("{OTHER}"), mob::kRegisterRoaming);
}

TEST_F(MobileCatalog, StatesAndCaps) {
    EXPECT_EQ(mbn_->ConnectionState(kDevice), 0);
    EXPECT_EQ(mbn_->ConnectionState("{OTHER}"), mob::kConnectionActivated);
    const auto caps = mbn_->DeviceCaps(kDevice);
    ASSERT_TRUE(caps.has_value());
    EXPECT_EQ(caps->firmware, "Ver1.23");
    EXPECT_EQ(caps->deviceId, "356789012345678");

    // An interface without the values still answers, with empty texts but no states.
    const auto bare = mbn_->DeviceCaps("BARE");
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->firmware + bare->deviceId, "");
    EXPECT_EQ(mbn_->RegisterState("BARE"), std::nullopt);
    EXPECT_EQ(mbn_->ConnectionState("BARE"), std::nullopt);
    // A state that is not a number is no state.
    EXPECT_EQ(mbn_->RegisterState("JUNK"), std::nullopt);
    EXPECT_EQ(mbn_->ConnectionState("JUNK"), std::nullopt);
    // Ids compare exactly.
    EXPECT_EQ(mbn_->RegisterState("{6a1d5c2e-0000-4000-8000-1d7a3c520001}"), std::nullopt);
    EXPECT_EQ(mbn_->ConnectionState("UNKNOWN"), std::nullopt);
    EXPECT_EQ(mbn_->DeviceCaps("UNKNOWN"), std::nullopt);
}

TEST_F(MobileCatalog, DialUpEntriesInOrder) {
    const auto entries = mbn_->ActiveDialUps();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].entryName, "Office VPN");
    EXPECT_EQ(entries[0].deviceName, "WAN Miniport (PPTP)");
    EXPECT_EQ(entries[1].entryName, "ZR40 接続");
    EXPECT_EQ(entries[1].deviceName, "mirato ZR40 USB Modem");
    EXPECT_EQ(entries[2].entryName, "NoDevice");
    EXPECT_EQ(entries[2].deviceName, "");
}

TEST_F(MobileCatalog, EveryQueryReadsTheCurrentFile) {
    ReplaceFile(file_, "Mbn\t" + kDevice + "\tRegisterState=2\n");
    EXPECT_EQ(mbn_->RegisterState(kDevice), mob::kRegisterSearching);
    EXPECT_TRUE(mbn_->ActiveDialUps().empty());
    ReplaceFile(file_, "Mbn\t" + kDevice + "\tRegisterState=3\tConnectionState=1\n" +
                           "DialUp\tZR40\tDeviceName=mirato ZR40 USB Modem\n");
    EXPECT_EQ(mbn_->RegisterState(kDevice), mob::kRegisterHome);
    EXPECT_EQ(mbn_->ConnectionState(kDevice), mob::kConnectionActivated);
    EXPECT_EQ(mbn_->ActiveDialUps().size(), 1u);

    std::filesystem::remove(file_);
    EXPECT_TRUE(mbn_->InterfaceIds().empty());
    EXPECT_EQ(mbn_->RegisterState(kDevice), std::nullopt);
    EXPECT_EQ(mbn_->DeviceCaps(kDevice), std::nullopt);
    EXPECT_TRUE(mbn_->ActiveDialUps().empty());
}

TEST_F(MobileCatalog, FactoryUsesTheCatalogueOnlyWhenTheVariableIsSet) {
    {
        ScopedEnv env(platform::devices::kCatalogVariable, file_.c_str());
        const auto service = mob::Create();
        EXPECT_EQ(service->RegisterState(kDevice), mob::kRegisterHome);
        EXPECT_EQ(service->ActiveDialUps().size(), 3u);
    }
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv env(platform::devices::kCatalogVariable, value);
        const auto service = mob::Create();
        EXPECT_TRUE(service->InterfaceIds().empty());
        EXPECT_EQ(service->RegisterState(kDevice), std::nullopt);
        EXPECT_EQ(service->DeviceCaps(kDevice), std::nullopt);
        EXPECT_EQ(service->ConnectionState(kDevice), std::nullopt);
        EXPECT_TRUE(service->ActiveDialUps().empty());
    }
}

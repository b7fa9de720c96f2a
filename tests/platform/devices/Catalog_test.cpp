#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/devices/Catalog.h"
#include "platform/devices/Devices.h"
#include "tests/platform/devices/TempTree.h"
#include "tests/support/TempDir.h"

namespace dev = platform::devices;
using testsupport::TempDir;
using testtree::ReplaceFile;
using testtree::ScopedEnv;
using testtree::WriteFile;

namespace {

template <typename T>
std::vector<std::string> Ids(const std::vector<T>& items) {
    std::vector<std::string> ids;
    for (const auto& item : items) {
        if constexpr (std::is_same_v<T, dev::DeviceInfo>) {
            ids.push_back(item.hardwareId);
        } else {
            ids.push_back(item.id);
        }
    }
    return ids;
}

const std::string kUpdate = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE";
const std::string kModem = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM";

// Two devices, interleaved with records of other kinds.
constexpr char kTwoDevices[] =
    "# written by the simulator\n"
    "Ports\tMIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE\tPortName=/tmp/zr40sim/ttyZR40_UPDATE\n"
    "Modem\tMIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM\tPortName=ttyACM0\tDriverVersion=1.0.8.0\n"
    "Mbn\t{6A1D5C2E-0000-4000-8000-1D7A3C520001}\tRegisterState=3\n"
    "Usb\tsomething\tWhatever=1\n"
    "Net\tMIRATO_ZEDA\\VID_1D7A&PID_3C52&NETIF\tNetCfgInstanceId={6A1D}\n"
    "Ports\tACPI\\PNP0501\tPortName=ttyS0\n"
    "Process\tZR40_ConnectionSoft.exe\n"
    "Ports\tMIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE\tPortName=ttyACM3\n";

class CatalogFile : public ::testing::Test {
  protected:
    TempDir dir_;
    std::filesystem::path file_ = dir_.Path() / "catalog.txt";
};

}  // namespace

TEST_F(CatalogFile, KeepsFileOrderAndFiltersByClass) {
    WriteFile(file_, kTwoDevices);
    const auto backend = dev::Catalog(file_);

    const auto ports = backend->PresentDevices(dev::SetupClass::Ports);
    EXPECT_EQ(Ids(ports), (std::vector<std::string>{kUpdate, "ACPI\\PNP0501", kUpdate}));
    EXPECT_EQ(ports[0].PortName(), "/tmp/zr40sim/ttyZR40_UPDATE");
    EXPECT_EQ(ports[0].DriverVersion(), std::nullopt);
    EXPECT_EQ(ports[2].PortName(), "ttyACM3");
    const auto modem = backend->PresentDevices(dev::SetupClass::Modem);
    ASSERT_EQ(Ids(modem), std::vector<std::string>{kModem});
    EXPECT_EQ(modem[0].DriverVersion(), "1.0.8.0");
    const auto net = backend->PresentDevices(dev::SetupClass::Net);
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0].NetCfgInstanceId(), "{6A1D}");
}

TEST_F(CatalogFile, FindDevicesMatchesPartOfTheIdWithCase) {
    WriteFile(file_,
              "Ports\tUSB\\MIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE&REV_01\tPortName=ttyACM1\n"
              "Ports\tmirato_zeda\\vid_1d7a&pid_3c52&update\tPortName=ttyACM2\n"
              "Ports\tMIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM\tPortName=ttyACM3\n");
    const auto found = dev::FindDevices(*dev::Catalog(file_), dev::SetupClass::Ports, kUpdate);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].PortName(), "ttyACM1");
}

TEST(CatalogParse, Properties) {
    const auto records = dev::ParseCatalog(
        "DialUp\tZR40 接続\tDeviceName=mirato ZR40 USB Modem\tNote=a=b==c\tEmpty=\n"
        "Ports\tX\tPortName=ttyACM1\tPortName=ttyACM9\n");
    ASSERT_EQ(records.size(), 2u);
    const auto& r = records[0];
    EXPECT_EQ(r.kind, "DialUp");
    EXPECT_EQ(r.id, "ZR40 接続");
    EXPECT_EQ(r.Property("DeviceName"), "mirato ZR40 USB Modem");
    EXPECT_EQ(r.Property("Note"), "a=b==c");  // everything after the first '='
    EXPECT_EQ(r.Property("Empty"), "");
    EXPECT_EQ(r.Property("Missing"), std::nullopt);
    EXPECT_EQ(records[1].Property("PortName"), "ttyACM1");  // the first of a repeated name
}

TEST(CatalogParse, CommentsBlankLinesAndLineEnds) {
    const auto records = dev::ParseCatalog(
        "\xEF\xBB\xBFPorts\tA\tPortName=ttyACM0\r\n"
        "# comment\n"
        "#Ports\tHIDDEN\n"
        "\n\n"
        "Modem\tB\tPortName=ttyACM1");  // last line without LF
    ASSERT_EQ(Ids(records), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(records[0].kind, "Ports");                    // the byte-order mark is dropped
    EXPECT_EQ(records[0].Property("PortName"), "ttyACM0");  // and so is the CR
    EXPECT_EQ(records[1].Property("PortName"), "ttyACM1");
}

TEST(CatalogParse, MalformedLinesAreSkippedAndTheRestIsRead) {
    using namespace std::string_literals;
    const auto records = dev::ParseCatalog(
        "Ports\tGOOD1\tPortName=ttyACM0\n"
        "Ports\n"                                // no TAB
        "Ports MODEM PortName=ttyACM1\n"         // spaces, not TABs
        "Ports\t\tPortName=ttyACM2\n"            // empty id
        "\tNOKIND\tPortName=ttyACM3\n"           // empty kind
        "Ports\tNOEQ\tPortName\n"                // property without '='
        "Ports\tNONAME\t=ttyACM4\n"              // property without a name
        "Ports\tTRAILING\tPortName=ttyACM5\t\n"  // a trailing TAB is harmless
        "\x00\x01\xff\t\t=\n\t\n\xfe\xfe\n"
        "Ports\tGOOD2\n"s);
    ASSERT_EQ(Ids(records), (std::vector<std::string>{"GOOD1", "TRAILING", "GOOD2"}));
    EXPECT_EQ(records[1].Property("PortName"), "ttyACM5");
    EXPECT_TRUE(records[2].properties.empty());
}

TEST_F(CatalogFile, IsReadAgainAfterEveryReplacement) {
    WriteFile(file_, kTwoDevices);
    const auto backend = dev::Catalog(file_);
    EXPECT_EQ(dev::FindDevices(*backend, dev::SetupClass::Ports, kUpdate).size(), 2u);

    // The update port re-enumerates as the boot loader: gone, then back under a new name.
    ReplaceFile(file_, "Modem\t" + kModem + "\tPortName=ttyACM0\n");
    EXPECT_TRUE(backend->PresentDevices(dev::SetupClass::Ports).empty());
    ReplaceFile(file_, "Ports\t" + kUpdate + "\tPortName=ttyACM7\n");
    const auto ports = backend->PresentDevices(dev::SetupClass::Ports);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].PortName(), "ttyACM7");
}

TEST_F(CatalogFile, WhatIsNotARegularFileMeansNoDevices) {
    EXPECT_TRUE(dev::Catalog(file_)->PresentDevices(dev::SetupClass::Ports).empty());
    EXPECT_TRUE(dev::ReadCatalog(dir_.Path()).empty());
    // A FIFO with no writer would block a plain open for ever.
    const auto fifo = dir_.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(dev::ReadCatalog(fifo).empty());
    // Random bytes would hold plenty of lines that parse as records.
    EXPECT_TRUE(dev::ReadCatalog("/dev/urandom").empty());
}

TEST_F(CatalogFile, HugeFileIsReadUpToTheLimitWithoutACutRecord) {
    std::string text = "Ports\tFIRST\n";
    text += "Ports\tLONGLINE\tPortName=" + std::string(dev::kCatalogMaxLine, 'x') + "\n";
    text += "Ports\tSECOND\n";
    // Comment lines up to a few bytes before the limit, so that the next record straddles it.
    while (text.size() < dev::kCatalogMaxBytes - 10) {
        const std::size_t room = dev::kCatalogMaxBytes - 10 - text.size();
        text += "#" + std::string(std::min<std::size_t>(room, 999), '-') + "\n";
    }
    text += "Ports\tCUT_WOULD_BE_A_DIFFERENT_ID\n";
    text += "Ports\tBEYOND\n";
    WriteFile(file_, text);

    EXPECT_EQ(Ids(dev::ReadCatalog(file_)), (std::vector<std::string>{"FIRST", "SECOND"}));
}

TEST_F(CatalogFile, TheEnvironmentVariableSelectsTheCatalogue) {
    WriteFile(file_, kTwoDevices);
    {
        ScopedEnv env(dev::kCatalogVariable, file_.c_str());
        EXPECT_EQ(dev::FindDevices(dev::SetupClass::Ports, kUpdate).size(), 2u);
        EXPECT_EQ(Ids(dev::PresentDevices(dev::SetupClass::Modem)),
                  std::vector<std::string>{kModem});
        ReplaceFile(file_, "");  // looked at on every call, not once
        EXPECT_TRUE(dev::PresentDevices(dev::SetupClass::Modem).empty());
    }
    WriteFile(file_, kTwoDevices);
    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv env(dev::kCatalogVariable, value);
        EXPECT_EQ(dev::CatalogFromEnvironment(), std::nullopt);
        // Sysfs instead, where no device carries the catalogue's port names.
        for (const auto& d : dev::PresentDevices(dev::SetupClass::Ports)) {
            EXPECT_NE(d.PortName(), "/tmp/zr40sim/ttyZR40_UPDATE");
        }
    }
}

// Command line of zr40-devsim: the device it plays and the faults it injects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/imagegen/ImageLayout.h"

namespace sim::devsim {

// Service area the modem reports ("AT@FCMINFO=1" and the Mobile Broadband registration).
enum class Area { Home, Roaming, None, Empty };

enum class FaultKind { Error, NoAck, LateAck, Unplug, DoubleAck, FinishError, Stall };

// A fault bound to one frame of one module's download (frame 1 is the image header frame), or
// for FinishError to the finish command after that module's download (frame 0). Each fires
// once, the first time that frame arrives.
struct FrameFault {
    FaultKind kind = FaultKind::Error;
    const image::Module* module = nullptr;
    std::uint32_t frame = 0;
    std::int32_t code = 0;      // Error: the code answered
    std::uint32_t delayMs = 0;  // LateAck: the delay
    std::uint32_t bytes = 0;    // Stall: bytes of the frame taken before the device stalls
    bool fired = false;
};

// The driver version the update tool counts as current.
inline constexpr const char* kCurrentDriverVersion = "1.0.8.0";
inline constexpr const char* kOutdatedDriverVersion = "1.0.7.0";

struct Options {
    std::string dir;
    std::string catalog;  // empty: <dir>/catalog.txt
    std::string frameLog;
    std::uint32_t reenumMs = 3000;
    std::uint32_t flashMsPerBlock = 0;
    std::optional<std::uint32_t> eraseMsPerBlock;  // unset: flashMsPerBlock
    // Quiet time after which the boot loader drops a frame it has only part of; 0: never.
    std::uint32_t frameGapMs = 500;
    std::string version = "Ver1.00";
    std::string newVersion = "Ver1.01";
    std::string gen = "QUORVEN V07R22C 110805";
    std::string dateCode = "110414";
    std::string newDateCode;  // empty: the build date at the end of gen
    std::string serial = "358741050123456";
    std::string moduleVersions[3] = {"LTEL1_017", "C_L2_F_030", "C_L3_001"};  // C_L1..C_L3
    std::string driverVersion = kCurrentDriverVersion;
    std::string netId = "{6A1D5C2E-0000-4000-8000-1D7A3C520001}";
    bool echo = true;
    Area area = Area::Home;
    bool silentModem = false;
    bool noModem = false;
    bool busy = false;
    bool connectionSoft = false;
    bool dataCall = false;
    std::uint32_t garbage = 0;
    std::vector<FrameFault> frameFaults;
    std::vector<const image::Module*> badSum;
    bool help = false;
    // A USB gadget instead of pseudo-terminals (see Gadget.h).
    bool gadget = false;
    std::string gadgetUdc;
    bool gadgetUpdateFirst = false;

    std::string CatalogPath() const { return catalog.empty() ? dir + "/catalog.txt" : catalog; }
    // The date code the device reports once it runs the version named by gen.
    std::string NewDateCode() const;
};

// Parses argv[1..argc-1]. Returns 1, or 0 with a one-line reason in error.
int ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);

// The --help text.
std::string UsageText();

// A module by its image name (C_PS, C_L1, ...) or by its checksum name (C_LM1, C_LM2).
const image::Module* FindModuleByAnyName(std::string_view name);

}  // namespace sim::devsim

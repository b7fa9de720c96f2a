// zr40-loader: service command of the update tool. For now it shows what the tool carries:
// the loader script as the engine will read it and the embedded firmware images.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "Loader/common/ComFile.h"
#include "Loader/common/ProductInfo.h"
#include "Loader/device/ImageWalker.h"
#include "Loader/script/ParamFile.h"
#include "platform/resources/resources.h"

namespace {

void usage() {
    std::puts(
        "usage: zr40-loader --show [section]\n"
        "  --show [section]  list the rows of a section of the embedded loader script\n"
        "                    (default GLOBAL) and the embedded firmware images");
}

int showScript(const CComString& strSection) {
    CParamFile script;
    if (!script.LoadParamSection("Loader_Update")) {
        std::fprintf(stderr, "zr40-loader: the embedded loader script cannot be read\n");
        return 1;
    }
    int nRows = script.GetParamKeySize(strSection);
    std::printf("Loader script, section [%s]: %d rows\n", strSection.ToUtf8().c_str(), nRows);
    for (int i = 0; i < nRows; ++i) {
        CComString strKey = script.GetParamKeyText(strSection, i);
        CComString strValue = script.GetParamValueText(strSection, i);
        std::printf("  %3d  %s=%s\n", i + 1, strKey.ToUtf8().c_str(), strValue.ToUtf8().c_str());
    }
    return nRows > 0 ? 0 : 1;
}

int showImages() {
    CParamFile sums;
    sums.LoadParamSection("Loader_Sum");
    std::printf("\nEmbedded firmware images:\n");
    std::printf("  %-7s %4s %10s %6s %8s %7s %8s\n", "module", "res", "bytes", "frames", "largest",
                "command", "data sum");
    int failures = 0;
    for (const CComModuleEntry& row : kComModuleTable) {
        if (std::strcmp(row.name, "end") == 0) {
            break;
        }
        auto image = platform::resources::Find("DATA", static_cast<int>(row.resource));
        if (!image) {
            std::printf("  %-7s %4u  missing\n", row.name, row.resource);
            ++failures;
            continue;
        }
        frames::CImageWalker walker(*image);
        frames::ImageFrame frame;
        std::size_t nFrames = 0;
        std::uint32_t largest = 0;
        std::uint32_t sum = 0;
        std::uint8_t command[2] = {0, 0};
        while (walker.Next(frame)) {
            if (nFrames++ == 0) {
                command[0] = frame.command[0];
                command[1] = frame.command[1];
            } else {
                for (std::uint8_t b : walker.Payload(frame)) {
                    sum += b;
                }
            }
            largest = std::max(largest, frame.length);
        }
        if (walker.Error() != frames::WalkError::kNone) {
            std::printf("  %-7s %4u  broken at offset %zu: %s\n", row.name, row.resource,
                        walker.ErrorOffset(), frames::WalkErrorText(walker.Error()));
            ++failures;
            continue;
        }
        std::printf("  %-7s %4u %10zu %6zu %8u    %02X%02X   0x%04X\n", row.name, row.resource,
                    image->size(), nFrames, largest, command[0], command[1], sum & 0xFFFFu);
    }
    int nSums = sums.GetParamKeySize("SUM");
    std::printf("\nSum table [SUM]:");
    for (int i = 0; i < nSums; ++i) {
        std::printf("%s %s=%s", i % 6 == 0 ? "\n " : "", sums.GetParamKeyText("SUM", i).GetString(),
                    sums.GetParamValueText("SUM", i).GetString());
    }
    std::printf("\n");
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--show") != 0) {
        usage();
        return argc < 2 ? 0 : 2;
    }
    CComProductInfo info;
    std::printf("ZR40_SWUpdate %s  %s\n", info.Get("ProductVersion").ToUtf8().c_str(),
                info.Get("LegalCopyright").ToUtf8().c_str());
    CComString strSection = argc > 2 ? CComString::FromUtf8(argv[2]) : CComString("GLOBAL");
    int rc = showScript(strSection);
    rc |= showImages();
    return rc;
}

// zr40-imagegen <outdir>: writes the 13 firmware images QRV_<module>.cvt into <outdir>.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "sim/imagegen/ImageGen.h"

namespace {

// Written under a temporary name and renamed, so that an interrupted run never leaves a
// short image that the build would take for a finished one.
bool WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::path tmp = path;
    tmp += ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "zr40-imagegen: %s: %s\n", tmp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    int err = ok ? 0 : errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    std::error_code ec;
    if (ok) {
        std::filesystem::rename(tmp, path, ec);
        if (ec) {
            std::fprintf(stderr, "zr40-imagegen: %s: %s\n", path.c_str(), ec.message().c_str());
            ok = false;
        }
    } else {
        std::fprintf(stderr, "zr40-imagegen: %s: %s\n", tmp.c_str(), std::strerror(err));
    }
    if (!ok) {
        std::filesystem::remove(tmp, ec);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: zr40-imagegen <outdir>\n");
        return 2;
    }
    std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "zr40-imagegen: %s: %s\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    for (const sim::image::Module& module : sim::image::kModules) {
        std::vector<std::uint8_t> image = sim::image::BuildImage(module);
        if (image.empty()) {
            std::fprintf(stderr, "zr40-imagegen: no layout fits module %.*s\n",
                         static_cast<int>(module.name.size()), module.name.data());
            return 1;
        }
        if (!WriteFile(dir / module.FileName(), image)) {
            return 1;
        }
    }
    return 0;
}

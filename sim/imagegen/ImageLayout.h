// Layout of the generated firmware images (QRV_<module>.cvt) and how the device reads them.
//
// An image is DB frames laid end to end, nothing before, between or after them:
//
//   offset 0  "DB" (0x44 0x42)
//          2  command word: 0x28 0x01, or 0x2A 0x01 for the two modules erased with 0x2A 0x05
//          4  total frame length, unsigned 32-bit big-endian, the 8 header bytes included
//          8  payload (length - 8 bytes)
//
// Frame 1 is always 21 bytes. Its 13-byte payload is the image header:
//
//   payload 0-2   format tag "CVT" (0x43 0x56 0x54)
//           3     layout version, 1
//           4     area code of the module (the nn of the checksum request nn 09)
//           5-8   start address in flash, big-endian: first erase block * 0x10000
//           9-12  data length, big-endian: the number of data bytes that follow in frames 2..n
//
// Frames 2..n carry data only. The device writes their payloads back to back from the start
// address; the data length equals the sum of their payload sizes, and it never reaches past the
// module's last erase block. A frame is at most 65,560 bytes. Unless a module fixes its frame
// count, data frames are full (65,560 bytes) and the last one takes the rest; a module with a
// fixed count has one full frame first (when the image is big enough) and the rest spread evenly.
//
// Module sum: what the device answers to a checksum request, the 16-bit sum (modulo 65,536) of
// the data-length bytes from the start address, i.e. of the data payloads in order. Erased bytes
// beyond the data are not counted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim::image {

inline constexpr std::size_t kFrameHeaderSize = 8;
inline constexpr std::size_t kInfoPayloadSize = 13;
inline constexpr std::size_t kInfoFrameSize = kFrameHeaderSize + kInfoPayloadSize;
inline constexpr std::size_t kMaxFrameSize = 65560;
inline constexpr std::size_t kMaxDataPerFrame = kMaxFrameSize - kFrameHeaderSize;
inline constexpr std::uint32_t kBlockSize = 0x10000;
inline constexpr std::array<std::uint8_t, 3> kFormatTag = {'C', 'V', 'T'};
inline constexpr std::uint8_t kLayoutVersion = 1;

struct Module {
    std::string_view name;       // file QRV_<name>.cvt
    std::string_view sumKey;     // module name of its checksum row; empty when it has none
    std::uint16_t eraseCommand;  // command word of the erase request, high byte first
    std::uint16_t firstBlock;
    std::uint16_t lastBlock;
    std::uint8_t areaCode;
    std::uint16_t frameCommand;  // command word of every frame of the image
    std::uint32_t imageSize;     // bytes of the whole file
    std::uint16_t sum;           // module sum the device must report
    std::uint32_t frameCount;    // frames of the file including frame 1; 0 = as many as needed

    std::uint32_t StartAddress() const { return std::uint32_t{firstBlock} * kBlockSize; }
    std::uint32_t AreaSize() const {
        return (std::uint32_t{lastBlock} - firstBlock + 1) * kBlockSize;
    }
    std::string FileName() const { return "QRV_" + std::string(name) + ".cvt"; }
};

// In the order the loader script downloads them.
inline constexpr std::array<Module, 13> kModules = {{
    {"C_PS", "C_PS", 0x2805, 0x0037, 0x0037, 0x08, 0x2801, 1984, 0x41F2, 5},
    {"C_MDSP", "C_MDSP", 0x2805, 0x001E, 0x001F, 0x02, 0x2801, 120523, 0x88B7, 0},
    {"C_CDSP", "C_CDSP", 0x2805, 0x0020, 0x0021, 0x03, 0x2801, 84358, 0x95A4, 0},
    {"C_HDSP", "C_HDSP", 0x2805, 0x0022, 0x0022, 0x0D, 0x2801, 53624, 0xE3A5, 0},
    {"C_GDSP", "C_GDSP", 0x2805, 0x0023, 0x0025, 0x0E, 0x2801, 135418, 0x2B0A, 0},
    {"C_VDSP", "C_VDSP", 0x2805, 0x0026, 0x0026, 0x04, 0x2801, 14282, 0xF9B1, 0},
    {"C_EDSP", "C_EDSP", 0x2805, 0x0027, 0x0028, 0x0B, 0x2801, 71853, 0x9BF0, 0},
    {"C_RFIC", "C_RFIC", 0x2805, 0x0029, 0x002A, 0x0F, 0x2801, 105982, 0xEE23, 0},
    {"C_L2", "C_LM2", 0x2805, 0x0038, 0x0038, 0x07, 0x2801, 12204, 0xE1BC, 0},
    {"C_L1", "C_LM1", 0x2805, 0x00D8, 0x0155, 0x01, 0x2801, 7705468, 0x2772, 0},
    {"U_LM", "U_LM", 0x2A05, 0x0160, 0x0164, 0x25, 0x2A01, 324490, 0x09B2, 0},
    {"U_BDSP", "U_BDSP", 0x2A05, 0x0165, 0x016A, 0x26, 0x2A01, 333128, 0x695E, 0},
    {"C_USB", "", 0x2C05, 0x0180, 0x0228, 0x2C, 0x2801, 11038536, 0xDAA1, 239},
}};

inline const Module* FindModule(std::string_view name) {
    for (const Module& m : kModules) {
        if (m.name == name) {
            return &m;
        }
    }
    return nullptr;
}

inline const Module* FindModuleByArea(std::uint8_t areaCode) {
    for (const Module& m : kModules) {
        if (m.areaCode == areaCode) {
            return &m;
        }
    }
    return nullptr;
}

// What frame 1 tells the device.
struct ImageInfo {
    std::uint8_t areaCode = 0;
    std::uint32_t startAddress = 0;
    std::uint32_t dataLength = 0;
};

inline std::uint32_t ReadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

inline void WriteBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

inline std::array<std::uint8_t, kInfoPayloadSize> EncodeInfo(const ImageInfo& info) {
    std::array<std::uint8_t, kInfoPayloadSize> p{};
    p[0] = kFormatTag[0];
    p[1] = kFormatTag[1];
    p[2] = kFormatTag[2];
    p[3] = kLayoutVersion;
    p[4] = info.areaCode;
    WriteBe32(&p[5], info.startAddress);
    WriteBe32(&p[9], info.dataLength);
    return p;
}

// Empty when the payload is not an image header of this layout.
inline std::optional<ImageInfo> DecodeInfo(std::span<const std::uint8_t> payload) {
    if (payload.size() != kInfoPayloadSize || payload[0] != kFormatTag[0] ||
        payload[1] != kFormatTag[1] || payload[2] != kFormatTag[2] ||
        payload[3] != kLayoutVersion) {
        return std::nullopt;
    }
    return ImageInfo{payload[4], ReadBe32(&payload[5]), ReadBe32(&payload[9])};
}

// Same arithmetic as the device: byte sum modulo 65,536.
inline std::uint16_t Sum16(std::span<const std::uint8_t> data, std::uint16_t start = 0) {
    std::uint32_t sum = start;
    for (std::uint8_t b : data) {
        sum += b;
    }
    return static_cast<std::uint16_t>(sum);
}

}  // namespace sim::image

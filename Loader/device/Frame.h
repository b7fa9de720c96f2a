// Frames of the device's boot loader on the update port.
//
// DB frame (both directions): "DB" (0x44 0x42), a two-byte command word in script order
// ("2805" -> 0x28 0x05), the total length as unsigned 32-bit big-endian with the 8 header bytes
// counted, then the payload. HP frame (received only): "HP" (0x48 0x50), 2 opaque bytes, the
// big-endian total length, 8 opaque bytes, payload. D0 frames of the first-stage loader: opcode,
// count, data; the block frame 0xA3 has a 16-bit big-endian count.
//
// Nothing here touches a port: these are the byte layouts and the checks the sender and the
// receiver share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Loader/common/ComString.h"

namespace frames {

inline constexpr std::size_t kDbHeaderSize = 8;
inline constexpr std::size_t kHpHeaderSize = 16;
// The loader takes no frame longer than this (an image frame with 64 KiB of data and its
// headers). Received length fields above it are refused rather than allocated.
inline constexpr std::uint32_t kMaxFrameLength = 65560;

inline constexpr std::uint8_t kDbId0 = 0x44;  // 'D'
inline constexpr std::uint8_t kDbId1 = 0x42;  // 'B'
inline constexpr std::uint8_t kHpId0 = 0x48;  // 'H'
inline constexpr std::uint8_t kHpId1 = 0x50;  // 'P'

// Command word of the loader's error answer.
inline constexpr std::uint8_t kDbErrorWord0 = 0x80;
inline constexpr std::uint8_t kDbErrorWord1 = 0xFF;

// D0 opcodes.
inline constexpr std::uint8_t kD0Enter = 0xA0;
inline constexpr std::uint8_t kD0Poll = 0xA1;
inline constexpr std::uint8_t kD0Size = 0xA2;
inline constexpr std::uint8_t kD0Block = 0xA3;
inline constexpr std::uint8_t kD0Sum = 0xA4;
inline constexpr std::uint8_t kD0Finish = 0xA5;
inline constexpr std::uint8_t kD0Answer0 = 0xB0;
inline constexpr std::uint8_t kD0Answer3 = 0xB3;
inline constexpr std::size_t kD0MaxData = 0xFF;
inline constexpr std::size_t kD0BlockMaxCount = 0xFFFF;  // block number + data

std::uint32_t ReadBe32(const std::uint8_t* p);
void WriteBe32(std::uint8_t* p, std::uint32_t v);
std::uint32_t ReadLe32(const std::uint8_t* p);
void WriteLe32(std::uint8_t* p, std::uint32_t v);

// DB command frame from a DBB_D2_CMD value "id,command,length,payload": id and command as four
// hex digits each, length in decimal (header included), payload as hex pairs. The frame is
// exactly length bytes, zero-filled, so a short payload leaves zeros and a long one is cut.
// Returns 0 and leaves `frame` empty when the length is below 8 or above kMaxFrameLength (a
// missing length field reads as 0).
int BuildDbCommandFrame(const CComString& cstrValue, std::vector<std::uint8_t>& frame);
int BuildDbCommandFrame(const CComStringArray& fields, std::vector<std::uint8_t>& frame);

// D0 block frame: 0xA3, count N (16-bit big-endian) = data + 2, block number (16-bit
// big-endian), data. Returns 0 (frame empty) when N would not fit 16 bits.
int BuildD0BlockFrame(std::uint16_t blockNumber, std::span<const std::uint8_t> data,
                      std::vector<std::uint8_t>& frame);

enum class FrameFamily { kUnknown, kDb, kHp, kD0Answer };

// Family from the first two bytes read. D0 answers are told by their opcode alone (the second
// byte is their count).
FrameFamily IdentifyFrame(std::uint8_t b0, std::uint8_t b1);

// Header bytes to read before the length is known: 8 (DB), 16 (HP), 2 (D0 answer), 0 (unknown).
std::size_t HeaderSize(FrameFamily family);

enum class HeaderVerdict {
    kValid,      // read length - header more bytes and deliver
    kEmpty,      // length 0: the header is consumed and dropped
    kMalformed,  // DB length 1-7, HP length 1-15: the header is dropped
    kTooLong,    // above kMaxFrameLength: the header is dropped, nothing is allocated
    kShort,      // fewer bytes than the family's header, or an unknown family
};

struct HeaderCheck {
    HeaderVerdict verdict = HeaderVerdict::kShort;
    std::uint32_t length = 0;  // total frame length from the header (the count + 2 for D0)
};

// Judges the length of a DB or HP header, or a D0 answer's two bytes. `header` holds at least
// HeaderSize(family) bytes as received.
HeaderCheck CheckHeader(FrameFamily family, std::span<const std::uint8_t> header);

}  // namespace frames

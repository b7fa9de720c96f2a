// The parts of the image download commands and of the first-stage (D0) commands that need no
// thread: the D0 frames by command number, the answer each D0 wait takes, how a memory image is
// cut into blocks, and the texts of the timing lines.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Loader/common/ComString.h"

namespace d0 {

// Command numbers of DBB_D0_CMDFunc.
inline constexpr int kCmdPoll = 0;      // A1 01 00
inline constexpr int kCmdSize = 1;      // A2 08 E5 5B 00 00 size(4)
inline constexpr int kCmdNone = 2;      // nothing
inline constexpr int kCmdSum = 3;       // A4 02 sum(2)
inline constexpr int kCmdSumShort = 4;  // A4 00
inline constexpr int kCmdEnter = 5;     // A0 01 01
inline constexpr int kCmdFinish = 6;    // A5 00

// Wait kinds of Wait_DBB_D0Func.
inline constexpr int kWaitPoll = 0;    // B0, data 00, flag clear
inline constexpr int kWaitBlock = 1;   // B1, data 00 00
inline constexpr int kWaitSum = 2;     // B2, data 00 sum(2)
inline constexpr int kWaitNever = 3;   // B3, never succeeds
inline constexpr int kWaitEnter = 4;   // B0, as kWaitPoll
inline constexpr int kWaitFinish = 5;  // B0, as kWaitPoll

// The frame of a command number; empty for 2 and every number outside 0-6 (nothing is
// written for them). The size goes out big-endian in command 1, the checksum in command 3.
std::vector<std::uint8_t> CommandFrame(int nCommand, std::uint32_t uiImageSize,
                                       std::uint16_t usChecksum);

// The answer opcode a wait kind registers; 0 for a kind outside 0-5 (such a wait fails at once).
std::uint8_t AnswerKey(int nKind);

// Whether the taken record (the answer's data bytes) makes the wait a success. A record shorter
// than the bytes the test reads fails. The checksum compares as the 16-bit value it is, so sums
// of 0x8000 and above match too.
bool AnswerAccepted(int nKind, std::span<const std::uint8_t> record, std::uint16_t usChecksum,
                    int nZeroLedFlag);

// How DBB_SDRAM_File cuts a memory image into A3 block frames.
inline constexpr std::uint32_t kMaxBlockBuffer = 0x77F0;  // 30,704
inline constexpr std::uint32_t kBlockOverhead = 4;        // buffer bytes that are not data

struct CBlockPlan {
    std::uint32_t uiBuffer = 0;     // B: image size + 8, at most 30,704
    std::uint32_t uiBlockData = 0;  // data bytes per block: B - 4 (30,700 at most)
    std::uint32_t uiBlocks = 0;     // blocks of the whole image
};

// 0 when the image is too small to send (B <= 10) or so large that its blocks could not be
// numbered in 16 bits; 1 with the plan otherwise.
int PlanBlocks(std::uint64_t uiImageSize, CBlockPlan& plan);

}  // namespace d0

namespace imagecmd {

// Elapsed whole seconds as "%H:%M:%S" (00:03:27); hours keep counting past 23.
CComString FormatElapsed(std::uint64_t ms);

// The image name the download commands open: [PARAM_FILE] DIR, a backslash, the path field.
CComString ImagePath(const CComString& cstrDir, const CComString& cstrPath);

// "LM_Size=%d".
CComString LmSizeLine(std::uint32_t uiSize);

// The forced-write notice every DBB_LM_File row sends first (code page 932).
CComString ForcedWriteLine();

}  // namespace imagecmd

#include "Loader/script/ImageCommand.h"

#include <algorithm>

#include "Loader/device/Frame.h"

namespace d0 {

std::vector<std::uint8_t> CommandFrame(int nCommand, std::uint32_t uiImageSize,
                                       std::uint16_t usChecksum) {
    const auto hi = static_cast<std::uint8_t>(usChecksum >> 8);
    const auto lo = static_cast<std::uint8_t>(usChecksum & 0xFF);
    switch (nCommand) {
        case kCmdPoll:
            return {frames::kD0Poll, 0x01, 0x00};
        case kCmdSize: {
            std::vector<std::uint8_t> frame = {
                frames::kD0Size, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
            frames::WriteBe32(frame.data() + 6, uiImageSize);
            return frame;
        }
        case kCmdSum:
            return {frames::kD0Sum, 0x02, hi, lo};
        case kCmdSumShort:
            return {frames::kD0Sum, 0x00};
        case kCmdEnter:
            return {frames::kD0Enter, 0x01, 0x01};
        case kCmdFinish:
            return {frames::kD0Finish, 0x00};
        default:
            return {};
    }
}

std::uint8_t AnswerKey(int nKind) {
    switch (nKind) {
        case kWaitPoll:
        case kWaitEnter:
        case kWaitFinish:
            return 0xB0;
        case kWaitBlock:
            return 0xB1;
        case kWaitSum:
            return 0xB2;
        case kWaitNever:
            return 0xB3;
        default:
            return 0;
    }
}

bool AnswerAccepted(int nKind, std::span<const std::uint8_t> record, std::uint16_t usChecksum,
                    int nZeroLedFlag) {
    switch (nKind) {
        case kWaitPoll:
        case kWaitEnter:
        case kWaitFinish:
            return nZeroLedFlag == 0 && record.size() >= 1 && record[0] == 0;
        case kWaitBlock:
            return record.size() >= 2 && record[0] == 0 && record[1] == 0;
        case kWaitSum:
            return record.size() >= 3 && record[0] == 0 &&
                   static_cast<std::uint16_t>(record[1] * 256 + record[2]) == usChecksum;
        default:
            return false;
    }
}

int PlanBlocks(std::uint64_t uiImageSize, CBlockPlan& plan) {
    plan = CBlockPlan{};
    const std::uint64_t buffer = uiImageSize + 8;
    if (buffer <= 10) {
        return 0;
    }
    plan.uiBuffer = static_cast<std::uint32_t>(std::min<std::uint64_t>(buffer, kMaxBlockBuffer));
    plan.uiBlockData = plan.uiBuffer - kBlockOverhead;
    const std::uint64_t blocks = (uiImageSize + plan.uiBlockData - 1) / plan.uiBlockData;
    if (blocks > 0x10000) {
        plan = CBlockPlan{};
        return 0;
    }
    plan.uiBlocks = static_cast<std::uint32_t>(blocks);
    return 1;
}

}  // namespace d0

namespace imagecmd {

CComString FormatElapsed(std::uint64_t ms) {
    const std::uint64_t seconds = ms / 1000;
    return CComString::Formatted("%02llu:%02llu:%02llu",
                                 static_cast<unsigned long long>(seconds / 3600),
                                 static_cast<unsigned long long>(seconds / 60 % 60),
                                 static_cast<unsigned long long>(seconds % 60));
}

CComString ImagePath(const CComString& cstrDir, const CComString& cstrPath) {
    return cstrDir + "\\" + cstrPath;
}

CComString LmSizeLine(std::uint32_t uiSize) {
    return CComString::Formatted("LM_Size=%u", uiSize);
}

CComString ForcedWriteLine() {
    // "***** 書き込みは強制書込みで行います。*****"
    return CComString(
        "***** \x8f\x91\x82\xab\x8d\x9e\x82\xdd\x82\xcd\x8b\xad\x90\xa7\x8f\x91\x8d\x9e\x82\xdd"
        "\x82\xc5\x8d\x73\x82\xa2\x82\xdc\x82\xb7\x81\x42*****");
}

}  // namespace imagecmd

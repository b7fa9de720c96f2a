// DBB_Checksum: the device's 16-bit sum of a module's flash area against the sum table.
#include <array>
#include <cctype>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/device/Response.h"
#include "Loader/script/ExecThread.h"

namespace {

struct AreaEntry {
    char szName[16];
    std::uint8_t bArea;
};

// Searched in this order; the empty name ends it.
constexpr std::array<AreaEntry, 15> kAreaTable = {{
    {"C_LM1", 0x01},
    {"C_LM2", 0x07},
    {"C_PS", 0x08},
    {"C_MDSP", 0x02},
    {"C_CDSP", 0x03},
    {"C_HDSP", 0x0D},
    {"C_GDSP", 0x0E},
    {"C_VDSP", 0x04},
    {"C_NVMF", 0x21},
    {"C_RFIC", 0x0F},
    {"U_LM", 0x25},
    {"U_BDSP", 0x26},
    {"C_CD2", 0x2B},
    {"C_EDSP", 0x0B},
    {"", 0x00},
}};

// Case matters: the module names are written exactly as the table has them.
const AreaEntry* FindArea(const CComString& cstrModule) {
    for (const AreaEntry& entry : kAreaTable) {
        if (entry.szName[0] == '\0') {
            break;
        }
        if (cstrModule == entry.szName) {
            return &entry;
        }
    }
    return nullptr;
}

// "0x" and four hexadecimal digits; anything else gives no sum to compare with.
bool ParseExpectedSum(const CComString& cstrValue, std::uint16_t& usSum) {
    const CComString text = cstrValue.Left(6);
    if (text.GetLength() != 6 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        return false;
    }
    for (int i = 2; i < 6; ++i) {
        if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
            return false;
        }
    }
    std::uint8_t bytes[2] = {0, 0};
    text.Mid(2, 4).HexToBytes(bytes, 2);
    usSum = static_cast<std::uint16_t>(bytes[0] * 256 + bytes[1]);
    return true;
}

}  // namespace

int CLoaderExecThread::DBB_Checksum_Func(CComString cstrValue) {
    const CComStringArray fields = cstrValue.Split(',');
    const CComString module = fields.GetAt(0);
    const int nTimeoutSec = fields.GetAt(1).ToInt();
    static_cast<void>(fields.GetAt(2).ToInt());

    const AreaEntry* pArea = FindArea(module);
    if (pArea == nullptr) {
        StepMessage("   --> " + module + " " + Text("存在しないLM名"), 1);
        return 0;
    }

    std::uint16_t usExpected = 0;
    const CComString sumText =
        m_pSumData != nullptr ? m_pSumData->GetParamValueText("SUM", module) : CComString();
    if (!ParseExpectedSum(sumText, usExpected)) {
        StepMessage(kMsgChecksumError, 0);
        StepMessage(
            "   --> " + module + " " + Text("SUM値の定義がありません") + " [" + sumText + "]", 1);
        return 0;
    }

    // Registered before the request goes out: the answer may come at once.
    const std::uint8_t key[2] = {0x44, 0x42};
    RegisterAnswer(key, 2);
    if (DBB_D2_CMDFunc(CComString::Formatted("4442,%02X09,8", pArea->bArea)) != 1) {
        return 0;
    }
    std::uint16_t usDevice = 0;
    if (GetChecksum(CComString::Formatted("4442,%d", nTimeoutSec), usDevice) != 1) {
        return 0;
    }

    StepMessage("   --> " + Text("PC側 SUM = ") + CComString::Formatted("0x%04X", usExpected), 1);
    StepMessage("   --> " + Text("MS側 SUM = ") + CComString::Formatted("0x%04X", usDevice), 1);
    if (usExpected == usDevice) {
        StepMessage("   --> " + module + " Checksum OK", 1);
        return 1;
    }
    StepMessage("   --> " + module + " Checksum Unmatch", 1);
    StepMessage(kMsgChecksumError, 0);
    StepMessage(CComString(), 1);
    ExecError().ErrContents = kErrChecksum;
    return 0;
}

int CLoaderExecThread::GetChecksum(CComString cstrValue, std::uint16_t& usSum) {
    const CComStringArray fields = cstrValue.Split(',');
    const CComString keyText = fields.GetAt(0);
    std::vector<std::uint8_t> key(static_cast<std::size_t>(keyText.GetLength() / 2));
    keyText.HexToBytes(key.data(), static_cast<int>(key.size()));
    const int nTimeoutSec = fields.GetAt(1).ToInt();

    std::vector<std::uint8_t> record;
    if (WaitAnswerReported(key, nTimeoutSec, kMsgReceiveError, record) != 1) {
        return 0;
    }
    const frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    if (answer.kind == frames::DbAnswerKind::kError) {
        StepMessage(kMsgReceiveError, 0);
        ReportDeviceError(answer, false);
        ExecError().ErrContents = kErrDeviceError;
        return 0;
    }
    if (answer.kind == frames::DbAnswerKind::kInvalid || answer.payload.size() < 2) {
        // An answer without the two sum bytes has nothing to compare.
        StepMessage(kMsgReceiveError, 0);
        StepMessage(
            "   ---> " + CComString::BytesToHex(record.data(), static_cast<int>(record.size())), 1);
        ExecError().ErrContents = kErrWaitFailed;
        return 0;
    }
    usSum = static_cast<std::uint16_t>(answer.payload[0] * 256 + answer.payload[1]);
    return 1;
}

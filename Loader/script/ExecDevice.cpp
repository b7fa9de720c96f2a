// DBB_D1_CMD, DBB_D2_CMD and the answer waits of the loader's DB frames.
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/Frame.h"
#include "Loader/device/Response.h"
#include "Loader/script/ExecThread.h"

namespace {

// "key,seconds[,show]" as a wait takes it.
struct WaitValue {
    std::vector<std::uint8_t> key;
    int nTimeoutSec = 0;
    bool bShow = false;
};

WaitValue ParseWaitValue(const CComString& cstrValue) {
    const CComStringArray fields = cstrValue.Split(',');
    const CComString keyText = fields.GetAt(0);
    WaitValue value;
    value.key.resize(static_cast<std::size_t>(keyText.GetLength() / 2));
    keyText.HexToBytes(value.key.data(), static_cast<int>(value.key.size()));
    value.nTimeoutSec = fields.GetAt(1).ToInt();
    value.bShow = fields.GetSize() >= 3;
    return value;
}

}  // namespace

int CLoaderExecThread::DBB_D1_CMDFunc(CComString /*cstrValue*/) {
    StepMessage(kMsgD1Unsupported, 1);
    return 1;
}

int CLoaderExecThread::DBB_D2_CMDFunc(CComString cstrValue) {
    const CComStringArray fields = cstrValue.Split(',');
    std::vector<std::uint8_t> frame;
    if (frames::BuildDbCommandFrame(fields, frame) != 1) {
        // Below the header's 8 bytes, or longer than the loader takes: nothing is written.
        StepMessage(kMsgCommandFormat, 0);
        StepMessage("   --> DBB_D2_CMD=" + cstrValue, 1);
        ExecError().ErrContents = kErrStartup;
        return 0;
    }
    StepMessage(kMsgD2Command, 1);
    StepMessage(MessageText(kMsgCommandFrame) +
                    CComString::BytesToHex(frame.data(), static_cast<int>(frame.size())),
                1);

    // The loader may answer before the Wait_DBB row has run; its wait must be there first.
    if (!m_strNextWait.IsEmpty()) {
        Wait_DBBFunc2_SetQue(m_strNextWait);
        m_strNextWait.Empty();
    }

    ExecError().ErrContents = kErrWriteFailed;
    const int nWritten = SendToPort(frame.data(), static_cast<std::uint32_t>(frame.size()));
    if (IsStopRequested()) {
        return StopSeen();
    }
    return nWritten == 1 ? 1 : 0;
}

int CLoaderExecThread::WaitAnswerReported(const std::vector<std::uint8_t>& key, int nTimeoutSec,
                                          int nHeadingId, std::vector<std::uint8_t>& record) {
    const int nWait = WaitAnswer(key.data(), static_cast<int>(key.size()), nTimeoutSec, record);
    if (nWait == 1) {
        return 1;
    }
    if (nWait == 0) {
        ReportTimeout(nHeadingId, nTimeoutSec);
    }
    if (nWait != -2) {
        ExecError().ErrContents = kErrWaitFailed;
    }
    return 0;
}

int CLoaderExecThread::TakeDbAnswer(const CComString& cstrValue, int nHeadingId, bool bErrorHeading,
                                    bool bProgress, std::vector<std::uint8_t>& record) {
    const WaitValue value = ParseWaitValue(cstrValue);
    if (WaitAnswerReported(value.key, value.nTimeoutSec, nHeadingId, record) != 1) {
        return 0;
    }
    if (bProgress && m_pOwnerDlg != nullptr) {
        m_pOwnerDlg->PostProgress();
    }
    const frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    if (answer.kind == frames::DbAnswerKind::kError) {
        ReportDeviceError(answer, bErrorHeading);
        ExecError().ErrContents = kErrDeviceError;
        return 0;
    }
    if (answer.kind == frames::DbAnswerKind::kInvalid) {
        // No status to judge: not an answer of the loader.
        StepMessage(kMsgReceiveError, 0);
        StepMessage(
            "   ---> " + CComString::BytesToHex(record.data(), static_cast<int>(record.size())), 1);
        ExecError().ErrContents = kErrWaitFailed;
        return 0;
    }
    if (value.bShow) {
        StepMessage(kMsgDataReceived, 1);
        StepMessage(MessageText(kMsgData) +
                        CComString::BytesToHex(record.data(), static_cast<int>(record.size())),
                    1);
    }
    return 1;
}

int CLoaderExecThread::Wait_DBBFunc(CComString cstrValue) {
    std::vector<std::uint8_t> record;
    return TakeDbAnswer(cstrValue, kMsgReadError, true, false, record);
}

void CLoaderExecThread::Wait_DBBFunc2_SetQue(CComString cstrValue) {
    const WaitValue value = ParseWaitValue(cstrValue);
    RegisterAnswer(value.key.data(), static_cast<int>(value.key.size()));
}

int CLoaderExecThread::Wait_DBBFunc2_Wait(CComString cstrValue) {
    std::vector<std::uint8_t> record;
    return TakeDbAnswer(cstrValue, kMsgReadError, true, true, record);
}

int CLoaderExecThread::GetDBBVersion(CComString cstrValue, CComString& cstrVersion) {
    const WaitValue value = ParseWaitValue(cstrValue);
    std::vector<std::uint8_t> record;
    if (WaitAnswerReported(value.key, value.nTimeoutSec, kMsgReceiveError, record) != 1) {
        return 0;
    }
    const frames::DbAnswer answer = frames::ClassifyDbRecord(record);
    if (answer.kind == frames::DbAnswerKind::kError) {
        ReportDeviceError(answer, false);
        ExecError().ErrContents = kErrDeviceError;
        return 0;
    }
    if (answer.kind == frames::DbAnswerKind::kInvalid) {
        StepMessage(kMsgReceiveError, 0);
        ExecError().ErrContents = kErrWaitFailed;
        return 0;
    }
    for (std::uint8_t byte : answer.payload) {
        cstrVersion += static_cast<char>(byte);
    }
    return 1;
}

// The first-stage loader's D0 commands, their answers and the sequences built from them.
//
// Every answer is registered before the frame it answers is written: the receive thread drops
// an answer nobody waits for, and the first stage answers as soon as it has the frame.
#include <cstdint>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/script/ExecThread.h"
#include "Loader/script/ImageCommand.h"
#include "Loader/script/SRecord.h"

namespace {

enum class D0Outcome { kAccepted, kRejected, kTimeout, kStopped, kFailed };

// Wait_DBB_D0Func with the reason it ended.
D0Outcome WaitD0(CLoaderExecThread& thread, int nKind, int nWaitTime, std::uint16_t usChecksum) {
    const std::uint8_t key = d0::AnswerKey(nKind);
    if (key == 0) {
        return D0Outcome::kFailed;
    }
    std::vector<std::uint8_t> record;
    // A wait time of 0 or less looks once: only an answer already delivered is taken.
    switch (thread.WaitAnswer(&key, 1, nWaitTime > 0 ? nWaitTime : 0, record)) {
        case 1:
            break;
        case 0:
            thread.ReportTimeout(kMsgReceiveError, nWaitTime);
            ExecError().ErrContents = kErrWaitFailed;
            return D0Outcome::kTimeout;
        case -2:
            return D0Outcome::kStopped;
        default:
            ExecError().ErrContents = kErrWaitFailed;
            return D0Outcome::kFailed;
    }
    return d0::AnswerAccepted(nKind, record, usChecksum, GetZeroLedAnswerFlag())
               ? D0Outcome::kAccepted
               : D0Outcome::kRejected;
}

// Registers the answer of the wait kind, writes the command, takes the answer.
D0Outcome Exchange(CLoaderExecThread& thread, int nCommand, int nKind, int nWaitTime,
                   std::uint16_t usChecksum = 0) {
    const std::uint8_t key = d0::AnswerKey(nKind);
    thread.RegisterAnswer(&key, 1);
    if (thread.DBB_D0_CMDFunc(nCommand, nWaitTime, usChecksum) != 1) {
        return D0Outcome::kFailed;
    }
    return WaitD0(thread, nKind, nWaitTime, usChecksum);
}

int Result(D0Outcome outcome) {
    return outcome == D0Outcome::kAccepted ? 1 : 0;
}

}  // namespace

int CLoaderExecThread::DBB_D0_CMDFunc(int Command, int /*Wait_Time*/, unsigned short checksum) {
    const std::uint64_t size =
        GetInitData() != nullptr ? srecord::ReadAddressWindow(*GetInitData()).Size() : 0;
    const std::vector<std::uint8_t> frame =
        d0::CommandFrame(Command, static_cast<std::uint32_t>(size), checksum);
    StepMessage(MessageText(kMsgCommandFrame) +
                CComString::BytesToHex(frame.data(), static_cast<int>(frame.size())));
    static const std::uint8_t kNothing = 0;
    const int sent = SendToPort(frame.empty() ? &kNothing : frame.data(),
                                static_cast<std::uint32_t>(frame.size()));
    if (IsStopRequested()) {
        StopSeen();
    }
    return sent;
}

int CLoaderExecThread::Wait_DBB_D0Func(int Command, int Wait_Time, short checksum) {
    return Result(WaitD0(*this, Command, Wait_Time, static_cast<std::uint16_t>(checksum)));
}

int CLoaderExecThread::D0Poll(int nWaitTime) {
    return Result(Exchange(*this, d0::kCmdPoll, d0::kWaitPoll, nWaitTime));
}

int CLoaderExecThread::D0StartSequence(int nWaitTime) {
    if (Exchange(*this, d0::kCmdEnter, d0::kWaitEnter, nWaitTime) != D0Outcome::kAccepted) {
        return 0;
    }
    // The first poll after entering the loading mode is answered by a frame that starts with
    // 0x00; the flag makes the receive thread take it as a B0 answer, which this poll then
    // consumes (and, the flag being set, rejects). The next poll gets a proper answer.
    SetZeroLedAnswerFlag(1);
    D0Poll(nWaitTime);
    SetZeroLedAnswerFlag(0);
    if (D0Poll(nWaitTime) != 1) {
        return 0;
    }
    return Result(Exchange(*this, d0::kCmdSize, d0::kWaitBlock, nWaitTime));
}

int CLoaderExecThread::D0FinishSequence(unsigned short usChecksum, int nWaitTime) {
    if (D0Poll(nWaitTime) != 1) {
        return 0;
    }
    const D0Outcome sum = Exchange(*this, d0::kCmdSum, d0::kWaitSum, nWaitTime, usChecksum);
    if (sum != D0Outcome::kAccepted) {
        // The device answered with another sum (or refused ours): the images differ.
        if (sum == D0Outcome::kRejected) {
            ExecError().ErrContents = kErrChecksum;
        }
        return 0;
    }
    return Result(Exchange(*this, d0::kCmdFinish, d0::kWaitFinish, nWaitTime));
}

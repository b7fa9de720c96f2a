#include "Loader/device/LoaderThread.h"

#include <utility>

#include "Loader/common/ParamFile.h"
#include "Loader/device/Frame.h"
#include "Loader/device/LoaderOwner.h"
#include "Loader/device/PortManage.h"
#include "Loader/device/QueManage.h"
#include "Loader/device/Response.h"
#include "platform/kernel/Clock.h"

namespace {

using platform::kernel::Event;

std::atomic<int> g_nZeroLedAnswer{0};

}  // namespace

void SetZeroLedAnswerFlag(int nFlag) {
    g_nZeroLedAnswer.store(nFlag);
}

int GetZeroLedAnswerFlag() {
    return g_nZeroLedAnswer.load();
}

// ---------------------------------------------------------------------------------------------
// CLoaderThread

int CLoaderThread::CreateKillEvent(const CComString& cstrSuffix) {
    std::shared_ptr<Event> event =
        Event::Named((kKillEventPrefix + cstrSuffix).View(), true, false);
    // A name that existed may still be set from the last run.
    event->Reset();
    platform::kernel::CriticalSectionLock lock(m_eventLock);
    m_pKillEvent = std::move(event);
    return 1;
}

std::shared_ptr<Event> CLoaderThread::GetKillEvent() const {
    platform::kernel::CriticalSectionLock lock(m_eventLock);
    return m_pKillEvent;
}

int CLoaderThread::ExitInstance() {
    {
        platform::kernel::CriticalSectionLock lock(m_eventLock);
        m_pKillEvent.reset();
    }
    return WorkerThread::ExitInstance();
}

// ---------------------------------------------------------------------------------------------
// CLoaderReadThread

int CLoaderReadThread::CreateReadEvent() {
    std::shared_ptr<Event> event = Event::Named(kReadEventName, false, false);
    event->Reset();
    platform::kernel::CriticalSectionLock lock(m_readEventLock);
    m_pReadEvent = std::move(event);
    return 1;
}

std::shared_ptr<Event> CLoaderReadThread::GetReadEvent() const {
    platform::kernel::CriticalSectionLock lock(m_readEventLock);
    return m_pReadEvent;
}

int CLoaderReadThread::Run() {
    const int nWaitTime =
        m_pInitData != nullptr ? m_pInitData->GetParamValueText("SYSTEM", "WaitTime").ToInt() : 0;
    if (nWaitTime < 0) {
        if (m_pOwnerDlg != nullptr) {
            m_pOwnerDlg->ShowErrorBox(kMsgSystemError);
            m_pOwnerDlg->StopThreads(this);
        }
        PostQuit(kLoaderThreadExitCode);
        return RunMessageLoop();
    }
    const auto waitTime = static_cast<std::uint32_t>(nWaitTime);
    const std::shared_ptr<Event> kill = GetKillEvent();
    const std::shared_ptr<Event> read = GetReadEvent();
    m_pClock->SleepMs(waitTime);
    while (kill && !kill->TryConsume()) {
        // The read event is automatic: this test also takes its signal.
        if (read && read->TryConsume()) {
            if (kill->TryConsume()) {
                break;
            }
            // The watcher wakes on the first bytes; a frame the device writes in pieces is
            // usually complete a moment later, which spares the read its polls.
            m_pClock->SleepMs(1);
            ReadRecvCommand();
        }
        m_pClock->SleepMs(waitTime);
    }
    PostQuit(kLoaderThreadExitCode);
    return RunMessageLoop();
}

int CLoaderReadThread::ExitInstance() {
    if (m_pOwnerDlg != nullptr && m_pQueManage != nullptr) {
        platform::kernel::CriticalSectionLock lock(m_pOwnerDlg->queueLock());
        if (m_pQueManage->GetReadThreadObject() == this) {
            m_pQueManage->SetReadThreadObject(nullptr);
        }
    }
    {
        platform::kernel::CriticalSectionLock lock(m_readEventLock);
        m_pReadEvent.reset();
    }
    return CLoaderThread::ExitInstance();
}

int CLoaderReadThread::Deliver(std::vector<Received>& received) {
    if (received.empty() || m_pOwnerDlg == nullptr || m_pQueManage == nullptr) {
        return 0;
    }
    int delivered = 0;
    // Held across lookup and delivery, so the entry cannot be removed in between, and across
    // the whole burst, so no thread registers a wait before a stale copy has been dealt with.
    platform::kernel::CriticalSectionLock lock(m_pOwnerDlg->queueLock());
    for (Received& frame : received) {
        const std::vector<std::uint8_t>& key = frame.key.empty() ? frame.record : frame.key;
        CQueData* entry = m_pQueManage->FindQueData(key.data(), static_cast<int>(key.size()));
        if (entry != nullptr) {
            delivered += m_pQueManage->SetRecvData(entry, std::move(frame.record));
        }
    }
    return delivered;
}

int CLoaderReadThread::ReadRecvCommand() {
    CPortManage* port = GetPort();
    if (port == nullptr) {
        return 0;
    }
    // A device may answer one frame twice in one write. Left in the buffer, the copy would be
    // taken by the next wait to register, before its own request has even gone out.
    constexpr int kMaxFramesPerBurst = 64;
    std::vector<Received> received;
    for (int n = 0; n < kMaxFramesPerBurst; ++n) {
        ReadFrame(*port, received);
        if (port->PendingBytes() == 0) {
            break;
        }
    }
    return Deliver(received) > 0 ? 1 : 0;
}

bool CLoaderReadThread::ReadFrame(CPortManage& port, std::vector<Received>& out) {
    std::uint8_t head[2] = {0, 0};
    if (port.Recv(head, 2) != 1) {
        return false;
    }
    const std::uint8_t b0 = head[0];
    const std::uint8_t b1 = head[1];
    if (b0 == frames::kDbId0) {
        return b1 == frames::kDbId1 && ReadDb(port, out);
    }
    if (b0 == frames::kHpId0) {
        return b1 == frames::kHpId1 && ReadHp(port, out);
    }
    if (b0 >= frames::kD0Answer0 && b0 <= frames::kD0Answer3) {
        return ReadD0(port, b0, b1, out);
    }
    if (b0 == 0x00 && GetZeroLedAnswerFlag() == 1) {
        return ReadZeroLed(port, out);
    }
    // No hunting for the next frame start: the next read begins with the next two bytes.
    return false;
}

bool CLoaderReadThread::ReadDb(CPortManage& port, std::vector<Received>& out) {
    std::uint8_t header[frames::kDbHeaderSize] = {frames::kDbId0, frames::kDbId1};
    if (port.Recv(header + 2, frames::kDbHeaderSize - 2) != 1) {
        return false;
    }
    // A length of 0, 1-7 or above the largest frame drops the header; nothing is allocated.
    std::vector<std::uint8_t> record;
    if (frames::StartDbRecord(header, record) != 1) {
        return false;
    }
    if (record.size() > frames::kDbHeaderSize &&
        port.Recv(record.data() + frames::kDbHeaderSize,
                  static_cast<std::uint32_t>(record.size() - frames::kDbHeaderSize)) != 1) {
        return false;
    }
    out.push_back({{frames::kDbId0, frames::kDbId1}, std::move(record)});
    return true;
}

bool CLoaderReadThread::ReadHp(CPortManage& port, std::vector<Received>& out) {
    std::uint8_t header[frames::kHpHeaderSize] = {frames::kHpId0, frames::kHpId1};
    if (port.Recv(header + 2, frames::kHpHeaderSize - 2) != 1) {
        return false;
    }
    frames::HeaderCheck check = frames::CheckHeader(frames::FrameFamily::kHp, header);
    if (check.verdict != frames::HeaderVerdict::kValid) {
        return false;
    }
    std::vector<std::uint8_t> record(std::begin(header), std::end(header));
    record.resize(check.length);
    if (record.size() > frames::kHpHeaderSize &&
        port.Recv(record.data() + frames::kHpHeaderSize,
                  static_cast<std::uint32_t>(record.size() - frames::kHpHeaderSize)) != 1) {
        return false;
    }
    // The record itself is the key: a wait matches on as many leading bytes as it names.
    out.push_back({{}, std::move(record)});
    return true;
}

bool CLoaderReadThread::ReadD0(CPortManage& port, std::uint8_t opcode, std::uint8_t count,
                               std::vector<Received>& out) {
    std::vector<std::uint8_t> record(count);
    if (count > 0 && port.Recv(record.data(), count) != 1) {
        return false;
    }
    out.push_back({{opcode}, std::move(record)});
    return true;
}

bool CLoaderReadThread::ReadZeroLed(CPortManage& port, std::vector<Received>& out) {
    std::vector<std::uint8_t> record(1);
    if (port.Recv(record.data(), 1) != 1) {
        return false;
    }
    out.push_back({{frames::kD0Answer0}, std::move(record)});
    return true;
}

#include "Loader/device/LoaderThread.h"

#include <utility>

#include "Loader/device/Frame.h"
#include "Loader/device/LoaderOwner.h"
#include "Loader/device/PortManage.h"
#include "Loader/device/QueManage.h"
#include "Loader/device/Response.h"
#include "Loader/script/ParamFile.h"
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
    std::shared_ptr<Event> event = Event::Named(("KILL_EVENT_" + cstrSuffix).View(), true, false);
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
    std::shared_ptr<Event> event = Event::Named("READ_EVENT", false, false);
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
    platform::kernel::Sleep(waitTime);
    while (kill && !kill->IsSet()) {
        // The read event is automatic: this test also takes its signal.
        if (read && read->IsSet()) {
            if (kill->IsSet()) {
                break;
            }
            platform::kernel::Sleep(1);
            ReadRecvCommand();
        }
        platform::kernel::Sleep(waitTime);
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

int CLoaderReadThread::Deliver(std::span<const std::uint8_t> key,
                               std::vector<std::uint8_t>&& record) {
    if (m_pOwnerDlg == nullptr || m_pQueManage == nullptr) {
        return 0;
    }
    // Held across lookup and delivery, so the entry cannot be removed in between.
    platform::kernel::CriticalSectionLock lock(m_pOwnerDlg->queueLock());
    CQueData* entry = m_pQueManage->FindQueData(key.data(), static_cast<int>(key.size()));
    if (entry == nullptr) {
        return 0;
    }
    return m_pQueManage->SetRecvData(entry, std::move(record));
}

int CLoaderReadThread::ReadRecvCommand() {
    CPortManage* port = GetPort();
    if (port == nullptr) {
        return 0;
    }
    std::uint8_t head[2] = {0, 0};
    if (port->Recv(head, 2) != 1) {
        return 0;
    }
    const std::uint8_t b0 = head[0];
    const std::uint8_t b1 = head[1];
    if (b0 == frames::kDbId0) {
        return b1 == frames::kDbId1 ? ReadDb(*port) : 0;
    }
    if (b0 == frames::kHpId0) {
        return b1 == frames::kHpId1 ? ReadHp(*port) : 0;
    }
    if (b0 >= frames::kD0Answer0 && b0 <= frames::kD0Answer3) {
        return ReadD0(*port, b0, b1);
    }
    if (b0 == 0x00 && GetZeroLedAnswerFlag() == 1) {
        return ReadZeroLed(*port);
    }
    // No hunting for the next frame start: the next call begins with the next two bytes.
    return 0;
}

int CLoaderReadThread::ReadDb(CPortManage& port) {
    std::uint8_t header[frames::kDbHeaderSize] = {frames::kDbId0, frames::kDbId1};
    if (port.Recv(header + 2, frames::kDbHeaderSize - 2) != 1) {
        return 0;
    }
    // A length of 0, 1-7 or above the largest frame drops the header; nothing is allocated.
    std::vector<std::uint8_t> record;
    if (frames::StartDbRecord(header, record) != 1) {
        return 0;
    }
    if (record.size() > frames::kDbHeaderSize &&
        port.Recv(record.data() + frames::kDbHeaderSize,
                  static_cast<std::uint32_t>(record.size() - frames::kDbHeaderSize)) != 1) {
        return 0;
    }
    const std::uint8_t key[2] = {frames::kDbId0, frames::kDbId1};
    return Deliver(key, std::move(record));
}

int CLoaderReadThread::ReadHp(CPortManage& port) {
    std::uint8_t header[frames::kHpHeaderSize] = {frames::kHpId0, frames::kHpId1};
    if (port.Recv(header + 2, frames::kHpHeaderSize - 2) != 1) {
        return 0;
    }
    frames::HeaderCheck check = frames::CheckHeader(frames::FrameFamily::kHp, header);
    if (check.verdict != frames::HeaderVerdict::kValid) {
        return 0;
    }
    std::vector<std::uint8_t> record(check.length);
    std::copy(std::begin(header), std::end(header), record.begin());
    if (record.size() > frames::kHpHeaderSize &&
        port.Recv(record.data() + frames::kHpHeaderSize,
                  static_cast<std::uint32_t>(record.size() - frames::kHpHeaderSize)) != 1) {
        return 0;
    }
    // The record itself is the key: a wait matches on as many leading bytes as it names.
    const std::span<const std::uint8_t> key(record);
    return Deliver(key, std::move(record));
}

int CLoaderReadThread::ReadD0(CPortManage& port, std::uint8_t opcode, std::uint8_t count) {
    std::vector<std::uint8_t> record(count);
    if (count > 0 && port.Recv(record.data(), count) != 1) {
        return 0;
    }
    const std::uint8_t key[1] = {opcode};
    return Deliver(key, std::move(record));
}

int CLoaderReadThread::ReadZeroLed(CPortManage& port) {
    std::vector<std::uint8_t> record(1);
    if (port.Recv(record.data(), 1) != 1) {
        return 0;
    }
    const std::uint8_t key[1] = {frames::kD0Answer0};
    return Deliver(key, std::move(record));
}

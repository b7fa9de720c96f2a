#include "Loader/script/RunOwner.h"

#include <algorithm>
#include <memory>

#include "Loader/common/ParamFile.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/device/PortManage.h"

using platform::kernel::CriticalSectionLock;

namespace {

void SetStopEvent(const CLoaderThread& thread) {
    if (std::shared_ptr<platform::kernel::Event> kill = thread.GetKillEvent()) {
        kill->Set();
    }
}

}  // namespace

std::uint32_t CRunOwner::ReadMaxDataSize(const CParamFile& initData) {
    CComString text = initData.GetParamValueText("MODULE_DATA_SIZE", "MAX");
    text.MakeUpper();
    if (text.Left(2) == "0X") {
        std::uint32_t value = 0;
        const CComString digits = text.Mid(2);
        for (char ch : digits.View()) {
            if (ch >= '0' && ch <= '9') {
                value = value * 16 + static_cast<std::uint32_t>(ch - '0');
            } else if (ch >= 'A' && ch <= 'F') {
                value = value * 16 + static_cast<std::uint32_t>(ch - 'A' + 10);
            } else {
                break;
            }
        }
        return value;
    }
    return text.ToUInt();
}

bool CRunOwner::StartThreads(const Texts& texts, CPortManage* pPort, const CComString& cstrSection,
                             platform::kernel::Clock& runClock,
                             platform::kernel::Clock* pReceiveClock) {
    m_pRunPort = pPort;
    const std::uint32_t nMaxDataSize = ReadMaxDataSize(*texts.pInitData);

    auto* pReadThread = platform::kernel::WorkerThread::CreateAutoDelete(
        std::make_unique<CLoaderReadThread>(), platform::kernel::Priority::kAboveNormal);
    if (pReadThread == nullptr) {
        return false;
    }
    pReadThread->SetOwnerDlg(this);
    pReadThread->SetInitData(texts.pInitData);
    pReadThread->SetPort(pPort);
    pReadThread->SetQueManage(&m_queue);
    if (pReceiveClock != nullptr) {
        pReadThread->SetClock(*pReceiveClock);
    }
    pReadThread->CreateKillEvent(kReceiveThreadSuffix);
    pReadThread->CreateReadEvent();
    {
        CriticalSectionLock lock(m_threadLock);
        m_pReadThread = pReadThread;
        m_handles.push_back(pReadThread->Handle());
    }
    {
        // Attached before it runs, so that its exit finds itself in the queue.
        CriticalSectionLock lock(m_queueLock);
        m_queue.SetReadThreadObject(pReadThread);
    }
    pReadThread->Resume();

    const CExecRunSetup setup{this,           texts.pScript, pPort,           &m_queue,
                              "ZR40Loader",   nMaxDataSize,  texts.pInitData, texts.pVerData,
                              texts.pSumData, &runClock};
    CLoaderExecThread* pExecThread =
        CLoaderExecThread::CreateSuspended(setup, cstrSection, nullptr);
    if (pExecThread == nullptr) {
        StopThreads(nullptr);
        JoinThreads();
        return false;
    }
    // A stop asked before the thread was registered would not have reached it.
    if (m_bStopRequested.load()) {
        pExecThread->RequestStop();
    }
    pExecThread->Resume();
    return true;
}

void CRunOwner::JoinThreads() {
    // Handles are only ever appended, each before its thread runs, and a thread is registered
    // by a parent that is still running: once the last one is joined, nothing is left.
    std::size_t nJoined = 0;
    for (;;) {
        platform::kernel::ThreadHandle next;
        {
            CriticalSectionLock lock(m_threadLock);
            if (nJoined == m_handles.size()) {
                break;
            }
            next = m_handles[nJoined++];
        }
        next.Wait(platform::kernel::kInfinite);
    }
}

void CRunOwner::RequestStop() {
    m_bStopRequested = true;
    CriticalSectionLock lock(m_threadLock);
    for (auto& [section, pThread] : m_threads) {
        SetStopEvent(*pThread);
    }
}

int CRunOwner::ThreadCount() {
    CriticalSectionLock lock(m_threadLock);
    return static_cast<int>(m_handles.size());
}

void CRunOwner::StopThreads(CLoaderThread* pCaller) {
    CriticalSectionLock lock(m_threadLock);
    for (auto& [section, pThread] : m_threads) {
        if (pThread != pCaller) {
            SetStopEvent(*pThread);
        }
    }
    m_threads.clear();
    if (m_pReadThread != nullptr) {
        SetStopEvent(*m_pReadThread);
        m_pReadThread = nullptr;
    }
}

void CRunOwner::ThreadFinished(const CComString& cstrSection) {
    CriticalSectionLock lock(m_threadLock);
    m_threads.erase(cstrSection);
    if (m_threads.empty()) {
        StopThreads(nullptr);
    }
}

void CRunOwner::RegisterThread(const CComString& cstrSection, CLoaderThread* pThread) {
    CriticalSectionLock lock(m_threadLock);
    m_threads[cstrSection] = pThread;
    m_handles.push_back(pThread->Handle());
}

bool CRunOwner::IsThreadRegistered(const CComString& cstrSection) {
    CriticalSectionLock lock(m_threadLock);
    return std::any_of(m_threads.begin(), m_threads.end(), [&cstrSection](const auto& entry) {
        return entry.first.CompareNoCase(cstrSection) == 0;
    });
}

// LOADER_SEQ=end: the port is closed and handed back to the row and to the receive thread.
void CRunOwner::OnLoaderProgComplete(CPortManage*& pPort) {
    {
        CriticalSectionLock lock(m_portLock);
        if (m_pRunPort != nullptr) {
            m_pRunPort->Close();
        }
    }
    pPort = m_pRunPort;
    CriticalSectionLock lock(m_threadLock);
    if (m_pReadThread != nullptr) {
        m_pReadThread->SetPort(m_pRunPort);
    }
}

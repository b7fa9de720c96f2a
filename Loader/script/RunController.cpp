#include "Loader/script/RunController.h"

#include <algorithm>
#include <utility>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/device/PortManage.h"
#include "platform/resources/resources.h"

using platform::kernel::CriticalSectionLock;
using platform::kernel::Event;

namespace {

void SetStopEvent(const CLoaderThread& thread) {
    if (std::shared_ptr<Event> kill = thread.GetKillEvent()) {
        kill->Set();
    }
}

}  // namespace

CLoaderRun::CLoaderRun(platform::kernel::Clock& clock) : m_clock(clock) {}

CLoaderRun::~CLoaderRun() {
    if (m_bStarted) {
        Stop();
        Wait();
    }
}

int CLoaderRun::LoadTexts() {
    const int nScript = m_script.LoadParamSection("Loader_Update");
    const int nInit = m_initData.LoadParamSection("Loader_Ini");
    m_verData.LoadParamSection("Loader_Ver");
    m_sumData.LoadParamSection("Loader_Sum");
    m_bTextsLoaded = nScript == 1 && nInit == 1;
    return m_bTextsLoaded ? 1 : 0;
}

int CLoaderRun::LoadScriptText(std::string_view cp932Text) {
    const platform::resources::ScopedResource text(
        "INI", 145, {reinterpret_cast<const std::uint8_t*>(cp932Text.data()), cp932Text.size()});
    return m_script.LoadParamSection("Loader_Update");
}

void CLoaderRun::SetPort(std::unique_ptr<CPortManage> pPort) {
    m_pPort = std::move(pPort);
}

std::uint32_t CLoaderRun::ReadMaxDataSize() const {
    CComString text = m_initData.GetParamValueText("MODULE_DATA_SIZE", "MAX");
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

int CLoaderRun::Start(const CComString& cstrSection) {
    if (!m_bTextsLoaded || m_bStarted) {
        return 0;
    }
    if (!m_pPort) {
        auto pUsbPort = std::make_unique<CUsbPort>(&m_initData, m_clock);
        if (pUsbPort->FindPort(CUsbPort::kUpdatePort) == 0) {
            return 0;
        }
        m_pPort = std::move(pUsbPort);
    }
    const std::uint32_t nMaxDataSize = ReadMaxDataSize();

    auto* pReadThread = platform::kernel::WorkerThread::CreateAutoDelete(
        std::make_unique<CLoaderReadThread>(), platform::kernel::Priority::kAboveNormal);
    if (pReadThread == nullptr) {
        return 0;
    }
    m_bStarted = true;
    pReadThread->SetOwnerDlg(this);
    pReadThread->SetInitData(&m_initData);
    pReadThread->SetPort(m_pPort.get());
    pReadThread->SetQueManage(&m_queue);
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

    const CExecRunSetup setup{this,         &m_script,   m_pPort.get(), &m_queue,   "ZR40Loader",
                              nMaxDataSize, &m_initData, &m_verData,    &m_sumData, &m_clock};
    CLoaderExecThread* pExecThread =
        CLoaderExecThread::CreateSuspended(setup, cstrSection, nullptr);
    if (pExecThread == nullptr) {
        StopThreads(nullptr);
        Wait();
        return 0;
    }
    if (m_bStopRequested.load()) {
        pExecThread->RequestStop();
    }
    pExecThread->Resume();
    return 1;
}

CLoaderRun::Result CLoaderRun::Wait() {
    if (!m_bStarted) {
        return Result::kNotStarted;
    }
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
    if (m_bFailed.load()) {
        return Result::kFailed;
    }
    const bool bStoppedBetweenRows =
        ExecError().ExecInfo.load() == kStartStopped && ExecError().ExecIdx.load() == 0;
    if (m_bStopRequested.load() || bStoppedBetweenRows) {
        return Result::kStopped;
    }
    return Result::kSucceeded;
}

void CLoaderRun::Stop() {
    m_bStopRequested = true;
    CriticalSectionLock lock(m_threadLock);
    for (auto& [section, pThread] : m_threads) {
        SetStopEvent(*pThread);
    }
}

int CLoaderRun::ThreadCount() {
    CriticalSectionLock lock(m_threadLock);
    return static_cast<int>(m_handles.size());
}

void CLoaderRun::StepMessage(const CComString& cstrText, int nLevel) {
    if (m_callbacks.onStep) {
        m_callbacks.onStep(cstrText, nLevel);
    }
}

void CLoaderRun::StopThreads(CLoaderThread* pCaller) {
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

void CLoaderRun::ThreadFinished(const CComString& cstrSection) {
    CriticalSectionLock lock(m_threadLock);
    m_threads.erase(cstrSection);
    if (m_threads.empty()) {
        StopThreads(nullptr);
    }
}

void CLoaderRun::RegisterThread(const CComString& cstrSection, CLoaderThread* pThread) {
    CriticalSectionLock lock(m_threadLock);
    m_threads[cstrSection] = pThread;
    m_handles.push_back(pThread->Handle());
}

bool CLoaderRun::IsThreadRegistered(const CComString& cstrSection) {
    CriticalSectionLock lock(m_threadLock);
    return std::any_of(m_threads.begin(), m_threads.end(), [&cstrSection](const auto& entry) {
        return entry.first.CompareNoCase(cstrSection) == 0;
    });
}

void CLoaderRun::ShowErrorBox(int nMessageId) {
    ++m_nErrorBoxes;
    if (m_callbacks.onErrorBox) {
        m_callbacks.onErrorBox(nMessageId);
    }
}

void CLoaderRun::SetFailed(bool bFailed) {
    if (bFailed) {
        m_bFailed = true;
    }
}

void CLoaderRun::PostLoaderEnd() {
    ++m_nEnds;
    if (m_callbacks.onEnd) {
        m_callbacks.onEnd();
    }
}

void CLoaderRun::PostProgress() {
    ++m_nProgress;
    if (m_callbacks.onProgress) {
        m_callbacks.onProgress();
    }
}

void CLoaderRun::OnLoaderProgComplete(CPortManage*& pPort) {
    {
        CriticalSectionLock lock(m_portLock);
        if (m_pPort) {
            m_pPort->Close();
        }
    }
    pPort = m_pPort.get();
    CriticalSectionLock lock(m_threadLock);
    if (m_pReadThread != nullptr) {
        m_pReadThread->SetPort(m_pPort.get());
    }
}

#include "Loader/script/ExecThread.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/common/StartTrace.h"
#include "Loader/device/PortManage.h"
#include "Loader/device/QueManage.h"
#include "Loader/device/Response.h"
#include "platform/resources/resources.h"

using platform::kernel::CriticalSectionLock;
using platform::kernel::Event;

namespace {

enum class RunOutcome { kSucceeded, kFailed, kStopped };

// A name that existed may still be set from the last run.
std::shared_ptr<Event> ClearedManualEvent(const CComString& cstrName) {
    std::shared_ptr<Event> event = Event::Named(cstrName.View(), true, false);
    event->Reset();
    return event;
}

bool IsKey(const CComString& cstrKey, const char* pszKeyword) {
    return cstrKey.CompareNoCase(CComString(pszKeyword)) == 0;
}

// The keyword table in its order; LOADER_SEQ is handled beside it.
struct KeywordEntry {
    const char* pszKey;
    int nCode;
    int (CLoaderExecThread::*pHandler)(CComString);
};

const KeywordEntry kKeywords[] = {
    {"Port", kCmdPort, &CLoaderExecThread::PortFunc},
    {"CMD", kCmdCmd, &CLoaderExecThread::CMDFunc},
    {"Timer", kCmdTimer, &CLoaderExecThread::TimerFunc},
    {"WaitSection", kCmdWaitSection, &CLoaderExecThread::WaitSectionFunc},
    {"DBB_D1_CMD", kCmdDbbD1Cmd, &CLoaderExecThread::DBB_D1_CMDFunc},
    {"DBB_D2_CMD", kCmdDbbD2Cmd, &CLoaderExecThread::DBB_D2_CMDFunc},
    {"DBB_D2_File", kCmdDbbD2File, &CLoaderExecThread::DBB_D2_FileFunc},
    {"DBB_LM_File", kCmdDbbLmFile, &CLoaderExecThread::DBB_LM_FileFunc},
    {"Wait_DBB", kCmdWaitDbb, &CLoaderExecThread::Wait_DBBFunc},
    {"DBB_FileVerUp", kCmdDbbFileVerUp, &CLoaderExecThread::DBB_FileVerUp_Func},
    {"DBB_D2_SETVERSION", kCmdDbbD2SetVersion, &CLoaderExecThread::DBB_D2_SetVersionFunc},
    {"DBB_D2_SETVERSIONFROMFILE", kCmdDbbD2SetVersionFromFile,
     &CLoaderExecThread::DBB_D2_SetVersionFromFileFunc},
    {"DBB_SDRAM_File", kCmdDbbSdramFile, &CLoaderExecThread::DBB_SDRAM_FileFunc},
};

// Rows that write a frame the next Wait_DBB row waits for.
bool WritesAnsweredFrame(const CComString& cstrKey) {
    return IsKey(cstrKey, "DBB_D2_CMD") || IsKey(cstrKey, "DBB_D2_SETVERSION") ||
           IsKey(cstrKey, "DBB_D2_SETVERSIONFROMFILE");
}

std::uint32_t TimeoutMs(int nTimeoutSec) {
    if (nTimeoutSec < 0) {
        return platform::kernel::kInfinite;
    }
    const std::uint64_t ms = static_cast<std::uint64_t>(nTimeoutSec) * 1000U;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, platform::kernel::kInfinite - 1));
}

}  // namespace

CLoaderExecThread::CLoaderExecThread() : m_pClock(&platform::kernel::SystemClock()) {}

CLoaderExecThread::~CLoaderExecThread() = default;

// ---------------------------------------------------------------------------------------------
// Set-up

CLoaderExecThread* CLoaderExecThread::CreateSuspended(const CExecRunSetup& setup,
                                                      const CComString& cstrSection,
                                                      const CLoaderExecThread* pParent) {
    auto* pThread = platform::kernel::WorkerThread::CreateAutoDelete(
        std::make_unique<CLoaderExecThread>(), platform::kernel::Priority::kAboveNormal);
    if (pThread == nullptr) {
        return nullptr;
    }
    if (setup.pOwner != nullptr) {
        setup.pOwner->RegisterThread(cstrSection, pThread);
    }
    pThread->SetOwnerDlg(setup.pOwner);
    pThread->SetParentThread(pParent);
    if (pParent != nullptr) {
        std::vector<CComString> ancestors = pParent->m_ancestorSections;
        ancestors.push_back(pParent->m_strSection);
        pThread->SetAncestorSections(std::move(ancestors));
    }
    pThread->SetScript(setup.pScript);
    pThread->SetSection(cstrSection);
    pThread->SetPort(setup.pPort);
    pThread->SetQueManage(setup.pQueue);
    pThread->SetLogName(setup.strLogName);
    pThread->CreateKillEvent(cstrSection);
    pThread->CreateRecvEvent();
    if (pParent != nullptr) {
        pThread->CreateWaitSectionEvent();
    }
    pThread->SetMaxDataSize(setup.nMaxDataSize);
    pThread->SetInitData(setup.pInitData);
    pThread->SetVerData(setup.pVerData);
    pThread->SetSumData(setup.pSumData);
    if (setup.pClock != nullptr) {
        pThread->SetClock(*setup.pClock);
    }
    if (pParent != nullptr) {
        pThread->SetRunShared(pParent->m_pShared);
    }
    return pThread;
}

CExecRunSetup CLoaderExecThread::RunSetup() const {
    return {m_pOwnerDlg,    m_pScript,   m_pPort,    m_pQueManage, m_strLogName,
            m_nMaxDataSize, m_pInitData, m_pVerData, m_pSumData,   m_pClock};
}

void CLoaderExecThread::RequestStop() {
    if (std::shared_ptr<Event> kill = GetKillEvent()) {
        kill->Set();
    }
}

int CLoaderExecThread::CreateRecvEvent() {
    std::shared_ptr<Event> event = ClearedManualEvent(kRecvEventPrefix + m_strSection);
    CriticalSectionLock lock(m_eventLock);
    m_pRecvEvent = std::move(event);
    return 1;
}

int CLoaderExecThread::CreateWaitSectionEvent() {
    std::shared_ptr<Event> event = ClearedManualEvent(kWaitSectionEventPrefix + m_strSection);
    CriticalSectionLock lock(m_eventLock);
    m_pWaitSectionEvent = std::move(event);
    return 1;
}

std::shared_ptr<Event> CLoaderExecThread::GetRecvEvent() const {
    CriticalSectionLock lock(m_eventLock);
    return m_pRecvEvent;
}

std::shared_ptr<Event> CLoaderExecThread::GetWaitSectionEvent() const {
    CriticalSectionLock lock(m_eventLock);
    return m_pWaitSectionEvent;
}

unsigned char* CLoaderExecThread::GetImageBuffer() const {
    return m_pShared ? m_pShared->imageBuffer.Data() : nullptr;
}

std::uint32_t CLoaderExecThread::GetImageBufferSize() const {
    return m_pShared ? static_cast<std::uint32_t>(m_pShared->imageBuffer.Size()) : 0;
}

platform::kernel::CriticalSection* CLoaderExecThread::GetStagingLock() const {
    return m_pShared ? &m_pShared->stagingLock : nullptr;
}

std::span<std::uint8_t> CLoaderExecThread::GetFillWindow(std::uint64_t size) const {
    return m_pShared ? m_pShared->fillBuffer.Window(0, size) : std::span<std::uint8_t>();
}

std::uint32_t CLoaderExecThread::GetFillBufferSize() const {
    return m_pShared ? static_cast<std::uint32_t>(m_pShared->fillBuffer.Size()) : 0;
}

CLoaderExecOwner* CLoaderExecThread::ExecOwner() const {
    return dynamic_cast<CLoaderExecOwner*>(m_pOwnerDlg);
}

// ---------------------------------------------------------------------------------------------
// The run

std::shared_ptr<CExecRunShared> CLoaderExecThread::AllocateRunShared() {
    auto shared = std::make_shared<CExecRunShared>();
    if (!shared->imageBuffer.Allocate(m_nMaxDataSize, 0) ||
        !shared->fillBuffer.Allocate(m_nMaxDataSize / 2, 0xFF)) {
        return nullptr;
    }
    return shared;
}

int CLoaderExecThread::Run() {
    RunOutcome outcome = RunOutcome::kFailed;
    // This thread's own record; the process's record gets it back at the end unless another
    // thread's failure is the run's story.
    ExecErrorRecord record;
    record.CopyFrom(ProcessExecError());
    std::optional<ScopedExecErrorBinding> binding(std::in_place, record);
    if (!m_pShared) {
        m_pShared = AllocateRunShared();
    }
    if (!m_pShared) {
        // Reported like a failed row: a run that did nothing must not pass for a success.
        SetExecError(0, 0, kErrNoMemory, 0);
        m_pShared = std::make_shared<CExecRunShared>();
        ReportFailure();
    } else {
        if (m_bHasParent) {
            if (std::shared_ptr<Event> waitSection = GetWaitSectionEvent()) {
                waitSection->Reset();
            }
        }
        if (RunRows()) {
            outcome = RunOutcome::kFailed;
        } else {
            outcome = m_bStopped ? RunOutcome::kStopped : RunOutcome::kSucceeded;
        }
    }
    if (outcome == RunOutcome::kFailed && m_pOwnerDlg != nullptr) {
        // Every failure has been reported by now; the owner stops the run's other threads.
        m_pOwnerDlg->StopThreads(this);
    }

    if (m_bHasParent) {
        if (std::shared_ptr<Event> waitSection = GetWaitSectionEvent()) {
            waitSection->Set();
        }
    }
    const bool bPublish = m_bReportedFailure || !m_pShared->bFailureReported.load();
    binding.reset();
    if (bPublish) {
        ProcessExecError().CopyFrom(record);
    }
    // The buffers go with the last thread of the run that still holds them.
    m_pShared.reset();

    PostQuit(kLoaderThreadExitCode);
    if (m_pOwnerDlg != nullptr) {
        m_pOwnerDlg->SetFailed(outcome == RunOutcome::kFailed);
        m_pOwnerDlg->PostLoaderEnd();
    }
    return RunMessageLoop();
}

bool CLoaderExecThread::RunRows() {
    const CParamKey* pRows =
        m_pScript != nullptr ? m_pScript->GetParamKeyObject(m_strSection) : nullptr;
    if (pRows == nullptr) {
        SetExecError(0, kStartSectionMissing, kErrStartup, 0);
        ReportFailure();
        return true;
    }

    const int nRows = pRows->GetParamKeySize();
    int nStartRow = -1;
    int nEndRow = -1;
    for (int i = 0; i < nRows; ++i) {
        if (!IsKey(pRows->GetParamKey(i), "LOADER_SEQ")) {
            continue;
        }
        const CComString value = pRows->GetParamValue(i);
        if (nStartRow < 0 && IsKey(value, "start")) {
            nStartRow = i;
        } else if (nEndRow < 0 && IsKey(value, "end")) {
            nEndRow = i;
        }
    }
    if ((nStartRow < 0) != (nEndRow < 0)) {
        StepMessage(Text("●●● The selected INI file is incomplete: the LOADER_SEQ command is not "
                         "proper ●●● "),
                    1);
        SetExecError(0, kStartLoaderSeqUnpaired, kErrStartup, 0);
        ReportFailure();
        return true;
    }
    const int nFirst = nEndRow >= 0 ? nEndRow + 1 : 0;

    std::int32_t nExecuted = 0;
    for (int i = nFirst; i < nRows; ++i) {
        const int nWaitTime = m_pInitData != nullptr
                                  ? m_pInitData->GetParamValueText("SYSTEM", "WaitTime").ToInt()
                                  : 0;
        starttrace::Mark("pause");
        m_pClock->SleepMs(static_cast<std::uint32_t>(std::max(nWaitTime, 0)));
        starttrace::Mark("row");

        if (IsStopRequested()) {
            SetExecError(0, kStartStopped, 0, 0);
            // A stop that follows another thread's failure keeps that failure's record.
            if (!m_pShared->bFailureReported.load()) {
                WriteErrorLog();
            }
            m_bStopped = true;
            return false;
        }

        SetExecError(0, 0, 0, 0);
        ExecError().ExecIdx = ++nExecuted;

        const CComString key = pRows->GetParamKey(i);
        m_strNextWait.Empty();
        if (i + 1 < nRows && WritesAnsweredFrame(key) &&
            IsKey(pRows->GetParamKey(i + 1), "Wait_DBB")) {
            m_strNextWait = pRows->GetParamValue(i + 1);
        }
        const int nResult = DispatchCommand(key, pRows->GetParamValue(i));
        starttrace::Mark("done");
        m_strNextWait.Empty();
        if (nResult != 1) {
            return true;
        }
    }
    return false;
}

int CLoaderExecThread::DispatchCommand(CComString cstrKey, CComString cstrValue) {
    int nResult = -1;
    for (const KeywordEntry& entry : kKeywords) {
        if (IsKey(cstrKey, entry.pszKey)) {
            ExecError().ExecInfo = entry.nCode;
            nResult = (this->*entry.pHandler)(cstrValue);
            break;
        }
    }
    if (nResult < 0 && IsKey(cstrKey, "LOADER_SEQ")) {
        if (IsKey(cstrValue, "start")) {
            nResult = 1;
        } else if (IsKey(cstrValue, "end")) {
            nResult = LoaderSeqEnd();
        }
    }
    if (nResult < 0 && IsKey(cstrKey, "DBB_Checksum")) {
        ExecError().ExecInfo = kCmdDbbChecksum;
        nResult = DBB_Checksum_Func(cstrValue);
    }
    if (nResult < 0) {
        nResult = UnknownCommand(cstrKey);
    }
    if (nResult != 1) {
        ReportFailure();
        return 0;
    }
    return 1;
}

int CLoaderExecThread::UnknownCommand(const CComString& cstrKey) {
    ExecError().ExecInfo = kCmdUnknown;
    ExecError().ExecDetail = 0;
    ExecError().ErrContents = kErrStartup;
    ExecError().ErrDetail = 0;
    StepMessage(kMsgUnsupportedCommand, 0);
    StepMessage("   --> " + cstrKey, 1);
    return 0;
}

void CLoaderExecThread::ReportFailure() {
    const bool bFirst = m_pShared == nullptr || !m_pShared->bFailureReported.exchange(true);
    if (bFirst) {
        m_bReportedFailure = true;
        WriteErrorLog();
    }
    if (m_pOwnerDlg != nullptr) {
        m_pOwnerDlg->SetFailed(true);
        if (bFirst) {
            m_pOwnerDlg->ShowErrorBox(kMsgRunFailed);
        }
    }
}

int CLoaderExecThread::LoaderSeqEnd() {
    if (CLoaderExecOwner* pOwner = ExecOwner()) {
        pOwner->OnLoaderProgComplete(m_pPort);
        return 1;
    }
    if (m_pPort != nullptr && m_pOwnerDlg != nullptr) {
        CriticalSectionLock lock(m_pOwnerDlg->portLock());
        m_pPort->Close();
    }
    return 1;
}

int CLoaderExecThread::ExitInstance() {
    if (m_pOwnerDlg != nullptr && m_pQueManage != nullptr) {
        CriticalSectionLock lock(m_pOwnerDlg->queueLock());
        m_pQueManage->DelAllQueData(this);
        // Only when nobody else waits: a parallel section's pending wait must stay counted.
        if (m_pQueManage->GetEntryCount() == 0) {
            m_pQueManage->SetWaitCount(0);
        }
    }
    {
        CriticalSectionLock lock(m_eventLock);
        m_pRecvEvent.reset();
        m_pWaitSectionEvent.reset();
    }
    if (m_pOwnerDlg != nullptr) {
        CriticalSectionLock lock(m_pOwnerDlg->threadLock());
        m_pOwnerDlg->ThreadFinished(m_strSection);
        if (!m_bHasParent) {
            m_pOwnerDlg->StopThreads(nullptr);
        }
    }
    m_pShared.reset();
    return CLoaderThread::ExitInstance();
}

// ---------------------------------------------------------------------------------------------
// Helpers of the handlers

bool CLoaderExecThread::IsStopRequested() const {
    std::shared_ptr<Event> kill = GetKillEvent();
    return kill && kill->TryConsume();
}

int CLoaderExecThread::StopSeen() {
    ExecError().ErrContents = kErrStopped;
    PostQuit(kLoaderThreadExitCode);
    return 0;
}

int CLoaderExecThread::SendToPort(const std::uint8_t* pbBuff, std::uint32_t uiLength) {
    if (m_pPort == nullptr || m_pOwnerDlg == nullptr) {
        return 0;
    }
    CriticalSectionLock lock(m_pOwnerDlg->portLock());
    return m_pPort->SendFrame(pbBuff, uiLength);
}

int CLoaderExecThread::RegisterAnswer(const std::uint8_t* pbKey, int iSize) {
    if (m_pOwnerDlg == nullptr || m_pQueManage == nullptr) {
        return 0;
    }
    const std::size_t nSize = pbKey != nullptr && iSize > 0 ? static_cast<std::size_t>(iSize) : 0;
    std::shared_ptr<Event> recv = GetRecvEvent();
    {
        CriticalSectionLock lock(m_pOwnerDlg->queueLock());
        m_pQueManage->DelAllQueData(this);
        if (recv) {
            recv->Reset();
        }
        m_pQueManage->AddQueData(pbKey, static_cast<int>(nSize), this);
    }
    m_registeredKey.assign(pbKey, pbKey + nSize);
    m_bAnswerRegistered = true;
    return 1;
}

int CLoaderExecThread::WaitAnswer(const std::uint8_t* pbKey, int iSize, int nTimeoutSec,
                                  std::vector<std::uint8_t>& record) {
    record.clear();
    const std::size_t nSize = pbKey != nullptr && iSize > 0 ? static_cast<std::size_t>(iSize) : 0;
    const bool bSameKey = m_bAnswerRegistered && m_registeredKey.size() == nSize &&
                          std::equal(m_registeredKey.begin(), m_registeredKey.end(), pbKey);
    if (!bSameKey && RegisterAnswer(pbKey, iSize) != 1) {
        return -1;
    }
    m_bAnswerRegistered = false;

    std::shared_ptr<Event> kill = GetKillEvent();
    std::shared_ptr<Event> recv = GetRecvEvent();
    if (!kill || !recv) {
        return -1;
    }
    const std::shared_ptr<Event> events[] = {kill, recv};
    const int nWait = m_pClock->WaitAny(events, TimeoutMs(nTimeoutSec));
    if (nWait == platform::kernel::kTimeout) {
        return 0;
    }
    if (nWait == 0) {
        StopSeen();
        return -2;
    }
    if (nWait != 1) {
        return -1;
    }
    // The receive thread set the event while it holds queueLock; yielding first spares this
    // thread a block on the lock the receive thread is about to leave.
    platform::kernel::Sleep(0);
    CriticalSectionLock lock(m_pOwnerDlg->queueLock());
    CQueData* entry = m_pQueManage->FindQueData(static_cast<const CLoaderThread*>(this));
    if (entry == nullptr || !entry->IsServed()) {
        recv->Reset();
        return -1;
    }
    record = entry->GetRecvData();
    m_pQueManage->DelQueData(this);
    recv->Reset();
    return 1;
}

CComString CLoaderExecThread::Text(const char* pszUtf8) {
    return CComString::FromUtf8(pszUtf8);
}

CComString CLoaderExecThread::MessageText(int nMessageId, std::initializer_list<CComString> args) {
    const std::string_view text = platform::resources::LoadString(nMessageId);
    CComString out;
    auto arg = args.begin();
    std::size_t i = 0;
    while (i < text.size()) {
        const char ch = text[i];
        if (ch == '%' && i + 1 < text.size()) {
            // Flags and width, then the conversion letter.
            std::size_t j = i + 1;
            while (j < text.size() && std::strchr("-+ #0123456789.", text[j]) != nullptr) {
                ++j;
            }
            if (j < text.size() && std::strchr("sdiuxX", text[j]) != nullptr) {
                if (arg != args.end()) {
                    out += *arg++;
                }
                i = j + 1;
                continue;
            }
            if (j < text.size() && text[j] == '%') {
                out += '%';
                i = j + 1;
                continue;
            }
        }
        out += ch;
        ++i;
    }
    return out;
}

void CLoaderExecThread::StepMessage(const CComString& cstrText, int nLevel) {
    if (m_pOwnerDlg != nullptr) {
        m_pOwnerDlg->StepMessage(cstrText, nLevel);
    }
}

void CLoaderExecThread::StepMessage(int nMessageId, int nLevel) {
    StepMessage(MessageText(nMessageId), nLevel);
}

void CLoaderExecThread::StepMessage(int nMessageId, std::initializer_list<CComString> args,
                                    int nLevel) {
    StepMessage(MessageText(nMessageId, args), nLevel);
}

void CLoaderExecThread::ReportTimeout(int nHeadingId, int nSeconds) {
    StepMessage(nHeadingId, 0);
    StepMessage(kMsgTimeout, {CComString::Formatted("%d", nSeconds)}, 1);
}

void CLoaderExecThread::ReportDeviceError(const frames::DbAnswer& answer, bool bHeading) {
    if (bHeading) {
        StepMessage(143, 0);
    }
    for (const CComString& line : frames::DeviceErrorLines(answer)) {
        StepMessage(line, 1);
    }
}

bool CLoaderExecThread::IsRunningSection(const CComString& cstrSection) const {
    if (m_strSection.CompareNoCase(cstrSection) == 0) {
        return true;
    }
    return std::any_of(
        m_ancestorSections.begin(), m_ancestorSections.end(),
        [&cstrSection](const CComString& name) { return name.CompareNoCase(cstrSection) == 0; });
}

// Port, CMD, Timer and WaitSection: the commands that need no loader frames.
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/PortManage.h"
#include "Loader/script/ExecThread.h"

using platform::kernel::CriticalSectionLock;
using platform::kernel::Event;

namespace {

constexpr int kDefaultOpenSeconds = 30;
// A kernel wait takes the thread's own stop event and one event per child.
constexpr int kMaxChildren = static_cast<int>(platform::kernel::kMaxWaitObjects) - 1;

}  // namespace

int CLoaderExecThread::PortFunc(CComString cstrValue) {
    CComStringArray fields = cstrValue.Split(',');
    if (fields.GetSize() != 2) {
        fields.Add(CComString::Formatted("%d", kDefaultOpenSeconds));
    }
    const CComString operation = fields.GetAt(0);
    StepMessage(kMsgPort, {operation}, 1);

    if (operation.CompareNoCase("Open") == 0) {
        ExecError().ExecDetail = 1;
        if (m_pPort == nullptr || m_pOwnerDlg == nullptr) {
            return 0;
        }
        CriticalSectionLock lock(m_pOwnerDlg->portLock());
        m_pPort->SetOpenTimeout(fields.GetAt(1).ToInt());
        return m_pPort->Open() == 1 ? 1 : 0;
    }
    if (operation.CompareNoCase("Close") == 0) {
        ExecError().ExecDetail = 6;
        if (m_pPort != nullptr && m_pOwnerDlg != nullptr) {
            CriticalSectionLock lock(m_pOwnerDlg->portLock());
            m_pPort->Close();
        }
        return 1;
    }
    return 0;
}

int CLoaderExecThread::CMDFunc(CComString cstrValue) {
    ExecError().ExecDetail = 0;
    StepMessage(kMsgCommand, 1);
    StepMessage(kMsgCommandBytes, {cstrValue}, 1);

    const int nBytes = cstrValue.GetLength() / 2;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(nBytes) + 1);
    cstrValue.HexToBytes(buffer.data(), nBytes);

    int nWritten = 0;
    if (m_pPort != nullptr && m_pOwnerDlg != nullptr) {
        CriticalSectionLock lock(m_pOwnerDlg->portLock());
        ExecError().ErrContents = kErrWriteFailed;
        nWritten = m_pPort->Send(buffer.data(), static_cast<std::uint32_t>(nBytes));
    }
    if (IsStopRequested()) {
        return StopSeen();
    }
    return nWritten == 1 ? 1 : 0;
}

int CLoaderExecThread::TimerFunc(CComString cstrValue) {
    StepMessage(kMsgTimer, {cstrValue}, 1);
    const auto nMs = static_cast<std::uint64_t>(std::max(cstrValue.ToInt(), 0)) * 1000U;
    // The stop event is left to the poll before the next row.
    m_pClock->SleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(nMs, 0xFFFFFFFEU)));
    return 1;
}

int CLoaderExecThread::WaitSectionFunc(CComString cstrValue) {
    const CComStringArray fields = cstrValue.Split(',');
    CComString line = "   --> ";
    for (int i = 0; i < fields.GetSize(); ++i) {
        if (i > 0) {
            line += Text(" ・ ");
        }
        line += fields.GetAt(i);
    }
    StepMessage(kMsgWaitSection, 1);
    StepMessage(line, 1);

    m_mapChildren.clear();
    const std::vector<CComString> names = DistinctSections(fields);
    if (CheckSectionsStartable(names) != 1 || StartChildren(names) != 1) {
        return 0;
    }
    return WaitForChildren();
}

std::vector<CComString> CLoaderExecThread::DistinctSections(const CComStringArray& fields) {
    // A section is run once even when named twice: two threads of one name would share their
    // events and their place in the owner's registry.
    std::vector<CComString> names;
    for (const CComString& name : fields) {
        const bool bSeen = std::any_of(names.begin(), names.end(), [&name](const CComString& n) {
            return n.CompareNoCase(name) == 0;
        });
        if (!bSeen) {
            names.push_back(name);
        }
    }
    return names;
}

int CLoaderExecThread::CheckSectionsStartable(const std::vector<CComString>& names) {
    if (static_cast<int>(names.size()) > kMaxChildren) {
        ExecError().ErrContents = kErrNoMemory;
        return 0;
    }
    // A section that waits for itself, directly or through its children, would start threads
    // without end.
    for (const CComString& name : names) {
        if (IsRunningSection(name)) {
            StepMessage(kMsgUnsupportedCommand, 0);
            StepMessage("   --> WaitSection=" + name, 1);
            ExecError().ErrContents = kErrStartup;
            return 0;
        }
    }
    return 1;
}

int CLoaderExecThread::StartChildren(const std::vector<CComString>& names) {
    const CExecRunSetup setup = RunSetup();
    std::vector<CLoaderExecThread*> started;
    {
        // Held from the check to the last registration, so that no other thread starts one of
        // these sections in between.
        std::optional<CriticalSectionLock> registry;
        if (m_pOwnerDlg != nullptr) {
            registry.emplace(m_pOwnerDlg->threadLock());
            // Two threads of one section would share its events and its registry entry.
            for (const CComString& name : names) {
                if (m_pOwnerDlg->IsThreadRegistered(name)) {
                    StepMessage(Text("WaitSection エラー : セクションは実行中です"), 0);
                    StepMessage("   --> WaitSection=" + name, 1);
                    ExecError().ErrContents = kErrStartup;
                    return 0;
                }
            }
        }
        for (const CComString& name : names) {
            CLoaderExecThread* pChild = CreateSuspended(setup, name, this);
            if (pChild == nullptr) {
                ExecError().ErrContents = kErrNoMemory;
                break;
            }
            m_mapChildren.push_back({name, pChild->GetWaitSectionEvent(), pChild->Handle()});
            // A stop that came before the registration did not reach the child.
            if (IsStopRequested()) {
                pChild->RequestStop();
            }
            started.push_back(pChild);
        }
    }
    for (CLoaderExecThread* pChild : started) {
        pChild->Resume();
    }
    return started.size() == names.size() ? 1 : 0;
}

int CLoaderExecThread::WaitForChildren() {
    std::shared_ptr<Event> kill = GetKillEvent();
    if (!kill) {
        ExecError().ErrContents = kErrNoMemory;
        return 0;
    }
    std::vector<std::shared_ptr<Event>> handles;
    handles.push_back(kill);
    for (const ChildRecord& child : m_mapChildren) {
        handles.push_back(child.pWaitSectionEvent);
    }
    while (handles.size() > 1) {
        const int nIndex = platform::kernel::WaitAny(handles, platform::kernel::kInfinite);
        if (nIndex == 0) {
            // The row succeeds; the poll before the next row ends the run.
            ExecError().ErrContents = kErrStopped;
            PostQuit(kLoaderThreadExitCode);
            return 1;
        }
        if (nIndex < 0 || nIndex >= static_cast<int>(handles.size())) {
            ExecError().ErrContents = kErrWaitFailed;
            return 0;
        }
        handles.erase(handles.begin() + nIndex);
    }
    // A child sets its end event before it leaves the registry; the next row may name its
    // section again only once it has left.
    for (const ChildRecord& child : m_mapChildren) {
        child.hThread.Wait(platform::kernel::kInfinite);
    }
    return 1;
}

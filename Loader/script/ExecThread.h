// The execution thread of the loader script: runs the rows of one section, each row a command
// with its value, against the device's boot loader, and reports to the window that owns the run.
//
// Threads: the GLOBAL thread is started by the owner; every WaitSection row starts one child per
// named section, which runs beside the others and shares the GLOBAL thread's port, response
// queue, configuration and work buffers. Answers are read by the receive thread and handed over
// through the response queue (see Loader/device/QueManage.h); a command that expects one
// registers its wait BEFORE it writes the frame the device answers, because the receive thread
// drops every answer for which no wait is registered.
//
// Handlers return 1 (row done) or 0 (row failed, the run ends); what went wrong is in the error
// record, whose ErrContents codes Loader/common/ErrorRecord.h names; after kErrStopped a quit
// request has been posted to the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/common/RunNames.h"
#include "Loader/device/LoaderOwner.h"
#include "Loader/device/LoaderThread.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/LazyBuffer.h"
#include "platform/kernel/Lock.h"
#include "platform/kernel/Thread.h"

class CParamFile;
class CPortManage;
class CQueManage;

namespace frames {
struct DbAnswer;
}

// Command codes (ExecInfo) of the keyword table; 12 and 14 are not used.
enum ExecCommandCode : int {
    kCmdPort = 1,
    kCmdCmd = 2,
    kCmdTimer = 3,
    kCmdWaitSection = 4,
    kCmdDbbD1Cmd = 5,
    kCmdDbbD2Cmd = 6,
    kCmdDbbD2File = 7,
    kCmdDbbLmFile = 8,
    kCmdWaitDbb = 9,
    kCmdDbbFileVerUp = 10,
    kCmdDbbD2SetVersion = 11,
    kCmdDbbD2SetVersionFromFile = 13,
    kCmdDbbSdramFile = 15,
    kCmdDbbChecksum = 16,
    kCmdUnknown = 99,
};

// ExecInfo of a run that ended before its first row, or between rows.
enum ExecStartCode : int {
    kStartSectionMissing = 1,
    kStartLoaderSeqUnpaired = 2,
    kStartStopped = 3,
};

// What the main window offers the execution threads beyond CLoaderOwner.
class CLoaderExecOwner : public CLoaderOwner {
  public:
    // LOADER_SEQ=end: closes the port and hands the window's port object back; pPort is
    // replaced by it (the receive thread is given it as well).
    virtual void OnLoaderProgComplete(CPortManage*& pPort) = 0;
};

// What a GLOBAL thread and all the children of its WaitSection rows share: the image commands'
// work buffers and whether the run's failure has been reported (the error log and the failure
// box belong to the first failing row only). The GLOBAL thread creates it; the last thread of
// the run to end frees it, so a child never uses buffers that are gone.
// Both buffers are mapped lazily: a run pays only for the pages its commands touch.
struct CExecRunShared {
    platform::kernel::LazyBuffer imageBuffer;
    platform::kernel::LazyBuffer fillBuffer;  // windows read 0xFF where nothing was written
    // Parallel sections lend imageBuffer to their openers one at a time.
    platform::kernel::CriticalSection stagingLock;
    std::atomic<bool> bFailureReported{false};
};

// What every execution thread of one run is given; a child gets its parent's.
struct CExecRunSetup {
    CLoaderOwner* pOwner = nullptr;
    CParamFile* pScript = nullptr;
    CPortManage* pPort = nullptr;
    CQueManage* pQueue = nullptr;
    CComString strLogName;
    // The size of the run's work buffers.
    std::uint32_t nMaxDataSize = 0;
    CParamFile* pInitData = nullptr;
    CParamFile* pVerData = nullptr;
    CParamFile* pSumData = nullptr;
    platform::kernel::Clock* pClock = nullptr;
};

class CLoaderExecThread : public CLoaderThread {
  public:
    CLoaderExecThread();
    ~CLoaderExecThread() override;

    // The one way a run's threads are made: a suspended thread for `cstrSection`, registered
    // with the owner before anything else, with the run's set-up and its events. A child
    // (pParent set) also gets its end event, its ancestors' sections and the parent's work
    // buffers. The caller resumes it; null when no thread could be created.
    static CLoaderExecThread* CreateSuspended(const CExecRunSetup& setup,
                                              const CComString& cstrSection,
                                              const CLoaderExecThread* pParent);
    // Sets the stop event, for a stop that came before the thread was registered.
    void RequestStop();

    // Set-up while the thread is suspended, in this order: SetOwnerDlg, SetParentThread (null
    // for GLOBAL), SetScript, SetSection, SetPort, SetQueManage, SetLogName, CreateKillEvent
    // (section), CreateRecvEvent, CreateWaitSectionEvent (children), SetMaxDataSize; then the
    // run's other texts and clock (children take their parent's).
    void SetScript(CParamFile* pScript) { m_pScript = pScript; }
    void SetSection(const CComString& cstrSection) { m_strSection = cstrSection; }
    void SetPort(CPortManage* pPort) { m_pPort = pPort; }
    void SetQueManage(CQueManage* pQueManage) { m_pQueManage = pQueManage; }
    void SetLogName(const CComString& cstrLogName) { m_strLogName = cstrLogName; }
    // "RECV_EVENT_" + section, manual reset, cleared. Returns 1.
    int CreateRecvEvent();
    // "WAIT_SECTIONL_EVENT_" + section, manual reset, cleared. Returns 1.
    int CreateWaitSectionEvent();
    void SetMaxDataSize(std::uint32_t nMaxDataSize) { m_nMaxDataSize = nMaxDataSize; }
    // The loader configuration ("Loader_Ini"), the version table ("Loader_Ver") and the sum
    // table ("Loader_Sum").
    void SetInitData(CParamFile* pInitData) { m_pInitData = pInitData; }
    void SetVerData(CParamFile* pVerData) { m_pVerData = pVerData; }
    void SetSumData(CParamFile* pSumData) { m_pSumData = pSumData; }
    // Paces the WaitTime pause and the Timer rows.
    void SetClock(platform::kernel::Clock& clock) { m_pClock = &clock; }
    // Children share their parent's; a GLOBAL thread without one makes its own in Run.
    void SetRunShared(std::shared_ptr<CExecRunShared> pShared) { m_pShared = std::move(pShared); }
    // The sections of the parent and its parents, for the recursion check: copied, because a
    // parent may end and be destroyed while its child still runs.
    void SetAncestorSections(std::vector<CComString> sections) {
        m_ancestorSections = std::move(sections);
    }

    const CComString& GetSection() const { return m_strSection; }
    CPortManage* GetPort() const { return m_pPort; }
    std::shared_ptr<platform::kernel::Event> GetRecvEvent() const override;
    std::shared_ptr<platform::kernel::Event> GetWaitSectionEvent() const;

    // Maps the key to its handler (keyword table, keys without regard to case), stores the
    // command code in ExecInfo first. A failed row writes the error log, sets the failure flag
    // and shows the failure box (once per run). 1 = row done, 0 = row failed.
    int DispatchCommand(CComString cstrKey, CComString cstrValue);

    // --- basic commands (ExecBasic.cpp) ---
    int PortFunc(CComString cstrValue);
    int CMDFunc(CComString cstrValue);
    int TimerFunc(CComString cstrValue);
    int WaitSectionFunc(CComString cstrValue);

    // --- device commands and waits (ExecDevice.cpp) ---
    int DBB_D1_CMDFunc(CComString cstrValue);
    int DBB_D2_CMDFunc(CComString cstrValue);
    int Wait_DBBFunc(CComString cstrValue);
    // The split wait: SetQue registers the answer's key (before the frame is written), Wait
    // waits for it, judges it as Wait_DBB does and posts WM_LOADER_PROGRESS once the answer is
    // in.
    void Wait_DBBFunc2_SetQue(CComString cstrValue);
    int Wait_DBBFunc2_Wait(CComString cstrValue);
    // "key,seconds": the payload of the answer as text, one character per byte.
    int GetDBBVersion(CComString cstrValue, CComString& cstrVersion);

    // --- checksum (ExecChecksum.cpp) ---
    int DBB_Checksum_Func(CComString cstrValue);
    // "key,seconds": the device's 16-bit sum from the first two payload bytes.
    int GetChecksum(CComString cstrValue, std::uint16_t& usSum);

    // --- version commands (ExecVersion.cpp) ---
    int DBB_D2_SetVersionFunc(CComString cstrValue);
    int DBB_D2_SetVersionFromFileFunc(CComString cstrValue);
    int DBB_FileVerUp_Func(CComString cstrValue);

    // --- image and first-stage commands (ExecImage.cpp, ExecD0.cpp) ---
    int DBB_LM_FileFunc(CComString cstrValue);
    int DBB_D2_FileFunc(CComString cstrValue);
    int DBB_SDRAM_FileFunc(CComString cstrValue);
    // D0 frame of the command number (0 poll, 1 size, 3 checksum, 4, 5 enter, 6 finish; others
    // write nothing); the result of the port write.
    int DBB_D0_CMDFunc(int Command, int Wait_Time = 0, unsigned short checksum = 0);
    // Waits for the answer of the wait kind (0-5) at most Wait_Time seconds.
    int Wait_DBB_D0Func(int Command, int Wait_Time, short checksum = 0);
    int D0Poll(int nWaitTime);
    int D0StartSequence(int nWaitTime);
    int D0FinishSequence(unsigned short usChecksum, int nWaitTime);
    // --- end of image and first-stage commands ---

    // Shared helpers of the command handlers.

    // Answer waits. RegisterAnswer drops what this thread still has in the queue (a wait that
    // timed out earlier, whose late answer must not be taken for the next one), clears the
    // receive event and registers the key. WaitAnswer registers the key unless that very key is
    // registered and not yet waited for, then waits for the stop and receive events:
    // nTimeoutSec < 0 without limit, 0 looks once (an answer already delivered is taken, none is
    // ever read that has not come), otherwise seconds. Results:
    //   1  the answer is in `record` (its entry removed, the receive event cleared)
    //   0  time-out; nothing reported, ErrContents untouched (the registration stays)
    //  -2  the stop event: ErrContents -2 stored, a quit request posted to this thread
    //  -1  the wait itself failed or no answer was there to take
    int RegisterAnswer(const std::uint8_t* pbKey, int iSize);
    int WaitAnswer(const std::uint8_t* pbKey, int iSize, int nTimeoutSec,
                   std::vector<std::uint8_t>& record);

    // Step messages, passed to the owner: a text, a string-table text, or a string-table text
    // with its %s / %d conversions replaced by `args` in order (numbers formatted by the caller).
    void StepMessage(const CComString& cstrText, int nLevel = 1);
    void StepMessage(int nMessageId, int nLevel = 1);
    void StepMessage(int nMessageId, std::initializer_list<CComString> args, int nLevel = 1);
    // The string-table text (code page 932) with its conversions replaced.
    static CComString MessageText(int nMessageId, std::initializer_list<CComString> args = {});
    // Text written in the sources (UTF-8) as code page 932.
    static CComString Text(const char* pszUtf8);
    // Heading (level 0) and "   --> 待ち時間タイムアウト ( %d 秒 )".
    void ReportTimeout(int nHeadingId, int nSeconds);
    // The two error-code lines of a device error answer (after heading 143 when bHeading).
    void ReportDeviceError(const frames::DbAnswer& answer, bool bHeading);

    // The stop event, looked at without waiting.
    bool IsStopRequested() const;
    // For a stop seen during a write or wait: ErrContents -2, a quit request with exit code 10.
    // Returns 0.
    int StopSeen();
    // One whole frame for the boot loader, written under portLock; the port's result (0
    // without a port).
    int SendToPort(const std::uint8_t* pbBuff, std::uint32_t uiLength);

    // The run's work buffers: ImageBuffer holds GetMaxDataSize() bytes, FillBuffer half of it.
    // Null (empty) before Run has set them up.
    unsigned char* GetImageBuffer() const;
    std::uint32_t GetImageBufferSize() const;
    // Held while ImageBuffer is lent to an opener; null without buffers.
    platform::kernel::CriticalSection* GetStagingLock() const;
    // The first `size` bytes of FillBuffer, 0xFF wherever no command of the run wrote; empty
    // when they do not fit.
    std::span<std::uint8_t> GetFillWindow(std::uint64_t size) const;
    std::uint32_t GetFillBufferSize() const;
    std::uint32_t GetMaxDataSize() const { return m_nMaxDataSize; }

    CParamFile* GetScript() const { return m_pScript; }
    CParamFile* GetInitData() const { return m_pInitData; }
    CParamFile* GetVerData() const { return m_pVerData; }
    CParamFile* GetSumData() const { return m_pSumData; }
    CQueManage* GetQueManage() const { return m_pQueManage; }
    platform::kernel::Clock& GetClock() const { return *m_pClock; }

  protected:
    bool InitInstance() override { return true; }
    int Run() override;
    int ExitInstance() override;
    // The work buffers of a run that has none yet; null when memory is short.
    virtual std::shared_ptr<CExecRunShared> AllocateRunShared();

  private:
    struct ChildRecord {
        CComString strSection;
        std::shared_ptr<platform::kernel::Event> pWaitSectionEvent;
        platform::kernel::ThreadHandle hThread;
    };

    // Run's steps between the buffers and the end; true when the run failed (reported).
    bool RunRows();
    // A failed row: error log and failure box unless another row of this run reported first.
    void ReportFailure();
    // Fills the record and shows the row; the caller reports the failure. Returns 0.
    int UnknownCommand(const CComString& cstrKey);
    int LoaderSeqEnd();
    // The answer of a DB wait judged; `nHeadingId` heads a time-out report (133 or 143).
    int TakeDbAnswer(const CComString& cstrValue, int nHeadingId, bool bErrorHeading,
                     bool bProgress, std::vector<std::uint8_t>& record);
    // WaitAnswer with its failures reported: a time-out under `nHeadingId`, and kErrWaitFailed
    // in ErrContents (a stop has stored its own). 1 = the answer is in `record`, otherwise 0.
    int WaitAnswerReported(const std::vector<std::uint8_t>& key, int nTimeoutSec, int nHeadingId,
                           std::vector<std::uint8_t>& record);
    // A section name of this thread or of one of its parents.
    bool IsRunningSection(const CComString& cstrSection) const;
    // This thread's share of the run, for its children.
    CExecRunSetup RunSetup() const;

    // WaitSection's steps: the sections named (each once), whether they may start, starting
    // them all under the owner's threadLock, and waiting for their ends.
    static std::vector<CComString> DistinctSections(const CComStringArray& fields);
    int CheckSectionsStartable(const std::vector<CComString>& names);
    int StartChildren(const std::vector<CComString>& names);
    int WaitForChildren();
    CLoaderExecOwner* ExecOwner() const;

    CComString m_strLogName;
    CQueManage* m_pQueManage = nullptr;
    std::vector<ChildRecord> m_mapChildren;
    std::vector<CComString> m_ancestorSections;
    CPortManage* m_pPort = nullptr;
    CComString m_strSection;
    CParamFile* m_pScript = nullptr;
    std::uint32_t m_nMaxDataSize = 0;
    CParamFile* m_pInitData = nullptr;
    CParamFile* m_pVerData = nullptr;
    CParamFile* m_pSumData = nullptr;
    platform::kernel::Clock* m_pClock;
    std::shared_ptr<CExecRunShared> m_pShared;

    // Read by the receive thread through GetRecvEvent while this thread may release them.
    mutable platform::kernel::CriticalSection m_eventLock;
    std::shared_ptr<platform::kernel::Event> m_pRecvEvent ZR_GUARDED_BY(m_eventLock);
    std::shared_ptr<platform::kernel::Event> m_pWaitSectionEvent ZR_GUARDED_BY(m_eventLock);

    // The key registered by RegisterAnswer and not yet waited for.
    std::vector<std::uint8_t> m_registeredKey;
    bool m_bAnswerRegistered = false;
    // The Wait_DBB row that follows the row being dispatched (its wait is registered before the
    // frame is written); empty when the next row is no Wait_DBB.
    CComString m_strNextWait;
    // The run ended at the stop poll between rows.
    bool m_bStopped = false;
    // This thread wrote the run's error log (the first failure of the run).
    bool m_bReportedFailure = false;
};

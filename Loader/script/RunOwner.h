// What owns a script run's threads, with or without a window: the three locks, the response
// queue, the registry of running execution threads, the receive thread, and every thread of the
// run to be joined. The owner decides where the run's reports go (step messages, progress, the
// end, the failure box) and how it waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/device/QueManage.h"
#include "Loader/script/ExecThread.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Lock.h"
#include "platform/kernel/Thread.h"

class CParamFile;
class CPortManage;
class CLoaderReadThread;

class CRunOwner : public CLoaderExecOwner {
  public:
    // The four embedded texts a run reads.
    struct Texts {
        CParamFile* pScript = nullptr;
        CParamFile* pInitData = nullptr;
        CParamFile* pVerData = nullptr;
        CParamFile* pSumData = nullptr;
    };

    // [MODULE_DATA_SIZE] MAX: "0x" and hexadecimal digits, or decimal.
    static std::uint32_t ReadMaxDataSize(const CParamFile& initData);

    // CLoaderExecOwner
    void StopThreads(CLoaderThread* pCaller) override;
    void ThreadFinished(const CComString& cstrSection) override;
    void RegisterThread(const CComString& cstrSection, CLoaderThread* pThread) override;
    bool IsThreadRegistered(const CComString& cstrSection) override;
    platform::kernel::CriticalSection& portLock() override { return m_portLock; }
    platform::kernel::CriticalSection& queueLock() override { return m_queueLock; }
    platform::kernel::CriticalSection& threadLock() override { return m_threadLock; }
    CQueManage* GetQueManage() override { return &m_queue; }
    void OnLoaderProgComplete(CPortManage*& pPort) override;

  protected:
    CRunOwner() = default;
    // The threads call back into the derived owner: it stops and joins them in its own
    // destructor, before this one runs.
    ~CRunOwner() override = default;
    CRunOwner(const CRunOwner&) = delete;
    CRunOwner& operator=(const CRunOwner&) = delete;

    // Starts the receive thread on the port, then the execution thread of the section. The run
    // paces itself by `runClock`; the receive thread polls by `pReceiveClock` (null: the system
    // clock, since a clock whose sleeps return at once makes it spin). False when a thread could
    // not be started; whatever had started is then stopped and joined.
    bool StartThreads(const Texts& texts, CPortManage* pPort, const CComString& cstrSection,
                      platform::kernel::Clock& runClock,
                      platform::kernel::Clock* pReceiveClock = nullptr);
    // Returns once every thread started so far has ended and has been joined.
    void JoinThreads();
    // Sets the stop event of every running execution thread, also of one started later (any
    // thread may call it, not a signal handler). A write in progress finishes first.
    void RequestStop();
    bool StopRequested() const { return m_bStopRequested.load(); }
    // Threads started in the run, the receive thread included.
    int ThreadCount();

  private:
    platform::kernel::CriticalSection m_portLock;
    platform::kernel::CriticalSection m_queueLock;
    platform::kernel::CriticalSection m_threadLock;

    CPortManage* m_pRunPort = nullptr;
    CQueManage m_queue ZR_GUARDED_BY(m_queueLock);
    std::map<CComString, CLoaderThread*> m_threads ZR_GUARDED_BY(m_threadLock);
    CLoaderReadThread* m_pReadThread ZR_GUARDED_BY(m_threadLock) = nullptr;
    // Every thread of the run, to be joined; children are added before they are resumed.
    std::vector<platform::kernel::ThreadHandle> m_handles ZR_GUARDED_BY(m_threadLock);
    std::atomic<bool> m_bStopRequested{false};
};

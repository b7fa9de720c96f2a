// The worker threads of an update run: the common base with its stop event, and the receive
// thread that reads the loader's answers from the update port and hands each one to the thread
// waiting for it through the response queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/common/RunNames.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/Lock.h"
#include "platform/kernel/Thread.h"

class CLoaderOwner;
class CPortManage;
class CParamFile;
class CQueManage;

// Exit code of every loader thread's message loop.
inline constexpr int kLoaderThreadExitCode = 10;

// While set, an answer that starts with a 0x00 byte is taken as a B0 answer with one data byte
// (the first stage's answer to the first poll after entering the loading mode). Written by the
// execution thread, read by the receive thread.
void SetZeroLedAnswerFlag(int nFlag);
int GetZeroLedAnswerFlag();

class CLoaderThread : public platform::kernel::WorkerThread {
  public:
    CLoaderThread() = default;

    void SetOwnerDlg(CLoaderOwner* pOwnerDlg) { m_pOwnerDlg = pOwnerDlg; }
    CLoaderOwner* GetOwnerDlg() const { return m_pOwnerDlg; }
    // Only whether there is one is kept: a parent may end, and be destroyed, before its child.
    void SetParentThread(const CLoaderThread* pParentThread) {
        m_bHasParent = pParentThread != nullptr;
    }
    bool HasParentThread() const { return m_bHasParent; }

    // The stop event "KILL_EVENT_" + suffix: manual reset, cleared (also when the name existed
    // and was set by an earlier run). Returns 1.
    int CreateKillEvent(const CComString& cstrSuffix);
    // Null once the thread has ended.
    std::shared_ptr<platform::kernel::Event> GetKillEvent() const;

    // The event the response queue sets when an answer for this thread has been stored; threads
    // that never wait for answers have none.
    virtual std::shared_ptr<platform::kernel::Event> GetRecvEvent() const { return nullptr; }

  protected:
    // Releases the stop event, then the base's exit.
    int ExitInstance() override;

    bool m_bHasParent = false;
    CLoaderOwner* m_pOwnerDlg = nullptr;

  private:
    // The dialog may set the event from its thread while this one releases it.
    mutable platform::kernel::CriticalSection m_eventLock;
    std::shared_ptr<platform::kernel::Event> m_pKillEvent ZR_GUARDED_BY(m_eventLock);
};

// Set-up by the dialog, in this order, before the first execution thread:
//   auto* t = WorkerThread::CreateAutoDelete(std::make_unique<CLoaderReadThread>(),
//                                            Priority::kAboveNormal);
//   t->SetOwnerDlg(dlg); t->SetInitData(config); t->SetPort(port); t->SetQueManage(queue);
//   t->CreateKillEvent("RECV"); t->CreateReadEvent(); handle = t->Handle(); t->Resume();
//   under queueLock: queue->SetReadThreadObject(t);
// The thread ends after StopThreads has set "KILL_EVENT_RECV" (the port's stop event too, so a
// read in progress ends as well) and destroys its own object; the dialog waits on the handle.
class CLoaderReadThread : public CLoaderThread {
  public:
    CLoaderReadThread() = default;

    // The loader configuration: [SYSTEM] WaitTime is the polling interval (milliseconds).
    void SetInitData(CParamFile* pInitData) { m_pInitData = pInitData; }
    // May be replaced while the thread runs (the port handed back after the loader sequence).
    void SetPort(CPortManage* pPort) { m_pPort.store(pPort); }
    CPortManage* GetPort() const { return m_pPort.load(); }
    void SetQueManage(CQueManage* pQueManage) { m_pQueManage = pQueManage; }
    // Paces the polling. The thread polls "READ_EVENT" between sleeps, so a clock whose sleeps
    // return at once makes it spin: a run's manual clock is not for this thread.
    void SetClock(platform::kernel::Clock& clock) { m_pClock = &clock; }

    // "READ_EVENT": automatic reset. The port object creates it first and this returns that very
    // object; asking for the same kind here keeps it so even if nobody did. Cleared. Returns 1.
    int CreateReadEvent();
    std::shared_ptr<platform::kernel::Event> GetReadEvent() const;

    // Reads one frame from the port, and at once every further frame of the same burst (bytes
    // already waiting after a frame), then hands each in order to the first matching wait, all
    // under one hold of queueLock. 1 when a record was delivered; 0 when nothing was: the read
    // failed, the bytes start no frame, the frame's length is 0, malformed or above the largest
    // frame (nothing is allocated for it), or no wait matches (the frame is dropped). What was
    // read of a dropped frame is lost; the next read starts with the next two bytes.
    int ReadRecvCommand();

  protected:
    bool InitInstance() override { return true; }
    int Run() override;
    // Detaches the thread from the queue, releases the read event, then the base's exit.
    int ExitInstance() override;

  private:
    struct Received {
        std::vector<std::uint8_t> key;  // empty: the record itself is the key
        std::vector<std::uint8_t> record;
    };
    // Appends the frame read from the port; false when none could be taken.
    bool ReadFrame(CPortManage& port, std::vector<Received>& out);
    bool ReadDb(CPortManage& port, std::vector<Received>& out);
    bool ReadHp(CPortManage& port, std::vector<Received>& out);
    bool ReadD0(CPortManage& port, std::uint8_t opcode, std::uint8_t count,
                std::vector<Received>& out);
    bool ReadZeroLed(CPortManage& port, std::vector<Received>& out);
    // Under queueLock: each record goes to the first matching wait; the count delivered.
    int Deliver(std::vector<Received>& received);

    CParamFile* m_pInitData = nullptr;
    platform::kernel::Clock* m_pClock = &platform::kernel::SystemClock();
    std::atomic<CPortManage*> m_pPort{nullptr};
    CQueManage* m_pQueManage = nullptr;
    mutable platform::kernel::CriticalSection m_readEventLock;
    std::shared_ptr<platform::kernel::Event> m_pReadEvent ZR_GUARDED_BY(m_readEventLock);
};

// What the worker threads of an update run need from the window that owns them (the main dialog):
// step messages, the registry of running execution threads, the failure message box, the run's
// outcome, and the three locks. The dialog owns the response queue and the locks; no code holds
// two of the locks at once.
#pragma once

#include "Loader/common/ComString.h"
#include "platform/kernel/Lock.h"

class CLoaderThread;
class CQueManage;

class CLoaderOwner {
  public:
    virtual ~CLoaderOwner() = default;

    // A step of the run; level 0 starts an error report, 1 is every other line. The dialog may
    // discard it.
    virtual void StepMessage(const CComString& cstrText, int nLevel) = 0;

    // Sets the stop event of every registered execution thread except pCaller and forgets them,
    // then sets the receive thread's stop event and forgets the receive thread. Once forgotten, a
    // thread may end and be destroyed at any time, so the dialog never touches it again.
    virtual void StopThreads(CLoaderThread* pCaller) = 0;

    // An execution thread is ending; when it was the last one, StopThreads(nullptr). Called with
    // threadLock held.
    virtual void ThreadFinished(const CComString& cstrSection) = 0;

    // A child execution thread started by WaitSection.
    virtual void RegisterThread(const CComString& cstrSection, CLoaderThread* pThread) = 0;

    // A thread of that section (names compared without regard to case) is registered and not
    // yet finished or forgotten. The caller holds threadLock.
    virtual bool IsThreadRegistered(const CComString& cstrSection) = 0;

    // The modal error box with a string-table text, the program's title as caption and the
    // error icon; blocks the calling thread until the user closes it.
    virtual void ShowErrorBox(int nMessageId) = 0;

    // The run's failure flag, set before PostLoaderEnd.
    virtual void SetFailed(bool bFailed) = 0;

    // WM_LOADER_END and WM_LOADER_PROGRESS, posted to the dialog.
    virtual void PostLoaderEnd() = 0;
    virtual void PostProgress() = 0;

    // Around every port open, close and write.
    virtual platform::kernel::CriticalSection& portLock() = 0;
    // Around every registration, lookup, delivery and removal in the response queue.
    virtual platform::kernel::CriticalSection& queueLock() = 0;
    // Around the registry of running execution threads.
    virtual platform::kernel::CriticalSection& threadLock() = 0;

    virtual CQueManage* GetQueManage() = 0;
};

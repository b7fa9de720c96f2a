// The response queue: waits registered by execution threads, served by the receive thread.
//
// An execution thread registers a wait under a key, then blocks on its receive event; the receive
// thread hands each frame to the oldest matching wait and sets that event; the owner takes the
// record and removes its entry. The queue also sets "READ_EVENT" whenever a wait is registered
// (so the receive thread looks at the port) and resets it once no wait is pending.
//
// Every operation must be called with the dialog's queueLock held; the queue has no lock of its
// own. Records are owned by their entry and handed over by move, never copied by the queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <vector>

#include "platform/kernel/Event.h"

class CLoaderThread;
class CLoaderReadThread;

// One registered wait.
class CQueData {
  public:
    // Copies iSize key bytes; a null key or a negative size gives an empty key (which matches
    // every frame: zero bytes always compare equal).
    CQueData(const std::uint8_t* pbKey, int iSize, CLoaderThread* pExecThread);
    CQueData(const CQueData&) = delete;
    CQueData& operator=(const CQueData&) = delete;

    std::span<const std::uint8_t> GetKey() const { return m_pbKey; }
    int GetSize() const { return m_iSize; }
    CLoaderThread* GetExecThread() const { return m_pExecThread; }

    // True once a record has been delivered.
    bool IsServed() const { return m_bServed; }
    // The delivered record (empty before delivery; a D0 answer with count 0 is empty too).
    const std::vector<std::uint8_t>& GetRecvData() const { return m_pvBuff; }
    std::uint32_t GetLength() const { return m_dwLength; }

  private:
    friend class CQueManage;

    int m_iSize = 0;
    CLoaderThread* m_pExecThread = nullptr;
    std::vector<std::uint8_t> m_pvBuff;
    std::uint32_t m_dwLength = 0;
    std::vector<std::uint8_t> m_pbKey;
    bool m_bServed = false;
};

class CQueManage {
  public:
    CQueManage() = default;
    CQueManage(const CQueManage&) = delete;
    CQueManage& operator=(const CQueManage&) = delete;

    // Appends the entry, counts it as pending and sets the read event. 0 for a null entry.
    int AddQueData(std::unique_ptr<CQueData> pQueData);
    int AddQueData(const std::uint8_t* pbKey, int iSize, CLoaderThread* pExecThread);

    // The entry a frame goes to: the oldest pending wait whose key equals the start of pbKey
    // (iSize bytes available; a longer key never matches). Without a pending match, the oldest
    // already served match, whose record the new frame then replaces. Null when none matches.
    CQueData* FindQueData(const std::uint8_t* pbKey, int iSize);
    // The oldest entry registered by that thread.
    CQueData* FindQueData(const CLoaderThread* pExecThread);

    // Removes and frees the oldest entry of that thread; 1 when there was one.
    int DelQueData(const CLoaderThread* pExecThread);
    // Removes every entry of that thread (a thread that ends must leave none behind, or a later
    // frame would wake a destroyed thread); returns how many.
    int DelAllQueData(const CLoaderThread* pExecThread);

    // Stores the record in the entry (replacing an earlier one) and sets its owner's receive
    // event. A pending entry stops counting as pending; when none is left the read event is
    // reset. Returns 1; 0 for a null entry.
    int SetRecvData(CQueData* pQueData, std::vector<std::uint8_t> record);

    // The receive thread whose read event the queue sets and resets; null to detach it.
    void SetReadThreadObject(CLoaderReadThread* pReadThread);
    CLoaderReadThread* GetReadThreadObject() const { return m_pReadThread; }

    // Registered waits not yet served.
    int GetWaitCount() const { return m_nWaitCount; }
    // An execution thread that ends sets it to 0.
    void SetWaitCount(int nWaitCount) { m_nWaitCount = nWaitCount; }

    // Entries in the list, served or not.
    std::size_t GetEntryCount() const { return m_QueList.size(); }

  private:
    void Unregister(const CQueData& entry);

    int m_nWaitCount = 0;
    CLoaderReadThread* m_pReadThread = nullptr;
    // Kept apart from the thread so that a registration never reaches into a receive thread
    // that has already ended.
    std::shared_ptr<platform::kernel::Event> m_pReadEvent;
    std::list<std::unique_ptr<CQueData>> m_QueList;
};

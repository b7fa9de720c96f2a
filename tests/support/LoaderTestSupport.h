// Test doubles every loader test needs: an owner in place of the main window, a port over a byte
// buffer, waits as an execution thread makes them, a running receive thread, and loader
// configurations laid over the embedded one. No GoogleTest here: the fuzzer and the benchmark
// use it too.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/common/ParamFile.h"
#include "Loader/device/LoaderOwner.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/device/PortManage.h"
#include "Loader/device/QueManage.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/Lock.h"
#include "platform/kernel/Thread.h"
#include "platform/resources/resources.h"

namespace loadertest {

using Bytes = std::vector<std::uint8_t>;
using platform::kernel::CriticalSectionLock;
using platform::kernel::Event;

// Only a guard against hangs; nothing is asserted about time.
inline constexpr std::uint32_t kGuardMs = 20000;

inline Bytes B(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::string Hex(const Bytes& bytes) {
    return CComString::BytesToHex(bytes.data(), static_cast<int>(bytes.size())).Str();
}

// A loader configuration ("Loader_Ini") from LF text, laid over the embedded one while it loads.
class Config {
  public:
    explicit Config(std::string_view lfText) { Load(lfText); }

    void Load(std::string_view lfText) {
        std::string crlf;
        for (char c : lfText) {
            if (c == '\n') {
                crlf += '\r';
            }
            crlf += c;
        }
        const platform::resources::ScopedResource text(
            "INI", 147, {reinterpret_cast<const std::uint8_t*>(crlf.data()), crlf.size()});
        m_file.LoadParamSection("Loader_Ini");
    }
    CParamFile* get() { return &m_file; }

  private:
    CParamFile m_file;
};

// Step messages as "<level>:<UTF-8 text>".
class StepLog {
  public:
    void Add(const CComString& text, int level) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::to_string(level) + ":" + text.ToUtf8());
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    bool Has(const std::string& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // The lines from the first one equal to `first`, `count` of them (fewer at the end).
    std::vector<std::string> From(const std::string& first, std::size_t count) const {
        const auto lines = Lines();
        auto it = std::find(lines.begin(), lines.end(), first);
        std::vector<std::string> out;
        for (; it != lines.end() && out.size() < count; ++it) {
            out.push_back(*it);
        }
        return out;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// The window's part: the locks, the queue and the thread registry; records what it was told.
// Base is CLoaderOwner or an interface derived from it.
template <class Base>
class OwnerFor : public Base {
  public:
    ~OwnerFor() override { StopThreads(nullptr); }

    void StepMessage(const CComString& cstrText, int nLevel) override {
        steps.Add(cstrText, nLevel);
    }
    void StopThreads(CLoaderThread* pCaller) override {
        CriticalSectionLock lock(m_threadLock);
        for (auto& [section, thread] : m_threads) {
            if (thread != pCaller) {
                if (auto kill = thread->GetKillEvent()) {
                    kill->Set();
                }
            }
        }
        m_threads.clear();
        if (m_pReadThread != nullptr) {
            if (auto kill = m_pReadThread->GetKillEvent()) {
                kill->Set();
            }
            m_pReadThread = nullptr;
        }
        m_stopCalls.push_back(pCaller);
    }
    void ThreadFinished(const CComString& cstrSection) override {
        CriticalSectionLock lock(m_threadLock);
        m_threads.erase(cstrSection.Str());
        if (m_threads.empty()) {
            StopThreads(nullptr);
        }
    }
    void RegisterThread(const CComString& cstrSection, CLoaderThread* pThread) override {
        CriticalSectionLock lock(m_threadLock);
        m_threads[cstrSection.Str()] = pThread;
    }
    bool IsThreadRegistered(const CComString& cstrSection) override {
        CriticalSectionLock lock(m_threadLock);
        for (const auto& entry : m_threads) {
            if (CComString(entry.first).CompareNoCase(cstrSection) == 0) {
                return true;
            }
        }
        return false;
    }
    void ShowErrorBox(int nMessageId) override {
        CriticalSectionLock lock(m_recordLock);
        m_boxes.push_back(nMessageId);
    }
    void SetFailed(bool bFailed) override { m_failed = bFailed; }
    void PostLoaderEnd() override { ++ends; }
    void PostProgress() override { ++progress; }
    platform::kernel::CriticalSection& portLock() override { return m_portLock; }
    platform::kernel::CriticalSection& queueLock() override { return m_queueLock; }
    platform::kernel::CriticalSection& threadLock() override { return m_threadLock; }
    CQueManage* GetQueManage() override { return &queue; }

    // Starts the receive thread the way the window does; the thread owns its object.
    platform::kernel::ThreadHandle StartReadThread(CPortManage* pPort, CParamFile* pInitData) {
        auto* thread = platform::kernel::WorkerThread::CreateAutoDelete(
            std::make_unique<CLoaderReadThread>(), platform::kernel::Priority::kAboveNormal);
        if (thread == nullptr) {
            return {};
        }
        thread->SetOwnerDlg(this);
        thread->SetInitData(pInitData);
        thread->SetPort(pPort);
        thread->SetQueManage(&queue);
        thread->CreateKillEvent("RECV");
        thread->CreateReadEvent();
        {
            CriticalSectionLock lock(m_threadLock);
            m_pReadThread = thread;
        }
        platform::kernel::ThreadHandle handle = thread->Handle();
        {
            // Attached before it runs, so that its exit finds itself in the queue.
            CriticalSectionLock lock(m_queueLock);
            queue.SetReadThreadObject(thread);
        }
        thread->Resume();
        return handle;
    }

    std::vector<std::string> Steps() const { return steps.Lines(); }
    void ClearSteps() { steps.Clear(); }
    // Whether the step messages hold this line ("<level>:<UTF-8 text>").
    bool HasStep(const std::string& line) const { return steps.Has(line); }
    std::vector<int> Boxes() {
        CriticalSectionLock lock(m_recordLock);
        return m_boxes;
    }
    std::vector<CLoaderThread*> StopCalls() {
        CriticalSectionLock lock(m_threadLock);
        return m_stopCalls;
    }
    bool Failed() const { return m_failed.load(); }
    int Progress() const { return progress.load(); }

    StepLog steps;
    CQueManage queue;
    std::atomic<int> ends{0};
    std::atomic<int> progress{0};

  protected:
    // The registry without its end-of-run rule, for owners whose last thread ends differently.
    void Forget(const CComString& cstrSection) {
        CriticalSectionLock lock(m_threadLock);
        m_threads.erase(cstrSection.Str());
    }

  private:
    platform::kernel::CriticalSection m_portLock;
    platform::kernel::CriticalSection m_queueLock;
    platform::kernel::CriticalSection m_threadLock;
    platform::kernel::CriticalSection m_recordLock;
    std::map<std::string, CLoaderThread*> m_threads;
    CLoaderReadThread* m_pReadThread = nullptr;
    std::vector<CLoaderThread*> m_stopCalls;
    std::vector<int> m_boxes;
    std::atomic<bool> m_failed{false};
};

using TestOwner = OwnerFor<CLoaderOwner>;

// A thread that waits for answers, as an execution thread does; never started: its recv event
// is all the queue needs.
class Waiter : public CLoaderThread {
  public:
    explicit Waiter(const std::string& section)
        : m_recv(Event::Named("RECV_EVENT_" + section, true, false)) {
        m_recv->Reset();
        CreateKillEvent(CComString(section));
    }
    std::shared_ptr<Event> GetRecvEvent() const override { return m_recv; }

    void Register(CLoaderOwner& owner, const Bytes& key) {
        CriticalSectionLock lock(owner.queueLock());
        owner.GetQueManage()->AddQueData(key.data(), static_cast<int>(key.size()), this);
    }
    // Waits for the receive event, then takes the record as the handlers do. False on time-out.
    bool Take(CLoaderOwner& owner, Bytes& record, std::uint32_t timeoutMs = kGuardMs) {
        if (!m_recv->Wait(timeoutMs)) {
            return false;
        }
        CriticalSectionLock lock(owner.queueLock());
        CQueData* entry = owner.GetQueManage()->FindQueData(this);
        if (entry == nullptr) {
            return false;
        }
        record = entry->GetRecvData();
        owner.GetQueManage()->DelQueData(this);
        m_recv->Reset();
        return true;
    }

  private:
    std::shared_ptr<Event> m_recv;
};

// A port whose input is a byte buffer: what the test feeds, or the answers a subclass makes to
// the writes it records. Like the real port it shares "KILL_EVENT_RECV" and "READ_EVENT" and
// signals the read event when bytes come. A read that finds nothing at all fails at once (the
// real port's 20 empty polls); one that has part of its bytes waits for more until the stop
// event, or fails at once after Unplug.
class FeedPort : public CPortManage {
  public:
    FeedPort()
        : m_kill(Event::Named("KILL_EVENT_RECV", true, false)),
          m_read(Event::Named("READ_EVENT", false, false)),
          m_more(Event::Create(false, false)),
          m_starved(Event::Create(true, false)) {
        m_read->Reset();
    }

    // Signals the read event even for no bytes: a read then finds nothing.
    void Feed(const Bytes& bytes) {
        {
            CriticalSectionLock lock(m_lock);
            m_input.insert(m_input.end(), bytes.begin(), bytes.end());
        }
        m_more->Set();
        m_read->Set();
    }

    int Recv(std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        {
            CriticalSectionLock lock(m_lock);
            m_requests.push_back(uiLength);
        }
        std::uint32_t got = 0;
        for (;;) {
            if (m_kill->TryConsume()) {
                return 0;
            }
            {
                CriticalSectionLock lock(m_lock);
                const std::size_t n = std::min<std::size_t>(m_input.size(), uiLength - got);
                std::copy_n(m_input.begin(), n, pbBuff + got);
                m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(n));
                got += static_cast<std::uint32_t>(n);
                if (got == uiLength) {
                    if (!m_input.empty()) {
                        m_read->Set();
                    }
                    return 1;
                }
                if (got == 0 || m_unplugged) {
                    return 0;
                }
            }
            m_starved->Set();
            const std::shared_ptr<Event> events[] = {m_kill, m_more};
            platform::kernel::WaitAny(events, platform::kernel::kInfinite);
        }
    }

    // No byte will come any more.
    void Unplug() {
        {
            CriticalSectionLock lock(m_lock);
            m_unplugged = true;
        }
        m_more->Set();
    }

    // Set once a read is stuck in the middle of its bytes.
    const std::shared_ptr<Event>& Starved() const { return m_starved; }
    std::vector<std::uint32_t> Requests() {
        CriticalSectionLock lock(m_lock);
        return m_requests;
    }
    // Bytes the receive thread has not read yet.
    std::size_t Left() {
        CriticalSectionLock lock(m_lock);
        return m_input.size();
    }
    std::vector<Bytes> Writes() {
        CriticalSectionLock lock(m_lock);
        return m_writes;
    }

  protected:
    std::shared_ptr<Event> m_kill;
    platform::kernel::CriticalSection m_lock;
    std::vector<Bytes> m_writes;  // under m_lock, filled by the subclasses' Send

  private:
    std::shared_ptr<Event> m_read;
    std::shared_ptr<Event> m_more;
    std::shared_ptr<Event> m_starved;
    std::deque<std::uint8_t> m_input;
    std::vector<std::uint32_t> m_requests;
    bool m_unplugged = false;
};

// A running receive thread, stopped through the owner and joined when the scope ends.
class ReadThreadRun {
  public:
    template <class Owner>
    ReadThreadRun(Owner& owner, CPortManage* pPort, CParamFile* pInitData)
        : m_owner(owner), m_handle(owner.StartReadThread(pPort, pInitData)) {}
    ~ReadThreadRun() { Stop(); }
    ReadThreadRun(const ReadThreadRun&) = delete;
    ReadThreadRun& operator=(const ReadThreadRun&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_handle); }
    const platform::kernel::ThreadHandle& Handle() const { return m_handle; }

    // StopThreads, then waits for the end; the exit code, or -1 when it did not end in time
    // (the wait then goes on: nothing may outlive the test).
    int Stop() {
        if (!m_handle) {
            return -1;
        }
        m_owner.StopThreads(nullptr);
        const bool ended = m_handle.Wait(kGuardMs);
        m_handle.Wait(platform::kernel::kInfinite);
        const int code = ended ? m_handle.ExitCode().value_or(-1) : -1;
        m_handle = {};
        return code;
    }

  private:
    CLoaderOwner& m_owner;
    platform::kernel::ThreadHandle m_handle;
};

}  // namespace loadertest

// Test doubles for the image download and first-stage commands: embedded images and texts laid
// over the shipped ones, S-record lines, and loader configurations.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Loader/common/ComString.h"
#include "Loader/device/LoaderOwner.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/device/PortManage.h"
#include "Loader/device/QueManage.h"
#include "Loader/script/ParamFile.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/Lock.h"
#include "platform/kernel/Thread.h"
#include "platform/resources/resources.h"

namespace imgtest {

using Bytes = std::vector<std::uint8_t>;

// One S-record line (no line end) with a correct record checksum. Address widths follow the
// type: 2 bytes for S0, S1, S5, S9; 3 for S2, S8; 4 for S3, S7.
inline std::string SRec(int type, std::uint32_t address, std::initializer_list<int> data) {
    const int addressBytes = (type == 2 || type == 8) ? 3 : (type == 3 || type == 7) ? 4 : 2;
    Bytes body;
    body.push_back(static_cast<std::uint8_t>(addressBytes + static_cast<int>(data.size()) + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    for (int d : data) {
        body.push_back(static_cast<std::uint8_t>(d));
    }
    unsigned sum = 0;
    for (std::uint8_t b : body) {
        sum += b;
    }
    body.push_back(static_cast<std::uint8_t>(~sum & 0xFF));
    std::string line = "S" + std::to_string(type);
    static const char kHex[] = "0123456789ABCDEF";
    for (std::uint8_t b : body) {
        line += kHex[b >> 4];
        line += kHex[b & 15];
    }
    return line;
}

// An embedded DATA resource (an image of the module table) for the object's lifetime.
class Image {
  public:
    Image(int nResource, Bytes bytes)
        : m_bytes(std::move(bytes)),
          m_resource("DATA", nResource, {m_bytes.data(), m_bytes.size()}) {}
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

  private:
    Bytes m_bytes;
    platform::resources::ScopedResource m_resource;
};

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

// Text of a string-table message as the step messages carry it.
inline std::string Text(int nId) {
    return std::string(platform::resources::LoadString(nId));
}

using platform::kernel::CriticalSectionLock;
using platform::kernel::Event;

// Only a guard against hangs; nothing is asserted about time.
inline constexpr std::uint32_t kGuardMs = 20000;

// The dialog's part: the locks, the queue and the thread registry; records what it was told.
class TestOwner : public CLoaderOwner {
  public:
    ~TestOwner() override { StopThreads(nullptr); }

    void StepMessage(const CComString& cstrText, int nLevel) override {
        CriticalSectionLock lock(m_recordLock);
        m_steps.push_back(std::to_string(nLevel) + ":" + cstrText.ToUtf8());
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
    void ShowErrorBox(int nMessageId) override {
        CriticalSectionLock lock(m_recordLock);
        m_boxes.push_back(nMessageId);
    }
    void SetFailed(bool bFailed) override { m_failed = bFailed; }
    void PostLoaderEnd() override { ++m_ends; }
    void PostProgress() override { ++m_progress; }
    platform::kernel::CriticalSection& portLock() override { return m_portLock; }
    platform::kernel::CriticalSection& queueLock() override { return m_queueLock; }
    platform::kernel::CriticalSection& threadLock() override { return m_threadLock; }
    CQueManage* GetQueManage() override { return &m_queue; }

    // Starts the receive thread the way the dialog does; the thread owns its object.
    platform::kernel::ThreadHandle StartReadThread(CPortManage* pPort, CParamFile* pInitData) {
        auto* thread = platform::kernel::WorkerThread::CreateAutoDelete(
            std::make_unique<CLoaderReadThread>(), platform::kernel::Priority::kAboveNormal);
        if (thread == nullptr) {
            return {};
        }
        thread->SetOwnerDlg(this);
        thread->SetInitData(pInitData);
        thread->SetPort(pPort);
        thread->SetQueManage(&m_queue);
        thread->CreateKillEvent("RECV");
        thread->CreateReadEvent();
        {
            CriticalSectionLock lock(m_threadLock);
            m_pReadThread = thread;
        }
        platform::kernel::ThreadHandle handle = thread->Handle();
        {
            CriticalSectionLock lock(m_queueLock);
            m_queue.SetReadThreadObject(thread);
        }
        thread->Resume();
        return handle;
    }

    std::vector<std::string> Steps() {
        CriticalSectionLock lock(m_recordLock);
        return m_steps;
    }
    void ClearSteps() {
        CriticalSectionLock lock(m_recordLock);
        m_steps.clear();
    }
    // Whether the step messages hold this line ("<level>:<UTF-8 text>").
    bool HasStep(const std::string& line) {
        const auto steps = Steps();
        return std::find(steps.begin(), steps.end(), line) != steps.end();
    }
    std::vector<int> Boxes() {
        CriticalSectionLock lock(m_recordLock);
        return m_boxes;
    }
    int Progress() const { return m_progress.load(); }

  private:
    platform::kernel::CriticalSection m_portLock;
    platform::kernel::CriticalSection m_queueLock;
    platform::kernel::CriticalSection m_threadLock;
    platform::kernel::CriticalSection m_recordLock;
    CQueManage m_queue;
    std::map<std::string, CLoaderThread*> m_threads;
    CLoaderReadThread* m_pReadThread = nullptr;
    std::vector<std::string> m_steps;
    std::vector<int> m_boxes;
    std::atomic<bool> m_failed{false};
    std::atomic<int> m_ends{0};
    std::atomic<int> m_progress{0};
};

// The device on the other end of the update port. Every Send is recorded as one write and shown
// to the responder, whose answer bytes the receive thread then reads, as from the real port: a
// read that finds nothing fails at once, one that has part of its bytes waits for the rest until
// "KILL_EVENT_RECV". The port shares that event and "READ_EVENT" with the real port.
class FakeDevicePort : public CPortManage {
  public:
    using Responder = std::function<Bytes(const Bytes& write, int nIndex)>;

    FakeDevicePort()
        : m_kill(Event::Named("KILL_EVENT_RECV", true, false)),
          m_read(Event::Named("READ_EVENT", false, false)),
          m_more(Event::Create(false, false)) {
        m_kill->Reset();
        m_read->Reset();
    }

    void SetResponder(Responder responder) {
        CriticalSectionLock lock(m_lock);
        m_responder = std::move(responder);
    }
    // The write with this index (0-based) fails, as an unplugged device's would.
    void FailWrite(int nIndex) {
        CriticalSectionLock lock(m_lock);
        m_failWrite = nIndex;
    }

    int Send(const std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        Bytes write(pbBuff, pbBuff + uiLength);
        Responder responder;
        int index = 0;
        {
            CriticalSectionLock lock(m_lock);
            index = static_cast<int>(m_writes.size());
            m_writes.push_back(write);
            if (index == m_failWrite) {
                return 0;
            }
            responder = m_responder;
        }
        if (responder) {
            Feed(responder(write, index));
        }
        return 1;
    }

    int Recv(std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        std::uint32_t got = 0;
        for (;;) {
            if (m_kill->IsSet()) {
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
                if (got == 0) {
                    return 0;
                }
            }
            const std::shared_ptr<Event> events[] = {m_kill, m_more};
            platform::kernel::WaitAny(events, platform::kernel::kInfinite);
        }
    }

    // Answer bytes that come without a write.
    void Feed(const Bytes& bytes) {
        if (bytes.empty()) {
            return;
        }
        {
            CriticalSectionLock lock(m_lock);
            m_input.insert(m_input.end(), bytes.begin(), bytes.end());
        }
        m_more->Set();
        m_read->Set();
    }

    std::vector<Bytes> Writes() {
        CriticalSectionLock lock(m_lock);
        return m_writes;
    }

  private:
    std::shared_ptr<Event> m_kill;
    std::shared_ptr<Event> m_read;
    std::shared_ptr<Event> m_more;
    platform::kernel::CriticalSection m_lock;
    Responder m_responder;
    std::deque<std::uint8_t> m_input;
    std::vector<Bytes> m_writes;
    int m_failWrite = -1;
};

// A running receive thread, stopped through the owner and joined when the scope ends.
class ReadThreadRun {
  public:
    ReadThreadRun(TestOwner& owner, CPortManage* pPort, CParamFile* pInitData)
        : m_owner(owner), m_handle(owner.StartReadThread(pPort, pInitData)) {}
    ~ReadThreadRun() { Stop(); }
    ReadThreadRun(const ReadThreadRun&) = delete;
    ReadThreadRun& operator=(const ReadThreadRun&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_handle); }

    void Stop() {
        if (!m_handle) {
            return;
        }
        m_owner.StopThreads(nullptr);
        m_handle.Wait(platform::kernel::kInfinite);
        m_handle = {};
    }

  private:
    TestOwner& m_owner;
    platform::kernel::ThreadHandle m_handle;
};

}  // namespace imgtest

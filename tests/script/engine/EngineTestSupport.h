// Test doubles of the engine tests: a device behind a port that answers the frames written to
// it, an owner in place of the main window, a clock with a hook, texts laid over the embedded
// ones, and two fixtures: whole script runs through CLoaderRun, and handlers called directly on
// an execution-thread object while a real receive thread delivers the answers.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Loader/common/ComString.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/device/Frame.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/device/PortManage.h"
#include "Loader/device/QueManage.h"
#include "Loader/script/ExecThread.h"
#include "Loader/script/RunController.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/Lock.h"
#include "platform/kernel/Thread.h"
#include "platform/resources/resources.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDir.h"

#include "tests/support/FrameBuilders.h"
#include "tests/support/LoaderTestSupport.h"

namespace enginetest {

// The shared doubles are this namespace's too.
using namespace loadertest;

// Test texts are written in UTF-8 with LF; the embedded texts are code page 932 with CR LF.
inline std::string Cp932Text(std::string_view utf8) {
    const CComString text = CComString::FromUtf8(utf8);
    std::string out;
    for (char c : text.Str()) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

inline std::string Utf8(const CComString& s) {
    return s.ToUtf8();
}

// A text laid over an embedded one for the object's lifetime.
class LaidText {
  public:
    LaidText(std::string_view utf8, int number)
        : m_bytes(Cp932Text(utf8)),
          m_resource("INI", number,
                     {reinterpret_cast<const std::uint8_t*>(m_bytes.data()), m_bytes.size()}) {}

  private:
    std::string m_bytes;
    platform::resources::ScopedResource m_resource;
};

inline constexpr int kScriptText = 145;
inline constexpr int kSumText = 146;
inline constexpr int kIniText = 147;
inline constexpr int kVerText = 148;

// The configuration of the tests: 1 ms pauses and small work buffers.
inline constexpr std::string_view kTestIni =
    "[USB]\nBlkSize=4096\n[PARAM_FILE]\nDIR=Param\n[MODULE_DATA_SIZE]\nMAX = 0x20000\n"
    "[SYSTEM]\nWaitTime=1\n[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6B97FFF\n";

// The loader's answer to a DB command: an acknowledgement with the same command word.
inline Bytes DbAck(const Bytes& frame, const Bytes& payload = {}) {
    if (frame.size() < 4 || frame[0] != frames::kDbId0 || frame[1] != frames::kDbId1) {
        return {};
    }
    const auto word = static_cast<std::uint16_t>(frame[2] << 8 | frame[3]);
    return frametest::MakeDbFrame(word, payload);
}

// The device behind the update port. Every Send is recorded as one write; the responder's
// answer to it is queued for the receive thread, which is woken through "READ_EVENT" as the
// port's watcher does.
class DevicePort : public loadertest::FeedPort {
  public:
    using Responder = std::function<Bytes(const Bytes& frame)>;

    DevicePort() {
        m_responder = [](const Bytes& frame) { return DbAck(frame); };
    }

    void SetResponder(Responder responder) {
        CriticalSectionLock lock(m_lock);
        m_responder = std::move(responder);
    }
    void SetOpenResult(int nResult) { m_nOpenResult = nResult; }
    void SetSendResult(int nResult) { m_nSendResult = nResult; }
    // Runs on the writing thread right after a write was recorded (before its answer).
    void SetOnSend(std::function<void(const Bytes&)> onSend) {
        CriticalSectionLock lock(m_lock);
        m_onSend = std::move(onSend);
    }

    int Open() override {
        Record("open");
        return m_nOpenResult;
    }
    int Close() override {
        Record("close");
        return 1;
    }
    int Send(const std::uint8_t* pbBuff, std::uint32_t uiLength) override {
        const Bytes frame(pbBuff, pbBuff + uiLength);
        Responder responder;
        std::function<void(const Bytes&)> onSend;
        {
            CriticalSectionLock lock(m_lock);
            m_writes.push_back(frame);
            m_calls.push_back("send");
            responder = m_responder;
            onSend = m_onSend;
        }
        if (onSend) {
            onSend(frame);
        }
        if (m_nSendResult != 1) {
            return m_nSendResult;
        }
        if (responder) {
            Feed(responder(frame));
        }
        return 1;
    }

    // Bytes as the device sends them; no bytes wake no one.
    void Feed(const Bytes& bytes) {
        if (!bytes.empty()) {
            FeedPort::Feed(bytes);
        }
    }

    // Answer bytes the receive thread has not read yet.
    std::size_t Pending() { return Left(); }

    std::vector<std::string> WritesHex() {
        std::vector<std::string> out;
        for (const Bytes& w : Writes()) {
            out.push_back(Hex(w));
        }
        return out;
    }
    std::vector<std::string> Calls() {
        CriticalSectionLock lock(m_lock);
        return m_calls;
    }

  private:
    void Record(const char* call) {
        CriticalSectionLock lock(m_lock);
        m_calls.emplace_back(call);
    }

    std::vector<std::string> m_calls;
    Responder m_responder;
    std::function<void(const Bytes&)> m_onSend;
    std::atomic<int> m_nOpenResult{1};
    std::atomic<int> m_nSendResult{1};
};

// Each test in a directory of its own, where the error log is written.
class TempCwd {
  public:
    TempCwd() : m_dir(m_cwd.Path().string()) {}
    TempCwd(const TempCwd&) = delete;
    TempCwd& operator=(const TempCwd&) = delete;

    bool HasLog() const { return std::filesystem::exists(m_dir + "/ZR40Loader_err.log"); }
    // Lines of the error log without their line ends; empty when there is none.
    std::vector<std::string> LogLines() const {
        std::ifstream in(m_dir + "/ZR40Loader_err.log", std::ios::binary);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
        }
        return lines;
    }
    // "Exec idx=.. info=.. detail=.." and "Err  contents=.. detail=0x.." of the log.
    std::vector<std::string> LogRecord() const {
        auto lines = LogLines();
        if (lines.size() < 3) {
            return {};
        }
        return {lines[1], lines[2]};
    }

  private:
    testsupport::TempCwd m_cwd{"engine-"};
    std::string m_dir;
};

// Whole script runs through the run controller against a DevicePort.
class RunTest : public ::testing::Test {
  protected:
    void SetUp() override { ExecError().Reset(); }

    // Lays the script (and the test configuration unless one is given), loads the texts and
    // runs the section to its end.
    CLoaderRun::Result RunScript(std::string_view script, const CComString& section = "GLOBAL") {
        return Prepare(script) == 1 ? run->Run(section) : CLoaderRun::Result::kNotStarted;
    }
    int Prepare(std::string_view script) {
        LaidText scriptText(script, kScriptText);
        LaidText iniText(m_ini, kIniText);
        std::unique_ptr<LaidText> sumText;
        std::unique_ptr<LaidText> verText;
        if (!m_sum.empty()) {
            sumText = std::make_unique<LaidText>(m_sum, kSumText);
        }
        if (!m_ver.empty()) {
            verText = std::make_unique<LaidText>(m_ver, kVerText);
        }
        run = std::make_unique<CLoaderRun>(clock);
        auto devicePort = std::make_unique<DevicePort>();
        port = devicePort.get();
        run->SetPort(std::move(devicePort));
        CLoaderRunCallbacks callbacks;
        callbacks.onStep = [this](const CComString& text, int level) { steps.Add(text, level); };
        callbacks.onErrorBox = [this](int id) {
            std::lock_guard lock(m_boxMutex);
            boxes.push_back(id);
        };
        run->SetCallbacks(std::move(callbacks));
        return run->LoadTexts();
    }
    std::vector<int> Boxes() {
        std::lock_guard lock(m_boxMutex);
        return boxes;
    }

    TempCwd cwd;
    testsupport::ManualClock clock;
    std::string m_ini{kTestIni};
    std::string m_sum;
    std::string m_ver;
    std::unique_ptr<CLoaderRun> run;
    DevicePort* port = nullptr;
    StepLog steps;
    std::mutex m_boxMutex;
    std::vector<int> boxes;
};

// The window's part for handler tests: locks, queue, registry, and a receive thread.
class EngineOwner : public loadertest::OwnerFor<CLoaderExecOwner> {
  public:
    // Forgets the thread only: the receive thread is the fixture's to stop.
    void ThreadFinished(const CComString& section) override { Forget(section); }
    void OnLoaderProgComplete(CPortManage*& pPort) override {
        ++progComplete;
        if (pPort != nullptr) {
            pPort->Close();
        }
    }

    std::atomic<int> progComplete{0};
};

// Handlers called on the test thread through an execution-thread object that is set up but
// never started; a real receive thread reads the DevicePort's answers.
class HandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ExecError().Reset();
        {
            LaidText iniText(m_ini, kIniText);
            ini.LoadParamSection("Loader_Ini");
        }
        ver.LoadParamSection("Loader_Ver");
        sum.LoadParamSection("Loader_Sum");
        readThread = owner.StartReadThread(&port, &ini);
        exec = std::make_unique<CLoaderExecThread>();
        exec->SetOwnerDlg(&owner);
        exec->SetSection("HANDLER");
        exec->SetPort(&port);
        exec->SetQueManage(&owner.queue);
        exec->CreateKillEvent("HANDLER");
        exec->CreateRecvEvent();
        exec->SetInitData(&ini);
        exec->SetVerData(&ver);
        exec->SetSumData(&sum);
        exec->SetClock(clock);
    }
    void TearDown() override {
        owner.StopThreads(nullptr);
        readThread.Wait(platform::kernel::kInfinite);
        {
            CriticalSectionLock lock(owner.queueLock());
            owner.queue.DelAllQueData(exec.get());
        }
        exec.reset();
    }
    // Waits until an answer for the handler thread has been delivered.
    bool AnswerDelivered() { return exec->GetRecvEvent()->Wait(kGuardMs); }
    std::shared_ptr<Event> Kill() { return exec->GetKillEvent(); }

    TempCwd cwd;
    std::string m_ini{kTestIni};
    CParamFile ini;
    CParamFile ver;
    CParamFile sum;
    testsupport::ManualClock clock;
    DevicePort port;
    EngineOwner owner;
    platform::kernel::ThreadHandle readThread;
    std::unique_ptr<CLoaderExecThread> exec;
};

}  // namespace enginetest

// An execution thread whose image and first-stage commands the test calls directly, beside a
// real receive thread that reads the fake device's answers and serves the thread's waits.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/Frame.h"
#include "Loader/device/LoaderThread.h"
#include "Loader/device/QueManage.h"
#include "Loader/script/ExecThread.h"
#include "platform/kernel/Clock.h"
#include "platform/resources/resources.h"
#include "tests/script/images/ImageTestSupport.h"
#include "tests/support/FrameBuilders.h"
#include "tests/support/ManualClock.h"

namespace imgtest {

// The shipped window and directory; WaitTime 1 keeps the receive thread's polls short.
inline constexpr std::string_view kConfigText =
    "[PARAM_FILE]\nDIR=Param\n[SYSTEM]\nWaitTime=1\n"
    "[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6B97FFF\n";

inline constexpr std::uint32_t kMaxDataSize = 0x100000;

class ImageRig : public ::testing::Test {
  protected:
    ImageRig() : m_readerConfig(kConfigText), m_config(kConfigText) {}

    void SetUp() override {
        SetZeroLedAnswerFlag(0);
        SetExecError(0, 0, 0, 0);
        ExecError().ExecDetail = 0;
        m_thread.SetOwnerDlg(&m_owner);
        m_thread.SetParentThread(nullptr);
        m_thread.SetSection("IMAGES");
        m_thread.SetPort(&m_port);
        m_thread.SetQueManage(m_owner.GetQueManage());
        m_thread.CreateKillEvent("IMAGES");
        m_thread.CreateRecvEvent();
        m_thread.SetMaxDataSize(kMaxDataSize);
        m_thread.SetInitData(m_config.get());
        m_thread.SetClock(m_clock);
        AllocateBuffers(kMaxDataSize);
        m_reader = std::make_unique<ReadThreadRun>(m_owner, &m_port, m_readerConfig.get());
        ASSERT_TRUE(*m_reader);
    }

    void TearDown() override {
        m_reader.reset();  // stopped and joined: nothing serves the thread's waits any more
        {
            CriticalSectionLock lock(m_owner.queueLock());
            m_owner.GetQueManage()->DelAllQueData(&m_thread);
        }
        SetZeroLedAnswerFlag(0);
    }

    // The run's work buffers, as a run sets them up.
    void AllocateBuffers(std::uint32_t nMaxDataSize) {
        auto shared = std::make_shared<CExecRunShared>();
        ASSERT_TRUE(shared->imageBuffer.Allocate(nMaxDataSize, 0));
        ASSERT_TRUE(shared->fillBuffer.Allocate(nMaxDataSize / 2, 0xFF));
        m_thread.SetRunShared(shared);
    }

    // The thread's configuration (the receive thread keeps its own).
    void Configure(std::string_view lfText) { m_config.Load(lfText); }

    void StopThread() { m_thread.GetKillEvent()->Set(); }

    std::int32_t Contents() const { return ExecError().ErrContents.load(); }

    // "<level>:<text>" of a string-table message with its conversions filled.
    static std::string Msg(int nLevel, int nId, std::initializer_list<CComString> args = {}) {
        return std::to_string(nLevel) + ":" + CLoaderExecThread::MessageText(nId, args).ToUtf8();
    }
    static std::string Line(int nLevel, std::string_view utf8) {
        return std::to_string(nLevel) + ":" + std::string(utf8);
    }

    Config m_readerConfig;
    Config m_config;
    TestOwner m_owner;
    FakeDevicePort m_port;
    testsupport::ManualClock m_clock;
    CLoaderExecThread m_thread;
    std::unique_ptr<ReadThreadRun> m_reader;
};

// DB answers as the loader sends them.
inline Bytes DbAck() {
    return frametest::MakeDbFrame(0x2801);
}
inline Bytes DbError(std::int32_t code) {
    return frametest::MakeDbErrorFrame(code);
}

// A frame image: a 21-byte first frame, then frames with these payload sizes.
inline Bytes FrameImage(std::initializer_list<std::size_t> payloads) {
    Bytes image = frametest::MakeDbFrame(0x2801, Bytes(13, 0xC1));
    std::uint8_t fill = 1;
    for (std::size_t n : payloads) {
        Bytes payload(n);
        for (auto& b : payload) {
            b = fill++;
        }
        const Bytes frame = frametest::MakeDbFrame(0x2801, payload);
        image.insert(image.end(), frame.begin(), frame.end());
    }
    return image;
}

// The frames of an image, cut by their length fields.
inline std::vector<Bytes> Frames(const Bytes& image) {
    std::vector<Bytes> out;
    std::size_t at = 0;
    while (at + 8 <= image.size()) {
        const std::uint32_t length = frames::ReadBe32(image.data() + at + 4);
        out.emplace_back(image.begin() + static_cast<std::ptrdiff_t>(at),
                         image.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return out;
}

}  // namespace imgtest

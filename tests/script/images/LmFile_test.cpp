// DBB_LM_File: every frame of the image written unchanged, each acknowledged before the next.
#include <gtest/gtest.h>

#include <cstring>

#include "Loader/common/ErrorRecord.h"
#include "Loader/device/ImageWalker.h"
#include "tests/script/images/ImageRig.h"

namespace {

using namespace imgtest;

constexpr int kCPs = 151;  // C_PS
const char kRow[] = "DATA\\C_PS\\QRV_C_PS.cvt,20";

using LmFile = ImageRig;

TEST_F(LmFile, TheShippedImageGoesOutFrameByFrameUnchanged) {
    m_port.SetResponder([](const Bytes&, int) { return DbAck(); });
    ASSERT_EQ(m_thread.DBB_LM_FileFunc(kRow), 1);

    const auto image = platform::resources::Find("DATA", kCPs);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->size(), 1984u);
    const Bytes bytes(image->begin(), image->end());
    const std::vector<Bytes> expected = Frames(bytes);
    ASSERT_EQ(expected.size(), 5u);
    EXPECT_EQ(m_port.Writes(), expected);
    EXPECT_EQ(m_owner.Progress(), 5) << "one progress report per acknowledged frame";

    const auto steps = m_owner.Steps();
    const std::vector<std::string> head = {
        Line(1, "***** 書き込みは強制書込みで行います。*****"),
        Msg(1, 137),
        Msg(1, 130, {"DATA\\C_PS\\QRV_C_PS.cvt"}),
        Msg(1, 131, {"20"}),
        Line(1, "LM_Size=1984"),
    };
    ASSERT_GE(steps.size(), head.size() + 3);
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 5), head);
    const std::vector<std::string> tail = {Msg(1, 142), Msg(1, 135, {"00:00:00"}),
                                           Msg(1, 136, {"5"})};
    EXPECT_EQ(std::vector<std::string>(steps.end() - 3, steps.end()), tail);
    EXPECT_EQ(ExecError().ExecDetail.load(), 7) << "the module row of C_PS";
    EXPECT_EQ(Contents(), 0);
}

TEST_F(LmFile, TheImagePassesThroughImageBufferWithoutTouchingTheRest) {
    std::memset(m_thread.GetImageBuffer(), 0xEE, m_thread.GetImageBufferSize());
    const Bytes bytes = FrameImage({100});
    Image image(kCPs, bytes);
    m_port.SetResponder([](const Bytes&, int) { return DbAck(); });
    ASSERT_EQ(m_thread.DBB_LM_FileFunc(kRow), 1);
    const unsigned char* buffer = m_thread.GetImageBuffer();
    EXPECT_EQ(Bytes(buffer, buffer + bytes.size()), bytes);
    EXPECT_EQ(buffer[bytes.size()], 0xEE);
    EXPECT_EQ(buffer[m_thread.GetImageBufferSize() - 1], 0xEE);
}

TEST_F(LmFile, SendTimeIsTheElapsedTimeOfTheRow) {
    Image image(kCPs, FrameImage({}));
    m_port.SetResponder([this](const Bytes&, int) {
        m_clock.Advance((3 * 60 + 27) * 1000);
        return DbAck();
    });
    ASSERT_EQ(m_thread.DBB_LM_FileFunc(kRow), 1);
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 135, {"00:03:27"})));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"1"})));
}

TEST_F(LmFile, AnEmptyImageSucceedsWithoutAFrame) {
    Image image(kCPs, {});
    ASSERT_EQ(m_thread.DBB_LM_FileFunc(kRow), 1);
    EXPECT_TRUE(m_port.Writes().empty());
    EXPECT_TRUE(m_owner.HasStep(Line(1, "LM_Size=0")));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"0"})));
}

TEST_F(LmFile, AnErrorAnswerStopsTheDownloadAfterThatFrame) {
    Image image(kCPs, FrameImage({10, 20, 30, 40}));
    m_port.SetResponder([](const Bytes&, int index) { return index == 2 ? DbError(-3) : DbAck(); });
    EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
    EXPECT_EQ(m_port.Writes().size(), 3u);
    EXPECT_EQ(Contents(), 8);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 143)));
    EXPECT_TRUE(m_owner.HasStep(Line(1, "   ---> 0xfffffffd")));
    EXPECT_TRUE(m_owner.HasStep(Line(1, "   ---> 消去エラー")));
    const auto steps = m_owner.Steps();
    EXPECT_EQ(steps.back(), Msg(1, 136, {"3"})) << "the end lines show how far it got";
    EXPECT_EQ(steps[steps.size() - 3], Msg(1, 142));
}

TEST_F(LmFile, ALostAcknowledgementTimesOutAndNothingMoreIsWritten) {
    Image image(kCPs, FrameImage({10, 20, 30}));
    m_port.SetResponder([this](const Bytes&, int index) {
        if (index == 1) {
            m_clock.SetTimeoutsPassAtOnce(true);  // frame 1's answer is in; no other comes
            return Bytes{};
        }
        return DbAck();
    });
    const std::uint64_t start = m_clock.NowMs();
    EXPECT_EQ(m_thread.DBB_LM_FileFunc("DATA\\C_PS\\QRV_C_PS.cvt,1"), 0);
    EXPECT_GE(m_clock.NowMs() - start, 1000u);
    EXPECT_EQ(m_port.Writes().size(), 2u) << "frame 3 waits for frame 2's acknowledgement";
    EXPECT_EQ(Contents(), 7);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 133)));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 144, {"1"})));
    EXPECT_EQ(m_owner.Progress(), 1);
    EXPECT_EQ(m_owner.Steps().back(), Msg(1, 136, {"2"}));
}

TEST_F(LmFile, AZeroWaitNeverTakesAnAnswerThatHasNotCome) {
    Image image(kCPs, FrameImage({10, 20}));
    m_port.SetResponder([](const Bytes&, int) { return Bytes{}; });
    EXPECT_EQ(m_thread.DBB_LM_FileFunc("DATA\\C_PS\\QRV_C_PS.cvt,0"), 0);
    EXPECT_EQ(m_port.Writes().size(), 1u);
    EXPECT_EQ(Contents(), 7);
}

TEST_F(LmFile, TheStopEventEndsTheDownloadAfterTheWrite) {
    Image image(kCPs, FrameImage({10, 20, 30}));
    m_port.SetResponder([this](const Bytes&, int index) {
        if (index == 2) {
            StopThread();
        }
        return DbAck();
    });
    EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
    EXPECT_EQ(m_port.Writes().size(), 3u);
    EXPECT_EQ(Contents(), -2);
    EXPECT_EQ(m_owner.Steps().back(), Msg(1, 136, {"2"})) << "the stopped frame is not counted";
}

TEST_F(LmFile, AFailedWriteIsCountedAndEndsTheDownload) {
    Image image(kCPs, FrameImage({10, 20, 30}));
    m_port.SetResponder([](const Bytes&, int) { return DbAck(); });
    m_port.FailWrite(1);
    EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
    EXPECT_EQ(m_port.Writes().size(), 2u);
    EXPECT_EQ(m_owner.Steps().back(), Msg(1, 136, {"2"}));
}

TEST_F(LmFile, ATruncatedImageSendsTheWholeFramesThenFails) {
    Bytes bytes = FrameImage({10, 20});
    const std::vector<Bytes> whole = Frames(bytes);
    bytes.resize(bytes.size() - 5);  // the last frame loses its tail
    Image image(kCPs, bytes);
    m_port.SetResponder([](const Bytes&, int) { return DbAck(); });
    EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
    EXPECT_EQ(m_port.Writes(), std::vector<Bytes>(whole.begin(), whole.end() - 1));
    EXPECT_EQ(Contents(), 6);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 139)));
    EXPECT_EQ(m_owner.Steps().back(), Msg(1, 136, {"2"}));
}

TEST_F(LmFile, AHeaderCutShortFailsAfterTheWholeFrames) {
    for (std::size_t cut = 1; cut <= 7; ++cut) {
        SCOPED_TRACE(cut);
        SetExecError(0, 0, 0, 0);
        m_owner.ClearSteps();
        Bytes bytes = FrameImage({});
        bytes.insert(bytes.end(), {0x44, 0x42, 0x28, 0x01, 0x00, 0x00, 0x00});
        bytes.resize(21 + cut);
        Image image(kCPs, bytes);
        const std::size_t before = m_port.Writes().size();
        m_port.SetResponder([](const Bytes&, int) { return DbAck(); });
        EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
        EXPECT_EQ(m_port.Writes().size(), before + 1);
        EXPECT_EQ(Contents(), 6);
        EXPECT_TRUE(m_owner.HasStep(Msg(0, 139)));
    }
}

TEST_F(LmFile, ALengthFieldBelowTheHeaderIsAFormatError) {
    // Such a frame would never advance through the image.
    for (std::uint32_t length : {0u, 1u, 7u}) {
        SCOPED_TRACE(length);
        SetExecError(0, 0, 0, 0);
        Bytes bytes = {0x44, 0x42, 0x28, 0x01, 0, 0, 0, static_cast<std::uint8_t>(length), 1, 2};
        Image image(kCPs, bytes);
        EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
        EXPECT_EQ(Contents(), 6);
    }
    EXPECT_TRUE(m_port.Writes().empty());
}

TEST_F(LmFile, AHugeLengthFieldIsACutImageNotAnAllocation) {
    Image image(kCPs, {0x44, 0x42, 0x28, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3});
    EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 6);
    EXPECT_TRUE(m_port.Writes().empty());
}

TEST_F(LmFile, APathOfNoModuleFailsTheOpen) {
    EXPECT_EQ(m_thread.DBB_LM_FileFunc("DATA\\C_FDSP\\QRV_C_FDSP.cvt,20"), 0);
    EXPECT_EQ(Contents(), 3);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 138)));
    EXPECT_FALSE(m_owner.HasStep(Msg(1, 142))) << "no end lines for an image never opened";
    EXPECT_TRUE(m_port.Writes().empty());
}

TEST_F(LmFile, AnImageLargerThanTheWorkBufferFailsTheOpen) {
    m_thread.SetMaxDataSize(1983);
    EXPECT_EQ(m_thread.DBB_LM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 5);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 138)));
    EXPECT_TRUE(m_port.Writes().empty());
}

TEST_F(LmFile, TheImageNameIsJoinedToTheConfiguredDirectory) {
    // The module is found anywhere in the joined name, the directory included.
    Configure("[PARAM_FILE]\nDIR=C_PS\n");
    Image image(kCPs, FrameImage({}));
    m_port.SetResponder([](const Bytes&, int) { return DbAck(); });
    EXPECT_EQ(m_thread.DBB_LM_FileFunc("image.cvt,5"), 1);
    EXPECT_EQ(m_port.Writes().size(), 1u);
}

}  // namespace

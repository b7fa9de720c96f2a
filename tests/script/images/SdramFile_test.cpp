// DBB_SDRAM_File and the first-stage (D0) commands, against a model of the first stage.
#include <gtest/gtest.h>

#include <optional>

#include "Loader/common/ErrorRecord.h"
#include "Loader/script/SRecord.h"
#include "tests/script/images/ImageRig.h"

namespace {

using namespace imgtest;

constexpr int kCPs = 151;  // C_PS
const char kRow[] = "DATA\\C_PS\\ram.mot,5";
constexpr std::uint32_t kTop = 0xE6B92000;

// The device's first stage: answers each D0 command as the loader does, keeps the blocks it
// was sent, and computes its own sum of them.
class FirstStage {
  public:
    Bytes Answer(const Bytes& w) {
        if (w.empty()) {
            return {};
        }
        switch (w[0]) {
            case 0xA0:
                m_zeroLedNext = true;
                return {0xB0, 0x01, enterResult};
            case 0xA1: {
                ++m_polls;
                if (m_zeroLedNext) {
                    // The first poll after entering is answered without an opcode.
                    m_zeroLedNext = false;
                    return {0x00, 0x7F, 0x05};
                }
                return {0xB0, 0x01, m_polls == failPoll ? std::uint8_t{1} : std::uint8_t{0}};
            }
            case 0xA2:
                announced = frames::ReadBe32(w.data() + 6);
                return {0xB1, 0x02, 0x00, 0x00};
            case 0xA3: {
                const std::uint16_t count = static_cast<std::uint16_t>(w[1] << 8 | w[2]);
                blockNumbers.push_back(static_cast<std::uint16_t>(w[3] << 8 | w[4]));
                EXPECT_EQ(count + 3u, w.size()) << "count field";
                memory.insert(memory.end(), w.begin() + 5, w.end());
                if (silentBlock) {
                    return {};
                }
                return {0xB1, 0x02, blockAck, 0x00};
            }
            case 0xA4: {
                const std::uint16_t sum =
                    sumOverride ? *sumOverride : srecord::WindowChecksum(memory);
                return {0xB2, 0x03, 0x00, static_cast<std::uint8_t>(sum >> 8),
                        static_cast<std::uint8_t>(sum & 0xFF)};
            }
            case 0xA5:
                return {0xB0, 0x01, 0x00};
            default:
                return {};
        }
    }

    std::uint8_t enterResult = 0;
    std::uint8_t blockAck = 0;
    int failPoll = -1;  // 1-based poll that is refused
    bool silentBlock = false;
    std::optional<std::uint16_t> sumOverride;

    std::uint32_t announced = 0;
    Bytes memory;
    std::vector<std::uint16_t> blockNumbers;

  private:
    bool m_zeroLedNext = false;
    int m_polls = 0;
};

class SdramFile : public ImageRig {
  protected:
    void SetUp() override {
        ImageRig::SetUp();
        m_port.SetResponder([this](const Bytes& w, int) { return m_stage.Answer(w); });
    }

    void Lay(const std::string& text) {
        m_image = std::make_unique<Image>(kCPs, Bytes(text.begin(), text.end()));
    }

    // The first bytes of every write: enough to tell the commands apart.
    std::vector<Bytes> Heads(std::size_t n = 5) {
        std::vector<Bytes> out;
        for (const Bytes& w : m_port.Writes()) {
            out.emplace_back(w.begin(),
                             w.begin() + static_cast<std::ptrdiff_t>(std::min(n, w.size())));
        }
        return out;
    }

    FirstStage m_stage;
    std::unique_ptr<Image> m_image;
};

const Bytes kEnter = {0xA0, 0x01, 0x01};
const Bytes kPoll = {0xA1, 0x01, 0x00};
const Bytes kFinish = {0xA5, 0x00};

TEST_F(SdramFile, TheShippedWindowGoesOutAsOneBlock) {
    Lay(SRec(0, 0, {'r', 'a', 'm'}) + "\r\n" + SRec(3, kTop, {1, 2, 3}) + "\r\n" +
        SRec(3, kTop + 0x5FFE, {0xAA, 0xBB, 0xCC}) + "\r\n" + SRec(7, kTop, {}) + "\r\n");
    ASSERT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);

    Bytes window(0x6000, 0xFF);
    window[0] = 1;
    window[1] = 2;
    window[2] = 3;
    window[0x5FFE] = 0xAA;
    window[0x5FFF] = 0xBB;  // 0xCC lies past ENDADR
    const std::uint16_t sum = srecord::WindowChecksum(window);

    const std::vector<Bytes> writes = m_port.Writes();
    ASSERT_EQ(writes.size(), 9u);
    EXPECT_EQ(writes[0], kEnter);
    EXPECT_EQ(writes[1], kPoll);
    EXPECT_EQ(writes[2], kPoll);
    EXPECT_EQ(writes[3], (Bytes{0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}));
    EXPECT_EQ(writes[4], kPoll);
    ASSERT_EQ(writes[5].size(), 0x6005u);
    EXPECT_EQ(Bytes(writes[5].begin(), writes[5].begin() + 5),
              (Bytes{0xA3, 0x60, 0x02, 0x00, 0x00}));
    EXPECT_EQ(Bytes(writes[5].begin() + 5, writes[5].end()), window);
    EXPECT_EQ(writes[6], kPoll);
    EXPECT_EQ(writes[7], (Bytes{0xA4, 0x02, static_cast<std::uint8_t>(sum >> 8),
                                static_cast<std::uint8_t>(sum & 0xFF)}));
    EXPECT_EQ(writes[8], kFinish);

    EXPECT_EQ(m_stage.announced, 0x6000u);
    EXPECT_EQ(GetZeroLedAnswerFlag(), 0);
    EXPECT_FALSE(m_owner.HasStep(Msg(0, 143))) << "the zero-led answer served the first poll";
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 128) + "A00101"));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 128) + "A360020000"));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 128) + "A208E55B000000006000"));
    const auto steps = m_owner.Steps();
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + 3),
              (std::vector<std::string>{Msg(1, 129), Msg(1, 130, {"DATA\\C_PS\\ram.mot"}),
                                        Msg(1, 131, {"5"})}));
    EXPECT_EQ(
        std::vector<std::string>(steps.end() - 3, steps.end()),
        (std::vector<std::string>{Msg(1, 134), Msg(1, 135, {"00:00:00"}), Msg(1, 136, {"1"})}));
}

TEST_F(SdramFile, LargerWindowsAreCutIntoNumberedBlocks) {
    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6B99FFF\n");
    Lay(SRec(3, kTop + 30700, {0x5A}) + "\n");
    ASSERT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);
    EXPECT_EQ(m_stage.announced, 0x8000u);
    EXPECT_EQ(m_stage.blockNumbers, (std::vector<std::uint16_t>{0, 1}));
    ASSERT_EQ(m_stage.memory.size(), 0x8000u);
    EXPECT_EQ(m_stage.memory[30700], 0x5A);
    Bytes window(0x8000, 0xFF);
    window[30700] = 0x5A;
    const std::uint16_t sum = srecord::WindowChecksum(window);
    const std::vector<Bytes> expected = {
        kEnter, kPoll,
        kPoll,  {0xA2, 0x08, 0xE5, 0x5B, 0x00},
        kPoll,  {0xA3, 0x77, 0xEE, 0x00, 0x00},  // 30,700 data bytes + 2
        kPoll,  {0xA3, 0x08, 0x16, 0x00, 0x01},  // the remaining 2,068 + 2
        kPoll,  {0xA4, 0x02, static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)},
        kFinish};
    EXPECT_EQ(Heads(), expected);
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"2"})));
}

TEST_F(SdramFile, FillBufferIsNotRefilledBetweenDownloads) {
    Lay(SRec(3, kTop + 0x10, {0x11}) + "\n");
    ASSERT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);
    m_stage.memory.clear();
    Lay(SRec(3, kTop, {0x22}) + "\n");
    ASSERT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);
    ASSERT_EQ(m_stage.memory.size(), 0x6000u);
    EXPECT_EQ(m_stage.memory[0], 0x22);
    EXPECT_EQ(m_stage.memory[0x10], 0x11) << "the first image's byte is still there";
}

TEST_F(SdramFile, AWiderWindowLaterReadsFfWhereNothingWasWritten) {
    Lay(SRec(3, kTop + 0x10, {0x11}) + "\n");
    ASSERT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);
    m_stage.memory.clear();
    // 0x20000 bytes: chunks of FillBuffer that no window has used before.
    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6BB1FFF\n");
    Lay(SRec(3, kTop + 0x1FFFF, {0x22}) + "\n");
    ASSERT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);
    Bytes expected(0x20000, 0xFF);
    expected[0x10] = 0x11;
    expected[0x1FFFF] = 0x22;
    EXPECT_EQ(m_stage.memory, expected);
}

TEST_F(SdramFile, ADifferentDeviceSumFailsTheFinish) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_stage.sumOverride = 0x1234;
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 13);
    EXPECT_EQ(m_port.Writes().back()[0], 0xA4) << "no finish after a mismatch";
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 134))) << "end lines are still sent";
}

TEST_F(SdramFile, ARefusedEnterFailsTheStart) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_stage.enterResult = 1;
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 10);
    EXPECT_EQ(m_port.Writes(), std::vector<Bytes>{kEnter});
    EXPECT_EQ(GetZeroLedAnswerFlag(), 0);
}

TEST_F(SdramFile, ARefusedSecondPollFailsTheStartAndClearsTheFlag) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_stage.failPoll = 2;  // the first poll is the zero-led one
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 10);
    EXPECT_EQ(m_port.Writes(), (std::vector<Bytes>{kEnter, kPoll, kPoll}));
    EXPECT_EQ(GetZeroLedAnswerFlag(), 0);
}

TEST_F(SdramFile, ARefusedPollBeforeABlockFailsTheAnnouncement) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_stage.failPoll = 3;
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 11);
    EXPECT_EQ(m_port.Writes().size(), 5u) << "no block after the refused poll";
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"0"})));
}

TEST_F(SdramFile, ARefusedBlockFailsTheAcknowledgement) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_stage.blockAck = 1;
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 12);
    EXPECT_EQ(m_port.Writes().back()[0], 0xA3);
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"1"})));
}

TEST_F(SdramFile, AZeroWaitTimeLooksOnceAndTimesOut) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_port.SetResponder([](const Bytes&, int) { return Bytes{}; });
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc("DATA\\C_PS\\ram.mot,0"), 0);
    EXPECT_EQ(Contents(), 10);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 143)));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 144, {"0"})));
}

TEST_F(SdramFile, TheStopEventDuringABlockEndsTheDownload) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_port.SetResponder([this](const Bytes& w, int) {
        if (w[0] == 0xA3) {
            StopThread();
        }
        return m_stage.Answer(w);
    });
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), -2);
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"0"})));
}

TEST_F(SdramFile, AStopWhileWaitingKeepsItsReason) {
    Lay(SRec(3, kTop, {1}) + "\n");
    m_stage.silentBlock = true;
    m_port.SetResponder([this](const Bytes& w, int) {
        Bytes answer = m_stage.Answer(w);
        if (w[0] == 0xA3) {
            StopThread();  // seen by the acknowledgement's wait, not after the write
        }
        return answer;
    });
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), -2) << "not 12: the stop is why the block failed";
}

TEST_F(SdramFile, AWindowLargerThanFillBufferFailsBeforeAnyWrite) {
    // FillBuffer holds kMaxDataSize / 2 = 0x80000 bytes.
    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=0\nENDADR=80000\n");
    Lay(SRec(3, 0, {1}) + "\n");
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 14);
    EXPECT_TRUE(m_port.Writes().empty());
    EXPECT_TRUE(m_owner.HasStep(Line(0, "SDRAM ダウンロード領域エラー")));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"0"})));

    // One byte less fits exactly.
    SetExecError(0, 0, 0, 0);
    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=0\nENDADR=7FFFF\n");
    m_stage.enterResult = 1;
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 10) << "past the window check";
}

TEST_F(SdramFile, AnEndBelowTheTopIsNoWindow) {
    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6B91FFF\n");
    Lay(SRec(3, kTop, {1}) + "\n");
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 14);
    EXPECT_TRUE(m_port.Writes().empty());
}

TEST_F(SdramFile, TheDefaultWindowDoesNotFitASmallWorkBuffer) {
    // Empty bounds mean 0xE0100000-0xE021FFFF: 0x120000 bytes, more than this run's FillBuffer.
    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=\nENDADR=\n");
    Lay(SRec(3, 0xE0100000, {1}) + "\n");
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 14);
}

TEST_F(SdramFile, TinyWindowsAreTooSmall) {
    for (const char* end : {"E6B92000", "E6B92001"}) {
        SCOPED_TRACE(end);
        SetExecError(0, 0, 0, 0);
        Configure(std::string("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=E6B92000\nENDADR=") +
                  end + "\n");
        Lay(SRec(3, kTop, {1}) + "\n");
        EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
        EXPECT_EQ(Contents(), 9);
    }
    EXPECT_TRUE(m_port.Writes().empty());

    Configure("[PARAM_FILE]\nDIR=Param\n[COMSTDIO]\nTOPADR=E6B92000\nENDADR=E6B92002\n");
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 1);
    ASSERT_GE(m_port.Writes().size(), 6u);
    EXPECT_EQ(m_port.Writes()[5], (Bytes{0xA3, 0x00, 0x05, 0x00, 0x00, 0x01, 0xFF, 0xFF}));
}

TEST_F(SdramFile, AMalformedRecordSendsNothing) {
    const std::string good = SRec(3, kTop, {1, 2, 3});
    Lay(good + "\n" + good.substr(0, good.size() - 3) + "\n");
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 6);
    EXPECT_TRUE(m_port.Writes().empty());
    EXPECT_TRUE(m_owner.HasStep(Line(1, "   --> 行：2")));
}

TEST_F(SdramFile, AnImageOfNoModuleFailsTheOpen) {
    EXPECT_EQ(m_thread.DBB_SDRAM_FileFunc("DATA\\C_D2\\ram.mot,5"), 0);
    EXPECT_EQ(Contents(), 3);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 132)));
    EXPECT_FALSE(m_owner.HasStep(Msg(1, 134)));
}

// ---- the D0 operations on their own -------------------------------------------------------

using D0Command = SdramFile;

TEST_F(D0Command, CommandTwoAndUnknownNumbersWriteNothing) {
    for (int command : {2, 7, -1}) {
        SCOPED_TRACE(command);
        m_owner.ClearSteps();
        EXPECT_EQ(m_thread.DBB_D0_CMDFunc(command, 5, 0), 1) << "a 0-byte write succeeds";
        EXPECT_EQ(m_owner.Steps(), std::vector<std::string>{Msg(1, 128)});
        EXPECT_TRUE(m_port.Writes().back().empty());
    }
}

TEST_F(D0Command, TheSizeIsTheConfiguredWindow) {
    EXPECT_EQ(m_thread.DBB_D0_CMDFunc(1, 5, 0), 1);
    EXPECT_EQ(m_port.Writes().back(),
              (Bytes{0xA2, 0x08, 0xE5, 0x5B, 0x00, 0x00, 0x00, 0x00, 0x60, 0x00}));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 128) + "A208E55B000000006000"));
}

TEST_F(D0Command, AStopSeenAfterTheWriteIsRecorded) {
    StopThread();
    EXPECT_EQ(m_thread.DBB_D0_CMDFunc(0, 5, 0), 1) << "the write's own result";
    EXPECT_EQ(Contents(), -2);
}

TEST_F(D0Command, AZeroWaitTakesAnAnswerAlreadyDelivered) {
    m_port.SetResponder({});
    const std::uint8_t key = 0xB1;
    m_thread.RegisterAnswer(&key, 1);
    m_port.Feed({0xB1, 0x02, 0x00, 0x00});
    ASSERT_TRUE(m_thread.GetRecvEvent()->Wait(kGuardMs));
    EXPECT_EQ(m_thread.Wait_DBB_D0Func(1, 0), 1);
    EXPECT_EQ(Contents(), 0);

    // Nothing delivered: a time-out at once, reported with the wait time given.
    EXPECT_EQ(m_thread.Wait_DBB_D0Func(1, 0), 0);
    EXPECT_EQ(Contents(), 7);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 143)));
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 144, {"0"})));
    m_owner.ClearSteps();
    EXPECT_EQ(m_thread.Wait_DBB_D0Func(1, -5), 0);
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 144, {"-5"})));
}

TEST_F(D0Command, WaitKindThreeNeverSucceeds) {
    m_port.SetResponder({});
    const std::uint8_t key = 0xB3;
    m_thread.RegisterAnswer(&key, 1);
    m_port.Feed({0xB3, 0x02, 0x00, 0x00});
    ASSERT_TRUE(m_thread.GetRecvEvent()->Wait(kGuardMs));
    EXPECT_EQ(m_thread.Wait_DBB_D0Func(3, 5), 0);
    EXPECT_FALSE(m_owner.HasStep(Msg(0, 143))) << "a wrong answer is not reported";
}

TEST_F(D0Command, FinishComparesSumsOfTheTopHalfToo) {
    for (std::uint16_t sum :
         {std::uint16_t{0x1234}, std::uint16_t{0x9ABC}, std::uint16_t{0xFFFF}}) {
        SCOPED_TRACE(sum);
        m_stage.sumOverride = sum;
        EXPECT_EQ(m_thread.D0FinishSequence(sum, 5), 1);
        EXPECT_EQ(m_port.Writes().back(), kFinish);
    }
    m_stage.sumOverride = 0x9ABD;
    EXPECT_EQ(m_thread.D0FinishSequence(0x9ABC, 5), 0);
    EXPECT_EQ(Contents(), 13);
}

TEST_F(D0Command, APollWithoutTheZeroLedFlagNeedsDataByteZero) {
    m_stage.failPoll = 1;
    EXPECT_EQ(m_thread.D0Poll(5), 0);
    EXPECT_EQ(m_thread.D0Poll(5), 1);
    EXPECT_EQ(m_port.Writes(), (std::vector<Bytes>{kPoll, kPoll}));
}

}  // namespace

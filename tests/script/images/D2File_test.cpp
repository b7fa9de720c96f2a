// DBB_D2_File: the lines of a text image written raw, nothing awaited.
#include <gtest/gtest.h>

#include "Loader/common/ErrorRecord.h"
#include "tests/script/images/ImageRig.h"

namespace {

using namespace imgtest;

constexpr int kCL2 = 159;  // C_L2
const char kRow[] = "DATA\\C_L2\\lines.txt,15";

Bytes Of(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

using D2File = ImageRig;

TEST_F(D2File, EachLineGoesOutWithoutItsLineFeed) {
    // CR LF lines keep their CR; the last line has no line feed and ends with the image.
    Image image(kCL2, Of("AT1\r\nline two\n\nlast"));
    ASSERT_EQ(m_thread.DBB_D2_FileFunc(kRow), 1);
    const std::vector<Bytes> expected = {Of("AT1\r"), Of("line two"), Of(""), Of("last")};
    EXPECT_EQ(m_port.Writes(), expected);
    EXPECT_EQ(m_owner.Steps(),
              (std::vector<std::string>{Msg(1, 129), Msg(1, 130, {"DATA\\C_L2\\lines.txt"}),
                                        Msg(1, 131, {"15"}), Msg(1, 134), Msg(1, 135, {"00:00:00"}),
                                        Msg(1, 136, {"4"})}));
    EXPECT_EQ(m_owner.GetQueManage()->GetEntryCount(), 0u) << "no answer is awaited";
}

TEST_F(D2File, ALineEndsAtItsFirstZeroByte) {
    const char text[] = "AB\0CD\nEF";
    Image image(kCL2, Bytes(text, text + sizeof(text) - 1));
    ASSERT_EQ(m_thread.DBB_D2_FileFunc(kRow), 1);
    EXPECT_EQ(m_port.Writes(), (std::vector<Bytes>{Of("AB"), Of("EF")}));
}

TEST_F(D2File, AnEmptyImageSendsNothing) {
    Image image(kCL2, {});
    ASSERT_EQ(m_thread.DBB_D2_FileFunc(kRow), 1);
    EXPECT_TRUE(m_port.Writes().empty());
    EXPECT_TRUE(m_owner.HasStep(Msg(1, 136, {"0"})));
}

TEST_F(D2File, TheStopEventEndsItBeforeTheNextLine) {
    Image image(kCL2, Of("one\ntwo\nthree\n"));
    m_port.SetResponder([this](const Bytes&, int index) {
        if (index == 1) {
            StopThread();
        }
        return Bytes{};
    });
    EXPECT_EQ(m_thread.DBB_D2_FileFunc(kRow), 0);
    EXPECT_EQ(m_port.Writes().size(), 2u);
    EXPECT_EQ(Contents(), -2);
    EXPECT_EQ(m_owner.Steps().back(), Msg(1, 136, {"2"}));
}

TEST_F(D2File, AFailedWriteIsCountedAndFails) {
    Image image(kCL2, Of("one\ntwo\nthree\n"));
    m_port.FailWrite(0);
    EXPECT_EQ(m_thread.DBB_D2_FileFunc(kRow), 0);
    EXPECT_EQ(m_port.Writes().size(), 1u);
    EXPECT_EQ(m_owner.Steps().back(), Msg(1, 136, {"1"}));
}

TEST_F(D2File, LookupFailuresLeaveTheirReason) {
    EXPECT_EQ(m_thread.DBB_D2_FileFunc("DATA\\C_D2\\lines.txt,15"), 0);
    EXPECT_EQ(Contents(), 3);
    EXPECT_TRUE(m_owner.HasStep(Msg(0, 132)));
    EXPECT_FALSE(m_owner.HasStep(Msg(1, 134)));

    SetExecError(0, 0, 0, 0);
    Image image(kCL2, Bytes(100, 'x'));
    m_thread.SetMaxDataSize(99);
    EXPECT_EQ(m_thread.DBB_D2_FileFunc(kRow), 0);
    EXPECT_EQ(Contents(), 5);
    EXPECT_TRUE(m_port.Writes().empty());
}

}  // namespace

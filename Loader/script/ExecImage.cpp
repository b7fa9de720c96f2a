// The image download commands: DBB_LM_File (frame images, each frame acknowledged), DBB_D2_File
// (text lines, unanswered) and DBB_SDRAM_File (S-records through the first-stage loader).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Loader/common/ComFile.h"
#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/device/Frame.h"
#include "Loader/script/ExecThread.h"
#include "Loader/script/ImageCommand.h"
#include "Loader/script/SRecord.h"
#include "platform/resources/resources.h"

namespace {

constexpr std::uint32_t kFrameHeader = 8;

// The fields every image row shares: "path,seconds".
struct ImageRow {
    CComString strPath;  // as written
    CComString strName;  // what is opened: [PARAM_FILE] DIR, a backslash, the path
    int nSeconds = 0;
};

ImageRow ParseRow(const CLoaderExecThread& thread, const CComString& cstrValue) {
    const CComStringArray fields = cstrValue.Split(',');
    ImageRow row;
    row.strPath = fields.GetAt(0);
    const CComString dir = thread.GetInitData() != nullptr
                               ? thread.GetInitData()->GetParamValueText("PARAM_FILE", "DIR")
                               : CComString();
    row.strName = imagecmd::ImagePath(dir, row.strPath);
    row.nSeconds = fields.GetAt(1).ToInt();
    return row;
}

CComString Decimal(int n) {
    return CComString::Formatted("%d", n);
}

// A frame image opened like a text image: a lookup failure leaves its reason (3, 4, 5) in the
// error record, so the log tells why the download never started.
class CFrameImageFile : public CComFile {
  public:
    int Open(const CComString& strPath) override { return OpenImage(strPath, true); }
};

// Both openers copy the image through ImageBuffer and refuse one larger than m_nMaxDataSize.
// The opener clears as much of ImageBuffer as it is lent, so it is lent only the image's own
// size: clearing the whole buffer (0x17C00000 bytes shipped) at every image would make every
// page of it resident for nothing.
void PrepareFile(const CLoaderExecThread& thread, CComFile& file, const CComString& cstrName) {
    file.SetCapacity(thread.GetMaxDataSize());
    std::uint32_t staging = 0;
    const int row = FindModule(cstrName);
    if (row >= 0) {
        if (const auto image = platform::resources::Find(
                "DATA", static_cast<int>(kComModuleTable[row].resource))) {
            staging = static_cast<std::uint32_t>(
                std::min<std::size_t>(image->size(), thread.GetImageBufferSize()));
        }
    }
    file.SetStaging(staging > 0 ? thread.GetImageBuffer() : nullptr, staging);
}

// The start of an image row: its heading, the file and wait lines, then the file opened for
// reading, or the open error message. 1 = open.
int OpenImageRow(CLoaderExecThread& thread, const ImageRow& row, int nStartId, int nOpenErrorId,
                 CComFile& file) {
    thread.StepMessage(nStartId);
    thread.StepMessage(kMsgFileName, {row.strPath});
    thread.StepMessage(kMsgWaitSeconds, {Decimal(row.nSeconds)});
    // Parallel sections share ImageBuffer: it is lent for the open only, to one opener at a time.
    std::optional<platform::kernel::CriticalSectionLock> staging;
    if (platform::kernel::CriticalSection* lock = thread.GetStagingLock()) {
        staging.emplace(*lock);
    }
    PrepareFile(thread, file, row.strName);
    const int opened = file.Open(row.strName);
    file.SetStaging(nullptr, 0);
    staging.reset();
    if (opened != 1) {
        thread.StepMessage(nOpenErrorId, 0);
        return 0;
    }
    return 1;
}

// Messages 135 and 136, after the end heading.
void ReportTiming(CLoaderExecThread& thread, std::uint64_t uiStartMs, int nCount) {
    const std::uint64_t now = thread.GetClock().NowMs();
    thread.StepMessage(kMsgSendTime,
                       {imagecmd::FormatElapsed(now >= uiStartMs ? now - uiStartMs : 0)});
    thread.StepMessage(kMsgSendCount, {Decimal(nCount)});
}

// A step that failed keeps "stopped" as its reason: the stop is why it failed.
void SetStepError(std::int32_t nContents) {
    if (ExecError().ErrContents.load() != kErrStopped) {
        ExecError().ErrContents = nContents;
    }
}

// The S-records laid into the [COMSTDIO] window of FillBuffer; empty (reported) when the window
// does not fit or a record is bad.
std::span<std::uint8_t> ConvertSdramImage(CLoaderExecThread& thread, CComStdioFile& file) {
    const srecord::CAddressWindow range = thread.GetInitData() != nullptr
                                              ? srecord::ReadAddressWindow(*thread.GetInitData())
                                              : srecord::CAddressWindow{};
    // The configuration is not trusted to fit the buffer the window is laid into.
    const std::span<std::uint8_t> window =
        range.IsValid() ? thread.GetFillWindow(range.Size()) : std::span<std::uint8_t>();
    if (window.empty()) {
        thread.StepMessage(CLoaderExecThread::Text("SDRAM ダウンロード領域エラー"), 0);
        thread.StepMessage(CComString::Formatted("   --> TOPADR=%08X ENDADR=%08X FillBuffer=%u",
                                                 range.top, range.end, thread.GetFillBufferSize()));
        ExecError().ErrContents = kErrWindow;
        return {};
    }
    srecord::ConvertResult converted;
    if (srecord::ConvertImage(file, range, window, converted) != 1) {
        thread.StepMessage(CLoaderExecThread::Text("S レコードフォーマットエラー"), 0);
        thread.StepMessage(CLoaderExecThread::Text("   --> 行：") + Decimal(converted.nBadLine));
        ExecError().ErrContents = kErrImageFormat;
        return {};
    }
    return window;
}

// Announces, writes and has acknowledged one block after the other; 1 when all went out.
int SendSdramBlocks(CLoaderExecThread& thread, std::span<std::uint8_t> window,
                    const d0::CBlockPlan& plan, int nSeconds, int& nBlocks) {
    std::vector<std::uint8_t> frame;
    for (std::uint32_t block = 0; block < plan.uiBlocks; ++block) {
        if (thread.IsStopRequested()) {
            return thread.StopSeen();
        }
        const std::size_t offset = std::size_t{block} * plan.uiBlockData;
        const std::size_t size = std::min<std::size_t>(plan.uiBlockData, window.size() - offset);
        frames::BuildD0BlockFrame(static_cast<std::uint16_t>(block), window.subspan(offset, size),
                                  frame);
        if (thread.D0Poll(nSeconds) != 1) {
            SetStepError(kErrD0Announce);
            return 0;
        }
        thread.StepMessage(
            CLoaderExecThread::MessageText(kMsgCommandFrame) +
            CComString::BytesToHex(frame.data(), std::min(5, static_cast<int>(frame.size()))));
        // The acknowledgement is registered before the block goes out.
        const std::uint8_t ackKey = d0::AnswerKey(d0::kWaitBlock);
        thread.RegisterAnswer(&ackKey, 1);
        const int sent = thread.SendToPort(frame.data(), static_cast<std::uint32_t>(frame.size()));
        if (thread.IsStopRequested()) {
            return thread.StopSeen();
        }
        ++nBlocks;
        if (sent != 1) {
            return 0;
        }
        if (thread.Wait_DBB_D0Func(d0::kWaitBlock, nSeconds) != 1) {
            SetStepError(kErrD0BlockAck);
            return 0;
        }
    }
    return 1;
}

// The first stage's whole download of the window: start, the blocks, the finish with the sum.
int SendSdramImage(CLoaderExecThread& thread, std::span<std::uint8_t> window, int nSeconds,
                   int& nBlocks) {
    const std::uint16_t checksum = srecord::WindowChecksum(window);
    d0::CBlockPlan plan;
    if (d0::PlanBlocks(window.size(), plan) != 1) {
        ExecError().ErrContents = kErrImageTooSmall;
        return 0;
    }
    if (thread.D0StartSequence(nSeconds) != 1) {
        SetStepError(kErrD0Start);
        return 0;
    }
    if (SendSdramBlocks(thread, window, plan, nSeconds, nBlocks) != 1) {
        return 0;
    }
    return thread.D0FinishSequence(checksum, nSeconds);
}

}  // namespace

int CLoaderExecThread::DBB_LM_FileFunc(CComString cstrValue) {
    StepMessage(imagecmd::ForcedWriteLine());
    const ImageRow row = ParseRow(*this, cstrValue);
    const std::uint64_t start = GetClock().NowMs();
    CFrameImageFile file;
    if (OpenImageRow(*this, row, kMsgLmStart, kMsgLmOpenError, file) != 1) {
        return 0;
    }
    StepMessage(imagecmd::LmSizeLine(file.GetLength()));

    // Every acknowledgement is a DB answer, whatever frame it answers.
    const CComString waitValue = CComString::Formatted("4442,%d", row.nSeconds);
    std::vector<std::uint8_t> frame;
    int result = 1;
    int nFrames = 0;
    for (;;) {
        std::uint8_t header[kFrameHeader];
        const std::uint32_t got = file.Read(header, kFrameHeader);
        if (got == 0) {
            break;
        }
        const std::uint32_t length = got == kFrameHeader ? frames::ReadBe32(header + 4) : 0;
        const std::uint32_t left = file.GetLength() - file.GetPosition();
        // A length below the header would never advance; one past the end is a cut image.
        if (got < kFrameHeader || length < kFrameHeader || length - kFrameHeader > left) {
            StepMessage(kMsgLmFormatError, 0);
            ExecError().ErrContents = kErrImageFormat;
            result = 0;
            break;
        }
        frame.assign(header, header + kFrameHeader);
        frame.resize(length);
        file.Read(frame.data() + kFrameHeader, length - kFrameHeader);

        // Registered before the write: the answer may come before this thread waits.
        Wait_DBBFunc2_SetQue(waitValue);
        const int sent = SendToPort(frame.data(), length);
        if (IsStopRequested()) {
            result = StopSeen();
            break;
        }
        ++nFrames;
        if (sent != 1) {
            result = 0;
            break;
        }
        GetClock().SleepMs(1);
        if (Wait_DBBFunc2_Wait(waitValue) != 1) {
            result = 0;
            break;
        }
    }

    StepMessage(kMsgLmEnd);
    ReportTiming(*this, start, nFrames);
    file.Close();
    return result;
}

int CLoaderExecThread::DBB_D2_FileFunc(CComString cstrValue) {
    const ImageRow row = ParseRow(*this, cstrValue);
    const std::uint64_t start = GetClock().NowMs();
    CComStdioFile file;
    if (OpenImageRow(*this, row, kMsgD2Start, kMsgD2OpenError, file) != 1) {
        return 0;
    }

    int result = 1;
    int nLines = 0;
    CComString line;
    while (file.ReadString(line) != 0) {
        if (IsStopRequested()) {
            result = StopSeen();
            break;
        }
        // A line goes out as a string: up to its first zero byte.
        const std::string_view text = line.View();
        const auto length =
            static_cast<std::uint32_t>(std::find(text.begin(), text.end(), '\0') - text.begin());
        const int sent = SendToPort(reinterpret_cast<const std::uint8_t*>(text.data()), length);
        ++nLines;
        if (sent != 1) {
            result = 0;
            break;
        }
    }
    if (result == 1 && ExecError().ErrContents.load() != 0) {
        result = 0;
    }

    StepMessage(kMsgD2End);
    ReportTiming(*this, start, nLines);
    file.Close();
    return result;
}

int CLoaderExecThread::DBB_SDRAM_FileFunc(CComString cstrValue) {
    const ImageRow row = ParseRow(*this, cstrValue);
    const std::uint64_t start = GetClock().NowMs();
    CComStdioFile file;
    if (OpenImageRow(*this, row, kMsgD2Start, kMsgD2OpenError, file) != 1) {
        return 0;
    }

    int result = 0;
    int nBlocks = 0;
    const std::span<std::uint8_t> window = ConvertSdramImage(*this, file);
    if (!window.empty()) {
        result = SendSdramImage(*this, window, row.nSeconds, nBlocks);
    }

    StepMessage(kMsgD2End);
    ReportTiming(*this, start, nBlocks);
    file.Close();
    return result;
}

#include "Loader/device/Response.h"

#include <algorithm>

#include "platform/resources/resources.h"

namespace frames {
namespace {

// "未定義エラー" in code page 932.
constexpr char kUndefinedError[] = "\x96\xa2\x92\xe8\x8b\x60\x83\x47\x83\x89\x81\x5b";

}  // namespace

int StartDbRecord(std::span<const std::uint8_t> header, std::vector<std::uint8_t>& record) {
    record.clear();
    if (header.size() < kDbHeaderSize || IdentifyFrame(header[0], header[1]) != FrameFamily::kDb) {
        return 0;
    }
    HeaderCheck check = CheckHeader(FrameFamily::kDb, header);
    if (check.verdict != HeaderVerdict::kValid) {
        return 0;
    }
    record.assign(check.length, 0);
    std::copy_n(header.begin(), 4, record.begin());
    WriteLe32(record.data() + 4, check.length);
    return 1;
}

std::uint32_t DbRecordLength(std::span<const std::uint8_t> record) {
    return record.size() < kDbHeaderSize ? 0 : ReadLe32(record.data() + 4);
}

DbAnswer ClassifyDbRecord(std::span<const std::uint8_t> record) {
    DbAnswer answer;
    std::uint32_t length = DbRecordLength(record);
    if (length < kDbHeaderSize) {
        return answer;
    }
    answer.command[0] = record[2];
    answer.command[1] = record[3];
    std::size_t end = std::min<std::size_t>(length, record.size());
    answer.payload = record.subspan(kDbHeaderSize, end - kDbHeaderSize);
    if (record[2] == kDbErrorWord0 && record[3] == kDbErrorWord1) {
        answer.kind = DbAnswerKind::kError;
        // A cut-off error answer is still an error; its code just cannot be trusted.
        std::size_t n = std::min<std::size_t>(answer.payload.size(), 4);
        std::copy_n(answer.payload.begin(), n, answer.codeBytes.begin());
        answer.hasCode = n == 4;
        if (answer.hasCode) {
            answer.code = static_cast<std::int32_t>(ReadBe32(answer.codeBytes.data()));
        }
        return answer;
    }
    answer.kind = answer.payload.empty() ? DbAnswerKind::kAck : DbAnswerKind::kData;
    return answer;
}

int DeviceErrorMessageId(std::int32_t code) {
    for (const DeviceError& e : kDeviceErrors) {
        if (e.code == code) {
            return e.messageId;
        }
    }
    return 0;
}

std::string_view DeviceErrorText(std::int32_t code) {
    int id = DeviceErrorMessageId(code);
    return id == 0 ? std::string_view() : platform::resources::LoadString(id);
}

std::array<CComString, 2> DeviceErrorLines(const DbAnswer& answer) {
    int id = answer.hasCode ? DeviceErrorMessageId(answer.code) : 0;
    if (id != 0) {
        return {CComString::Formatted("   ---> 0x%08x", static_cast<unsigned>(answer.code)),
                CComString("   ---> ") + CComString(platform::resources::LoadString(id))};
    }
    const auto& b = answer.codeBytes;
    return {CComString::Formatted("   ---> 0x%02x%02x%02x%02x", b[0], b[1], b[2], b[3]),
            CComString("   ---> ") + kUndefinedError};
}

}  // namespace frames

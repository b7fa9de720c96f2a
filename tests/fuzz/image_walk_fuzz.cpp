// Feeds arbitrary bytes to the image walker and to the record builders (the test ones, over the
// receive thread's StartDbRecord and CheckHeader). Any read outside the input, or a walk that does
// not account for every byte it passed, is a bug.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Loader/device/ImageWalker.h"
#include "Loader/device/Response.h"
#include "tests/support/FrameBuilders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exact-size copy so that the sanitizer sees any byte read past the end.
    std::vector<std::uint8_t> input(data, data + size);
    std::span<const std::uint8_t> bytes(input);

    frames::CImageWalker walker(bytes);
    frames::ImageFrame f;
    std::size_t expected = 0;
    std::vector<std::uint8_t> record;
    while (walker.Next(f) == 1) {
        if (f.offset != expected || f.length < frames::kDbHeaderSize) {
            __builtin_trap();
        }
        expected += f.length;
        std::span<const std::uint8_t> frame = walker.Bytes(f);
        if (frame.size() != f.length) {
            __builtin_trap();
        }
        if (frametest::MakeDbRecord(frame, record) == 1) {
            frames::DbAnswer answer = frames::ClassifyDbRecord(record);
            if (answer.kind == frames::DbAnswerKind::kError) {
                (void)frames::DeviceErrorLines(answer);
            }
        }
        (void)frametest::MakeHpRecord(frame, record);
    }
    if (walker.Offset() != expected || expected > size ||
        (walker.Error() == frames::WalkError::kNone && expected != size)) {
        __builtin_trap();
    }

    // The receiver's view: whatever family the first bytes announce.
    if (size >= 2) {
        frames::FrameFamily family = frames::IdentifyFrame(bytes[0], bytes[1]);
        frames::HeaderCheck check = frames::CheckHeader(family, bytes);
        if (check.verdict == frames::HeaderVerdict::kValid &&
            check.length > frames::kMaxFrameLength) {
            __builtin_trap();
        }
        if (frames::StartDbRecord(bytes, record) == 1 && record.size() != check.length) {
            __builtin_trap();
        }
        if (frametest::MakeD0Record(bytes, record) == 1 && record.size() != size - 2) {
            __builtin_trap();
        }
    }
    // Raw records as a queue could hand them over, length field and all.
    frames::DbAnswer answer = frames::ClassifyDbRecord(bytes);
    if (answer.payload.size() > size) {
        __builtin_trap();
    }
    (void)frames::DeviceErrorLines(answer);

    // The same bytes as a script value.
    std::vector<std::uint8_t> command;
    CComString value(reinterpret_cast<const char*>(input.data()), static_cast<int>(size));
    int built = frames::BuildDbCommandFrame(value, command);
    if (built == 1 &&
        (command.size() < frames::kDbHeaderSize || command.size() > frames::kMaxFrameLength)) {
        __builtin_trap();
    }
    return 0;
}

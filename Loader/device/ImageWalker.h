// Walks a frame image (.cvt: DB frames end to end) by the frames' length fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Loader/device/Frame.h"

namespace frames {

struct ImageFrame {
    FrameFamily family = FrameFamily::kUnknown;  // from the identifier bytes
    std::uint8_t command[2] = {0, 0};
    std::size_t offset = 0;
    std::uint32_t length = 0;  // whole frame, header included
};

enum class WalkError {
    kNone,
    kTruncatedHeader,  // 1 to 7 bytes left after the last whole frame
    kLengthTooSmall,   // a length field below 8 (0 would never advance)
    kPastEnd,          // a frame longer than the bytes left
};

// Text for logs and test output.
const char* WalkErrorText(WalkError error);

class CImageWalker {
  public:
    explicit CImageWalker(std::span<const std::uint8_t> image) : m_image(image) {}

    // 1: the next frame is in `frame`. 0: the image ended exactly after its last frame
    // (Error() is kNone) or the frame at ErrorOffset() is bad; the walk stays stopped.
    int Next(ImageFrame& frame);

    WalkError Error() const { return m_error; }
    std::size_t ErrorOffset() const { return m_errorOffset; }
    // Offset of the next frame: after a complete walk, the image size.
    std::size_t Offset() const { return m_offset; }

    // Bytes of a frame this walker returned, header included, or its payload.
    std::span<const std::uint8_t> Bytes(const ImageFrame& frame) const;
    std::span<const std::uint8_t> Payload(const ImageFrame& frame) const;

  private:
    std::span<const std::uint8_t> m_image;
    std::size_t m_offset = 0;
    WalkError m_error = WalkError::kNone;
    std::size_t m_errorOffset = 0;
    bool m_stopped = false;
};

}  // namespace frames

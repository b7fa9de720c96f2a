#include "Loader/device/ImageWalker.h"

namespace frames {

const char* WalkErrorText(WalkError error) {
    switch (error) {
        case WalkError::kNone:
            return "no error";
        case WalkError::kTruncatedHeader:
            return "image ends inside a frame header";
        case WalkError::kLengthTooSmall:
            return "frame length below the 8 header bytes";
        case WalkError::kPastEnd:
            return "frame runs past the end of the image";
    }
    return "unknown error";
}

int CImageWalker::Next(ImageFrame& frame) {
    if (m_stopped) {
        return 0;
    }
    std::size_t left = m_image.size() - m_offset;
    auto fail = [this](WalkError error) {
        m_error = error;
        m_errorOffset = m_offset;
        m_stopped = true;
        return 0;
    };
    if (left == 0) {
        m_stopped = true;
        return 0;
    }
    if (left < kDbHeaderSize) {
        return fail(WalkError::kTruncatedHeader);
    }
    const std::uint8_t* p = m_image.data() + m_offset;
    std::uint32_t length = ReadBe32(p + 4);
    if (length < kDbHeaderSize) {
        return fail(WalkError::kLengthTooSmall);
    }
    if (length > left) {
        return fail(WalkError::kPastEnd);
    }
    frame.family = IdentifyFrame(p[0], p[1]);
    frame.command[0] = p[2];
    frame.command[1] = p[3];
    frame.offset = m_offset;
    frame.length = length;
    m_offset += length;
    return 1;
}

std::span<const std::uint8_t> CImageWalker::Bytes(const ImageFrame& frame) const {
    if (frame.offset > m_image.size() || frame.length > m_image.size() - frame.offset) {
        return {};
    }
    return m_image.subspan(frame.offset, frame.length);
}

std::span<const std::uint8_t> CImageWalker::Payload(const ImageFrame& frame) const {
    std::span<const std::uint8_t> bytes = Bytes(frame);
    return bytes.size() < kDbHeaderSize ? std::span<const std::uint8_t>()
                                        : bytes.subspan(kDbHeaderSize);
}

}  // namespace frames

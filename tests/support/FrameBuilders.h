// Frames as the device sends them and records as the receive thread delivers them, built whole
// for tests, the fuzzer and the benchmark; the loader itself builds neither this way.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "Loader/device/Frame.h"
#include "Loader/device/Response.h"

namespace frametest {

// A DB frame with the given command word (high byte first) and payload. Empty when the frame
// would exceed frames::kMaxFrameLength.
inline std::vector<std::uint8_t> MakeDbFrame(std::uint16_t commandWord,
                                             std::span<const std::uint8_t> payload = {}) {
    if (payload.size() > frames::kMaxFrameLength - frames::kDbHeaderSize) {
        return {};
    }
    std::vector<std::uint8_t> frame{frames::kDbId0,
                                    frames::kDbId1,
                                    static_cast<std::uint8_t>(commandWord >> 8),
                                    static_cast<std::uint8_t>(commandWord),
                                    0,
                                    0,
                                    0,
                                    0};
    frames::WriteBe32(frame.data() + 4,
                      static_cast<std::uint32_t>(frames::kDbHeaderSize + payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// The loader's error answer: command word 0x80 0xFF, the code as signed 32-bit big-endian.
inline std::vector<std::uint8_t> MakeDbErrorFrame(std::int32_t code) {
    std::uint8_t payload[4];
    frames::WriteBe32(payload, static_cast<std::uint32_t>(code));
    return MakeDbFrame((frames::kDbErrorWord0 << 8) | frames::kDbErrorWord1, payload);
}

// Records from complete frames. Each returns 0 and leaves `record` empty when the frame is not
// of its family, its header is not valid or its length field disagrees with the bytes given.
inline int MakeDbRecord(std::span<const std::uint8_t> frame, std::vector<std::uint8_t>& record) {
    if (frames::StartDbRecord(frame, record) == 0) {
        return 0;
    }
    if (record.size() != frame.size()) {
        record.clear();
        return 0;
    }
    std::copy(frame.begin() + frames::kDbHeaderSize, frame.end(),
              record.begin() + frames::kDbHeaderSize);
    return 1;
}

inline int MakeHpRecord(std::span<const std::uint8_t> frame, std::vector<std::uint8_t>& record) {
    record.clear();
    if (frame.size() < frames::kHpHeaderSize ||
        frames::IdentifyFrame(frame[0], frame[1]) != frames::FrameFamily::kHp) {
        return 0;
    }
    const frames::HeaderCheck check = frames::CheckHeader(frames::FrameFamily::kHp, frame);
    if (check.verdict != frames::HeaderVerdict::kValid || check.length != frame.size()) {
        return 0;
    }
    record.assign(frame.begin(), frame.end());
    return 1;
}

inline int MakeD0Record(std::span<const std::uint8_t> frame, std::vector<std::uint8_t>& record) {
    record.clear();
    if (frame.size() < 2 ||
        frames::IdentifyFrame(frame[0], frame[1]) != frames::FrameFamily::kD0Answer) {
        return 0;
    }
    const frames::HeaderCheck check = frames::CheckHeader(frames::FrameFamily::kD0Answer, frame);
    if (check.length != frame.size()) {
        return 0;
    }
    record.assign(frame.begin() + 2, frame.end());
    return 1;
}

inline void MakeZeroLedRecord(std::uint8_t dataByte, std::vector<std::uint8_t>& record) {
    record.assign(1, dataByte);
}

}  // namespace frametest

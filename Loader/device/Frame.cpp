#include "Loader/device/Frame.h"

namespace frames {

std::uint32_t ReadBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void WriteBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t ReadLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void WriteLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

int BuildDbCommandFrame(const CComString& cstrValue, std::vector<std::uint8_t>& frame) {
    return BuildDbCommandFrame(cstrValue.Split(','), frame);
}

int BuildDbCommandFrame(const CComStringArray& fields, std::vector<std::uint8_t>& frame) {
    frame.clear();
    // Checked before anything is allocated: a mistyped length must not become a gigabyte buffer.
    int iLength = fields.GetAt(2).ToInt();
    if (iLength < static_cast<int>(kDbHeaderSize) || iLength > static_cast<int>(kMaxFrameLength)) {
        return 0;
    }
    frame.assign(static_cast<std::size_t>(iLength), 0);
    fields.GetAt(0).HexToBytes(frame.data(), 2);
    fields.GetAt(1).HexToBytes(frame.data() + 2, 2);
    WriteBe32(frame.data() + 4, static_cast<std::uint32_t>(iLength));
    if (iLength > static_cast<int>(kDbHeaderSize)) {
        fields.GetAt(3).HexToBytes(frame.data() + kDbHeaderSize,
                                   iLength - static_cast<int>(kDbHeaderSize));
    }
    return 1;
}

int BuildD0BlockFrame(std::uint16_t blockNumber, std::span<const std::uint8_t> data,
                      std::vector<std::uint8_t>& frame) {
    frame.clear();
    if (data.size() + 2 > kD0BlockMaxCount) {
        return 0;
    }
    std::size_t count = data.size() + 2;
    frame.reserve(3 + count);
    frame.push_back(kD0Block);
    frame.push_back(static_cast<std::uint8_t>(count >> 8));
    frame.push_back(static_cast<std::uint8_t>(count));
    frame.push_back(static_cast<std::uint8_t>(blockNumber >> 8));
    frame.push_back(static_cast<std::uint8_t>(blockNumber));
    frame.insert(frame.end(), data.begin(), data.end());
    return 1;
}

FrameFamily IdentifyFrame(std::uint8_t b0, std::uint8_t b1) {
    if (b0 == kDbId0 && b1 == kDbId1) {
        return FrameFamily::kDb;
    }
    if (b0 == kHpId0 && b1 == kHpId1) {
        return FrameFamily::kHp;
    }
    if (b0 >= kD0Answer0 && b0 <= kD0Answer3) {
        return FrameFamily::kD0Answer;
    }
    return FrameFamily::kUnknown;
}

std::size_t HeaderSize(FrameFamily family) {
    switch (family) {
        case FrameFamily::kDb:
            return kDbHeaderSize;
        case FrameFamily::kHp:
            return kHpHeaderSize;
        case FrameFamily::kD0Answer:
            return 2;
        case FrameFamily::kUnknown:
            break;
    }
    return 0;
}

HeaderCheck CheckHeader(FrameFamily family, std::span<const std::uint8_t> header) {
    std::size_t need = HeaderSize(family);
    if (need == 0 || header.size() < need) {
        return {};
    }
    if (family == FrameFamily::kD0Answer) {
        return {HeaderVerdict::kValid, std::uint32_t{header[1]} + 2};
    }
    std::uint32_t length = ReadBe32(header.data() + 4);
    HeaderVerdict verdict = HeaderVerdict::kValid;
    if (length == 0) {
        verdict = HeaderVerdict::kEmpty;
    } else if (length < need) {
        verdict = HeaderVerdict::kMalformed;
    } else if (length > kMaxFrameLength) {
        verdict = HeaderVerdict::kTooLong;
    }
    return {verdict, length};
}

}  // namespace frames

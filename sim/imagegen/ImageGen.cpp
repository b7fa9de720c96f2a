#include "sim/imagegen/ImageGen.h"

#include <algorithm>
#include <iterator>

namespace sim::image {
namespace {

// splitmix64: cheap, well mixed, and fully defined by its seed.
class Random {
  public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

  private:
    std::uint64_t m_state;
};

std::uint64_t SeedOf(std::string_view name) {
    std::uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (char c : name) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    }
    return h;
}

void FillRandom(std::vector<std::uint8_t>& data, std::string_view name) {
    Random rng(SeedOf(name));
    std::size_t i = 0;
    for (; i + 8 <= data.size(); i += 8) {
        std::uint64_t v = rng.Next();
        for (int k = 0; k < 8; ++k) {
            data[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
        }
    }
    std::uint64_t v = rng.Next();
    for (; i < data.size(); ++i, v >>= 8) {
        data[i] = static_cast<std::uint8_t>(v);
    }
}

// Nudges bytes from the end until the sum is right, going whichever way needs less change so
// that only a few hundred bytes at most stop looking random.
bool FixSum(std::vector<std::uint8_t>& data, std::uint16_t target) {
    std::uint32_t up = static_cast<std::uint16_t>(target - Sum16(data));
    std::uint32_t down = (0x10000u - up) & 0xFFFFu;
    bool raise = up <= down;
    std::uint32_t need = raise ? up : down;
    for (auto it = data.rbegin(); it != data.rend() && need > 0; ++it) {
        std::uint32_t room = raise ? 0xFFu - *it : *it;
        std::uint32_t step = std::min(room, need);
        *it = static_cast<std::uint8_t>(raise ? *it + step : *it - step);
        need -= step;
    }
    return need == 0;
}

}  // namespace

std::vector<std::uint32_t> PlanFrames(const Module& module) {
    if (module.imageSize < kInfoFrameSize) {
        return {};
    }
    std::uint64_t rest = module.imageSize - kInfoFrameSize;  // bytes of all data frames
    std::vector<std::uint32_t> frames{static_cast<std::uint32_t>(kInfoFrameSize)};
    if (module.frameCount == 0) {
        if (rest > 0 && rest <= kFrameHeaderSize) {
            return {};
        }
        while (rest > 0) {
            std::uint64_t len = std::min<std::uint64_t>(rest, kMaxFrameSize);
            // A short tail would be a frame without data: take a few bytes off the one before.
            if (rest > kMaxFrameSize && rest - kMaxFrameSize <= kFrameHeaderSize) {
                len = rest - kFrameHeaderSize - 1;
            }
            frames.push_back(static_cast<std::uint32_t>(len));
            rest -= len;
        }
    } else {
        if (module.frameCount < 2) {
            return {};
        }
        std::uint64_t count = module.frameCount - 1;
        if (rest >= kMaxFrameSize + (count - 1) * (kFrameHeaderSize + 1)) {
            frames.push_back(static_cast<std::uint32_t>(kMaxFrameSize));
            rest -= kMaxFrameSize;
            --count;
        }
        if (count > 0) {
            std::uint64_t each = rest / count;
            std::uint64_t extra = rest % count;
            if (each <= kFrameHeaderSize || each + (extra ? 1 : 0) > kMaxFrameSize) {
                return {};
            }
            for (std::uint64_t i = 0; i < count; ++i) {
                frames.push_back(static_cast<std::uint32_t>(each + (i < extra ? 1 : 0)));
            }
        } else if (rest != 0) {
            return {};
        }
    }
    std::uint64_t data = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        data += frames[i] - kFrameHeaderSize;
    }
    if (data > module.AreaSize()) {
        return {};
    }
    return frames;
}

std::vector<std::uint8_t> BuildImage(const Module& module) {
    std::vector<std::uint32_t> frames = PlanFrames(module);
    if (frames.empty()) {
        return {};
    }
    std::vector<std::uint8_t> data(module.imageSize - kInfoFrameSize -
                                   (frames.size() - 1) * kFrameHeaderSize);
    FillRandom(data, module.name);
    if (!FixSum(data, module.sum)) {
        return {};
    }

    std::vector<std::uint8_t> image;
    image.reserve(module.imageSize);
    auto header = [&](std::uint32_t length) {
        std::uint8_t h[kFrameHeaderSize] = {0x44, 0x42,
                                            static_cast<std::uint8_t>(module.frameCommand >> 8),
                                            static_cast<std::uint8_t>(module.frameCommand)};
        WriteBe32(h + 4, length);
        image.insert(image.end(), std::begin(h), std::end(h));
    };
    header(frames[0]);
    auto info = EncodeInfo(
        {module.areaCode, module.StartAddress(), static_cast<std::uint32_t>(data.size())});
    image.insert(image.end(), info.begin(), info.end());
    auto in = data.begin();
    for (std::size_t i = 1; i < frames.size(); ++i) {
        header(frames[i]);
        auto n = static_cast<std::ptrdiff_t>(frames[i] - kFrameHeaderSize);
        image.insert(image.end(), in, in + n);
        in += n;
    }
    return image;
}

}  // namespace sim::image

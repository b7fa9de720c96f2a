#include "Loader/device/ImageWalker.h"
#include "tests/support/FrameBuilders.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using frames::CImageWalker;
using frames::ImageFrame;
using frames::WalkError;

Bytes Image(std::initializer_list<std::size_t> payloads) {
    Bytes image;
    for (std::size_t n : payloads) {
        Bytes payload(n, static_cast<std::uint8_t>(n));
        Bytes frame = frametest::MakeDbFrame(0x2801, payload);
        image.insert(image.end(), frame.begin(), frame.end());
    }
    return image;
}

struct Walk {
    std::vector<ImageFrame> frames;
    WalkError error;
    std::size_t errorOffset;
};

Walk WalkAll(const Bytes& image) {
    CImageWalker walker(image);
    Walk w;
    ImageFrame f;
    while (walker.Next(f) == 1) {
        w.frames.push_back(f);
    }
    EXPECT_EQ(walker.Next(f), 0) << "a stopped walk must stay stopped";
    w.error = walker.Error();
    w.errorOffset = walker.ErrorOffset();
    if (w.error == WalkError::kNone) {
        EXPECT_EQ(walker.Offset(), image.size());
    }
    return w;
}

TEST(ImageWalker, VisitsEveryFrameAndEndsAtTheSize) {
    Bytes image = Image({13, 0, 100});
    Walk w = WalkAll(image);
    ASSERT_EQ(w.error, WalkError::kNone);
    ASSERT_EQ(w.frames.size(), 3u);
    const std::size_t offsets[] = {0, 21, 29};
    const std::uint32_t lengths[] = {21, 8, 108};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(w.frames[i].family, frames::FrameFamily::kDb);
        EXPECT_EQ(w.frames[i].command[0], 0x28);
        EXPECT_EQ(w.frames[i].command[1], 0x01);
        EXPECT_EQ(w.frames[i].offset, offsets[i]);
        EXPECT_EQ(w.frames[i].length, lengths[i]);
    }
    CImageWalker walker(image);
    EXPECT_TRUE(walker.Payload(w.frames[1]).empty());
    ASSERT_EQ(walker.Payload(w.frames[2]).size(), 100u);
    EXPECT_EQ(walker.Payload(w.frames[2]).back(), 100);
}

TEST(ImageWalker, EmptyImageHasNoFrames) {
    Walk w = WalkAll({});
    EXPECT_TRUE(w.frames.empty());
    EXPECT_EQ(w.error, WalkError::kNone);
}

TEST(ImageWalker, StopsOnTruncatedImages) {
    Bytes image = Image({13, 100});
    Bytes cut(image.begin(), image.end() - 1);
    Walk w = WalkAll(cut);
    EXPECT_EQ(w.frames.size(), 1u);
    EXPECT_EQ(w.error, WalkError::kPastEnd);
    EXPECT_EQ(w.errorOffset, 21u);

    for (std::size_t extra = 1; extra < 8; ++extra) {
        Bytes tail = image;
        tail.insert(tail.end(), image.begin(), image.begin() + static_cast<long>(extra));
        Walk t = WalkAll(tail);
        EXPECT_EQ(t.frames.size(), 2u);
        EXPECT_EQ(t.error, WalkError::kTruncatedHeader) << extra;
        EXPECT_EQ(t.errorOffset, image.size());
    }
}

TEST(ImageWalker, StopsOnCorruptLengths) {
    for (std::uint32_t length : {0u, 1u, 7u}) {
        Bytes image = Image({13, 5, 13});
        frames::WriteBe32(image.data() + 21 + 4, length);
        Walk w = WalkAll(image);
        EXPECT_EQ(w.frames.size(), 1u);
        EXPECT_EQ(w.error, WalkError::kLengthTooSmall) << length;
        EXPECT_EQ(w.errorOffset, 21u);
    }
    // Lengths that would wrap an offset computed carelessly.
    for (std::uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u}) {
        Bytes image = Image({13, 5});
        frames::WriteBe32(image.data() + 21 + 4, length);
        Walk w = WalkAll(image);
        EXPECT_EQ(w.error, WalkError::kPastEnd) << length;
    }
}

TEST(ImageWalker, ReportsFamilyWithoutJudgingIt) {
    Bytes image = Image({5});
    image[0] = 0x48;
    image[1] = 0x50;
    Walk w = WalkAll(image);
    ASSERT_EQ(w.frames.size(), 1u);
    EXPECT_EQ(w.frames[0].family, frames::FrameFamily::kHp);
    EXPECT_STRNE(frames::WalkErrorText(WalkError::kPastEnd), "");
}

}  // namespace

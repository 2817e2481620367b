#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "platform/v4l2/V4L2FormatNegotiator.h"

namespace velunto {
namespace {

V4L2FrameSizeOption size(std::uint32_t width, std::uint32_t height, std::vector<std::uint32_t> rates) {
    V4L2FrameSizeOption option{width, height, {}};
    for (const auto fps : rates)
        option.intervals.push_back({1, fps});
    return option;
}

V4L2DeviceDescription device(std::string bus, std::vector<V4L2FormatOption> formats) {
    V4L2DeviceDescription description;
    description.path = "/dev/video0";
    description.card = "Camera";
    description.busInfo = std::move(bus);
    description.formats = std::move(formats);
    return description;
}

const V4L2DeviceDescription usb2Webcam =
    device("usb-0000:00:14.0-1",
           {{V4L2_PIX_FMT_YUYV, {size(640, 480, {30, 15}), size(1280, 720, {10, 5}), size(1920, 1080, {5})}},
            {V4L2_PIX_FMT_MJPEG, {size(640, 480, {30}), size(1280, 720, {30}), size(1920, 1080, {30})}}});

TEST(V4L2FormatNegotiator, PrefersAFormatThatReachesTwentyFiveFramesPerSecond) {
    const auto ranked = V4L2FormatNegotiator::rank(usb2Webcam, 1280, 720);
    ASSERT_EQ(ranked.size(), 2u);
    EXPECT_EQ(ranked[0], (V4L2FormatChoice{V4L2_PIX_FMT_MJPEG, 1280, 720, {1, 30}}));
    EXPECT_EQ(ranked[1], (V4L2FormatChoice{V4L2_PIX_FMT_YUYV, 1280, 720, {1, 10}}));
}

TEST(V4L2FormatNegotiator, UncompressedWinsAtSmallSizesAndCompressedAtLargeOnesOverUSB) {
    EXPECT_EQ(V4L2FormatNegotiator::rank(usb2Webcam, 640, 480).front().pixelFormat, V4L2_PIX_FMT_YUYV);

    const std::vector<V4L2FormatOption> fastFormats = {
        {V4L2_PIX_FMT_YUYV, {size(1920, 1080, {30})}},
        {V4L2_PIX_FMT_MJPEG, {size(1920, 1080, {30})}},
        {V4L2_PIX_FMT_NV12, {size(1920, 1080, {30})}},
    };
    const auto usb3 = V4L2FormatNegotiator::rank(device("usb-0000:00:14.0-2", fastFormats), 1920, 1080);
    ASSERT_EQ(usb3.size(), 3u);
    EXPECT_EQ(usb3[0].pixelFormat, V4L2_PIX_FMT_MJPEG);
    EXPECT_EQ(usb3[1].pixelFormat, V4L2_PIX_FMT_NV12);
    EXPECT_EQ(usb3[2].pixelFormat, V4L2_PIX_FMT_YUYV);

    // A camera on the SoC has no bus to share: raw frames, NV12 first.
    const auto onChip = V4L2FormatNegotiator::rank(device("platform:camera", fastFormats), 1920, 1080);
    EXPECT_EQ(onChip[0].pixelFormat, V4L2_PIX_FMT_NV12);
    EXPECT_EQ(onChip[1].pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(onChip[2].pixelFormat, V4L2_PIX_FMT_MJPEG);
}

TEST(V4L2FormatNegotiator, FallsBackToTheSmallestCoveringSizeThenTheLargest) {
    const auto covering = V4L2FormatNegotiator::rank(usb2Webcam, 1000, 600).front();
    EXPECT_EQ(covering.width, 1280u);
    EXPECT_EQ(covering.height, 720u);
    EXPECT_EQ(covering.pixelFormat, V4L2_PIX_FMT_MJPEG);

    const auto tooLarge = V4L2FormatNegotiator::rank(usb2Webcam, 4096, 2160).front();
    EXPECT_EQ(tooLarge.width, 1920u);
    EXPECT_EQ(tooLarge.height, 1080u);

    // The asked size, even slow, beats a different size at full rate.
    const auto exact = V4L2FormatNegotiator::rank(
        device("usb-1", {{V4L2_PIX_FMT_YUYV, {size(800, 600, {15})}}, {V4L2_PIX_FMT_MJPEG, {size(1280, 720, {30})}}}),
        800, 600);
    EXPECT_EQ(exact.front(), (V4L2FormatChoice{V4L2_PIX_FMT_YUYV, 800, 600, {1, 15}}));
}

TEST(V4L2FormatNegotiator, PicksTheRateNearestThirtyAmongTheFastEnoughOnes) {
    EXPECT_EQ(V4L2FormatNegotiator::preferredInterval(size(640, 480, {60, 30, 15})), (V4L2FrameInterval{1, 30}));
    EXPECT_EQ(V4L2FormatNegotiator::preferredInterval(size(640, 480, {60})), (V4L2FrameInterval{1, 60}));
    EXPECT_EQ(V4L2FormatNegotiator::preferredInterval(size(640, 480, {60, 50})), (V4L2FrameInterval{1, 50}));
    EXPECT_EQ(V4L2FormatNegotiator::preferredInterval(size(640, 480, {25, 20})), (V4L2FrameInterval{1, 25}));
    EXPECT_EQ(V4L2FormatNegotiator::preferredInterval(size(640, 480, {5, 15, 10})), (V4L2FrameInterval{1, 15}));
    // NTSC-style rates are kept exactly.
    V4L2FrameSizeOption ntsc{640, 480, {{1001, 30000}, {1001, 60000}}};
    EXPECT_EQ(V4L2FormatNegotiator::preferredInterval(ntsc), (V4L2FrameInterval{1001, 30000}));
}

TEST(V4L2FormatNegotiator, NothingToOfferGivesNoChoice) {
    EXPECT_TRUE(V4L2FormatNegotiator::rank(device("usb-1", {}), 640, 480).empty());
}

}  // namespace
}  // namespace velunto

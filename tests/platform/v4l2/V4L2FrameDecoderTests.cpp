#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include "platform/v4l2/V4L2FakeKernel.h"
#include "platform/v4l2/V4L2FrameDecoder.h"

namespace velunto {
namespace {

TEST(V4L2FrameDecoder, RawFramesShorterThanTheirLayoutAreDropped) {
    const V4L2StreamFormat yuyv{V4L2_PIX_FMT_YUYV, 64, 4, 160, 640, false};
    // The last row needs only its pixels, not its padding.
    EXPECT_EQ(V4L2FrameDecoder::minimumRawSize(yuyv), 160u * 3 + 128);
    V4L2FrameDecoder decoder(yuyv);
    ASSERT_TRUE(decoder.isValid());
    const auto bytes = V4L2FakeKernel::pattern(yuyv, 3);
    EXPECT_FALSE(decoder.decode(bytes.data(), V4L2FrameDecoder::minimumRawSize(yuyv) - 1));
    EXPECT_TRUE(decoder.decode(bytes.data(), V4L2FrameDecoder::minimumRawSize(yuyv)));

    // A driver that reports no line length gets the tight one.
    const V4L2StreamFormat nv12{V4L2_PIX_FMT_NV12, 6, 3, 0, 0, false};
    EXPECT_EQ(V4L2FrameDecoder::minimumRawSize(nv12), 6u * 3 + 6 + 6);
}

TEST(V4L2FrameDecoder, GreyJPEGsGetNeutralChroma) {
    const V4L2StreamFormat mjpeg{V4L2_PIX_FMT_MJPEG, 40, 30, 0, 0, false};
    const auto jpeg = V4L2FakeKernel::pattern(mjpeg, 5);
    ASSERT_FALSE(jpeg.empty());
    V4L2FrameDecoder decoder(mjpeg);
    const auto frame = decoder.decode(jpeg.data(), jpeg.size());
    ASSERT_TRUE(frame);
    int worst = 0;
    for (std::size_t y = 0; y < 30; ++y) {
        const auto* luma =
            static_cast<const std::uint8_t*>(frame->baseAddressOfPlane(0)) + y * frame->bytesPerRowOfPlane(0);
        for (std::size_t x = 0; x < 40; ++x)
            worst = std::max(
                worst,
                std::abs(int(luma[x]) - int(V4L2FakeKernel::patternByte(std::uint32_t(x), std::uint32_t(y), 0, 5))));
    }
    // The pattern is a sharp ramp, so the JPEG is less exact than with photos.
    EXPECT_LE(worst, 24);
    for (std::size_t y = 0; y < 15; ++y) {
        const auto* chroma =
            static_cast<const std::uint8_t*>(frame->baseAddressOfPlane(1)) + y * frame->bytesPerRowOfPlane(1);
        for (std::size_t x = 0; x < 40; ++x)
            ASSERT_EQ(chroma[x], 128);
    }
}

TEST(V4L2FrameDecoder, OddSizedJPEGsDecodeWithoutOverrunningTheFrame) {
    const V4L2StreamFormat mjpeg{V4L2_PIX_FMT_MJPEG, 33, 17, 0, 0, false};
    std::vector<std::uint8_t> bgra(33 * 17 * 4, 0x80);
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(encoder, bgra.data(), 33, 0, 17, TJPF_BGRA, &jpeg, &size, TJSAMP_420, 90, 0), 0);
    V4L2FrameDecoder decoder(mjpeg);
    const auto frame = decoder.decode(jpeg, size);
    tjFree(jpeg);
    tjDestroy(encoder);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 33u);
    const auto* luma = static_cast<const std::uint8_t*>(frame->baseAddressOfPlane(0));
    EXPECT_NEAR(luma[16 * frame->bytesPerRowOfPlane(0) + 32], 0x80, 3);
    const auto* chroma = static_cast<const std::uint8_t*>(frame->baseAddressOfPlane(1));
    EXPECT_NEAR(chroma[8 * frame->bytesPerRowOfPlane(1) + 33], 128, 3);
}

TEST(V4L2FrameDecoder, UnknownFormatsAreNotDecodable) {
    V4L2FrameDecoder decoder({V4L2_PIX_FMT_H264, 640, 480, 0, 0, false});
    EXPECT_FALSE(decoder.isValid());
    const std::uint8_t byte = 0;
    EXPECT_FALSE(decoder.decode(&byte, 1));
}

}  // namespace
}  // namespace velunto

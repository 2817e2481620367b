#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstring>

#include "platform/v4l2/V4L2LoopbackOutput.h"
#include "tests/platform/v4l2/V4L2TestSupport.h"

namespace velunto {
namespace {

using testing::usbWebcam;

std::shared_ptr<CVPixelBuffer> solidBGRA(std::size_t width, std::size_t height, std::uint8_t b, std::uint8_t g,
                                         std::uint8_t r) {
    std::shared_ptr<CVPixelBuffer> frame;
    EXPECT_EQ(CVPixelBuffer::create(width, height, kCVPixelFormatType_32BGRA, &frame), kCVReturnSuccess);
    for (std::size_t y = 0; y < height; ++y) {
        auto* row = static_cast<std::uint8_t*>(frame->baseAddress()) + y * frame->bytesPerRow();
        for (std::size_t x = 0; x < width; ++x) {
            row[4 * x] = b;
            row[4 * x + 1] = g;
            row[4 * x + 2] = r;
            row[4 * x + 3] = 255;
        }
    }
    return frame;
}

class V4L2Loopback : public ::testing::Test {
protected:
    std::shared_ptr<V4L2FakeKernel> kernel_ = std::make_shared<V4L2FakeKernel>();
    V4L2LoopbackOutput output_{kernel_};
};

TEST_F(V4L2Loopback, WithoutALoopbackDeviceOpenFailsWithAReason) {
    kernel_->plug(usbWebcam("/dev/video0"));
    std::string reason;
    EXPECT_FALSE(output_.open(1280, 720, 30, &reason));
    EXPECT_NE(reason.find("no v4l2loopback output device"), std::string::npos) << reason;
    EXPECT_NE(reason.find("Velunto Kamera"), std::string::npos) << reason;
    EXPECT_FALSE(output_.isOpen());
    EXPECT_FALSE(output_.write(*solidBGRA(1280, 720, 0, 0, 0)));
    EXPECT_EQ(kernel_->openDescriptors(), 0u);
}

TEST_F(V4L2Loopback, PrefersOurOwnLabelAndSetsTheOutputFormat) {
    kernel_->plug(usbWebcam("/dev/video0"));
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video1", "OBS Virtual Camera"));
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video2", "Velunto Kamera"));
    std::string reason;
    ASSERT_TRUE(output_.open(640, 360, 30, &reason)) << reason;
    EXPECT_EQ(output_.devicePath(), "/dev/video2");
    EXPECT_EQ(output_.card(), "Velunto Kamera");
    const auto state = kernel_->outputState("/dev/video2");
    ASSERT_TRUE(state && state->format.pixelFormat);
    EXPECT_EQ(state->format.pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(state->format.width, 640u);
    EXPECT_EQ(state->format.height, 360u);
    EXPECT_EQ(state->framesPerSecond, 30u);
    EXPECT_TRUE(kernel_->keepFormat("/dev/video2"));
    EXPECT_FALSE(kernel_->outputState("/dev/video1"));

    // Without ours, any loopback output node does.
    kernel_->unplug("/dev/video2");
    ASSERT_TRUE(output_.open(640, 360, 30, &reason)) << reason;
    EXPECT_EQ(output_.devicePath(), "/dev/video1");
    output_.close();
    EXPECT_EQ(kernel_->openDescriptors(), 0u);
}

TEST_F(V4L2Loopback, WritesBGRAAsLimitedRangeYUYV) {
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video2", "Velunto Kamera"));
    ASSERT_TRUE(output_.open(64, 4, 30));
    struct Colour {
        std::uint8_t b, g, r;
        int y, u, v;  // BT.601, video range
    };
    const Colour colours[] = {{255, 255, 255, 235, 128, 128}, {0, 0, 0, 16, 128, 128}, {0, 0, 255, 82, 90, 240}};
    for (const auto& colour : colours) {
        ASSERT_TRUE(output_.write(*solidBGRA(64, 4, colour.b, colour.g, colour.r)));
        const auto frame = kernel_->writtenFrames("/dev/video2").back();
        ASSERT_EQ(frame.size(), 64u * 4 * 2);
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            ASSERT_NEAR(frame[i], colour.y, 2) << i;
            ASSERT_NEAR(frame[i + 1], colour.u, 2) << i;
            ASSERT_NEAR(frame[i + 2], colour.y, 2) << i;
            ASSERT_NEAR(frame[i + 3], colour.v, 2) << i;
        }
    }
    EXPECT_EQ(kernel_->writtenFrames("/dev/video2").size(), 3u);
}

TEST_F(V4L2Loopback, CopiesYUYVFramesAndRefusesMismatches) {
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video2", "Velunto Kamera"));
    ASSERT_TRUE(output_.open(8, 2, 30));
    std::shared_ptr<CVPixelBuffer> yuyv;
    ASSERT_EQ(CVPixelBuffer::create(8, 2, kCVPixelFormatType_422YpCbCr8_yuvs, &yuyv), kCVReturnSuccess);
    for (std::size_t y = 0; y < 2; ++y)
        for (std::size_t x = 0; x < 16; ++x)
            static_cast<std::uint8_t*>(yuyv->baseAddress())[y * yuyv->bytesPerRow() + x] =
                static_cast<std::uint8_t>(y * 16 + x);
    ASSERT_TRUE(output_.write(*yuyv));
    std::vector<std::uint8_t> expected(32);
    for (std::size_t i = 0; i < 32; ++i)
        expected[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(kernel_->writtenFrames("/dev/video2").back(), expected);

    EXPECT_FALSE(output_.write(*solidBGRA(10, 2, 0, 0, 0)));
    std::shared_ptr<CVPixelBuffer> nv12;
    ASSERT_EQ(CVPixelBuffer::create(8, 2, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, &nv12), kCVReturnSuccess);
    EXPECT_FALSE(output_.write(*nv12));
    EXPECT_EQ(kernel_->writtenFrames("/dev/video2").size(), 1u);

    std::string reason;
    EXPECT_FALSE(output_.open(7, 2, 30, &reason));
    EXPECT_FALSE(reason.empty());
}

TEST_F(V4L2Loopback, CountsTheAppsReadingTheCamera) {
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video2", "Velunto Kamera"));
    kernel_->setReaderCount("/dev/video2", 1);
    ASSERT_TRUE(output_.open(64, 4, 30));
    EXPECT_TRUE(output_.supportsReaderCount());
    EXPECT_EQ(output_.readerCount(), 1u);
    kernel_->setReaderCount("/dev/video2", 3);
    kernel_->setReaderCount("/dev/video2", 2);
    EXPECT_EQ(output_.readerCount(), 2u);
    EXPECT_EQ(output_.readerCount(), 2u);  // unchanged without events
    kernel_->setReaderCount("/dev/video2", 0);
    EXPECT_EQ(output_.readerCount(), 0u);

    auto older = V4L2FakeDevice::loopback("/dev/video3", "Velunto Kamera");
    older.clientUsageEvents = false;
    older.keepFormatControl = false;
    kernel_->unplug("/dev/video2");
    kernel_->plug(older);
    ASSERT_TRUE(output_.open(64, 4, 30));
    EXPECT_FALSE(output_.supportsReaderCount());
    EXPECT_FALSE(output_.readerCount());
}

TEST_F(V4L2Loopback, ADeviceThatGoesAwayClosesTheOutput) {
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video2", "Velunto Kamera"));
    ASSERT_TRUE(output_.open(64, 4, 30));
    kernel_->unplug("/dev/video2");
    EXPECT_FALSE(output_.write(*solidBGRA(64, 4, 0, 0, 0)));
    EXPECT_FALSE(output_.isOpen());
    EXPECT_EQ(kernel_->openDescriptors(), 0u);
}

}  // namespace
}  // namespace velunto

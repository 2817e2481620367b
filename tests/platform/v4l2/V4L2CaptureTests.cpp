#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/HostClock.h"
#include "platform/v4l2/V4L2Camera.h"
#include "platform/v4l2/V4L2CameraProvider.h"
#include "platform/v4l2/V4L2DeviceInspector.h"
#include "tests/platform/v4l2/V4L2TestSupport.h"

namespace velunto {
namespace {

using testing::DeviceNotifications;
using testing::fakeFormat;
using testing::FrameSink;
using testing::usbWebcam;

const std::uint8_t* row(const CVPixelBuffer& frame, std::size_t plane, std::size_t y) {
    return static_cast<const std::uint8_t*>(frame.baseAddressOfPlane(plane)) + y * frame.bytesPerRowOfPlane(plane);
}

// Planes of a known picture, encoded as a JPEG with the given chroma subsampling.
struct JPEGPicture {
    std::uint32_t width, height;
    std::vector<std::uint8_t> y, cb, cr;  // full resolution planes
    std::vector<std::uint8_t> jpeg;

    std::uint8_t lumaAt(std::uint32_t x, std::uint32_t yy) const { return y[std::size_t{yy} * width + x]; }
    // The 4:2:0 chroma an ideal converter gives: the mean of each 2x2 block.
    std::uint8_t halfChroma(const std::vector<std::uint8_t>& plane, std::uint32_t cx, std::uint32_t cy) const {
        int sum = 0;
        for (std::uint32_t dy = 0; dy < 2; ++dy)
            for (std::uint32_t dx = 0; dx < 2; ++dx)
                sum += plane[std::size_t{cy * 2 + dy} * width + cx * 2 + dx];
        return static_cast<std::uint8_t>((sum + 2) / 4);
    }
};

JPEGPicture encodePicture(std::uint32_t width, std::uint32_t height, int subsampling) {
    JPEGPicture picture{width, height, {}, {}, {}, {}};
    for (std::uint32_t yy = 0; yy < height; ++yy)
        for (std::uint32_t x = 0; x < width; ++x) {
            picture.y.push_back(static_cast<std::uint8_t>(40 + (x * 160) / width + (yy * 40) / height));
            picture.cb.push_back(static_cast<std::uint8_t>(80 + (x * 90) / width));
            picture.cr.push_back(static_cast<std::uint8_t>(200 - (yy * 100) / height));
        }
    // The planes at the JPEG's own chroma resolution, by averaging.
    const int cw = tjPlaneWidth(1, static_cast<int>(width), subsampling);
    const int ch = tjPlaneHeight(1, static_cast<int>(height), subsampling);
    const std::uint32_t fx = width / static_cast<std::uint32_t>(cw), fy = height / static_cast<std::uint32_t>(ch);
    std::vector<std::uint8_t> cb(std::size_t(cw) * std::size_t(ch)), cr(cb.size());
    for (int cy = 0; cy < ch; ++cy)
        for (int cx = 0; cx < cw; ++cx) {
            int sb = 0, sr = 0;
            for (std::uint32_t dy = 0; dy < fy; ++dy)
                for (std::uint32_t dx = 0; dx < fx; ++dx) {
                    const std::size_t i = (std::size_t(cy) * fy + dy) * width + std::size_t(cx) * fx + dx;
                    sb += picture.cb[i];
                    sr += picture.cr[i];
                }
            cb[std::size_t(cy) * std::size_t(cw) + std::size_t(cx)] = static_cast<std::uint8_t>(sb / int(fx * fy));
            cr[std::size_t(cy) * std::size_t(cw) + std::size_t(cx)] = static_cast<std::uint8_t>(sr / int(fx * fy));
        }
    const unsigned char* planes[3] = {picture.y.data(), cb.data(), cr.data()};
    int strides[3] = {static_cast<int>(width), cw, cw};
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompressFromYUVPlanes(encoder, planes, static_cast<int>(width), strides, static_cast<int>(height),
                                      subsampling, &jpeg, &size, 95, 0),
              0)
        << tjGetErrorStr2(encoder);
    picture.jpeg.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return picture;
}

class V4L2Capture : public ::testing::Test {
protected:
    std::shared_ptr<V4L2Camera> camera(const V4L2FakeDevice& device) {
        kernel_->plug(device);
        auto description = V4L2DeviceInspector::describe(*kernel_, device.path);
        EXPECT_TRUE(description);
        return std::make_shared<V4L2Camera>(kernel_, *description);
    }
    void expectNoLeftovers() {
        EXPECT_EQ(kernel_->openDescriptors(), 0u);
        EXPECT_EQ(kernel_->liveMappings(), 0u);
    }

    std::shared_ptr<V4L2FakeKernel> kernel_ = std::make_shared<V4L2FakeKernel>();
};

TEST_F(V4L2Capture, YUYVFramesArriveExactlyInPaddedRows) {
    auto device =
        V4L2FakeDevice::camera("/dev/video0", "Cam", "usb-1", {fakeFormat(V4L2_PIX_FMT_YUYV, {{642, 6, {30}}})});
    device.rowPadding = 36;  // the driver's lines are longer than the picture
    const auto cam = camera(device);
    FrameSink sink;
    cam->startCapture(642, 6, sink.handler());
    ASSERT_TRUE(cam->isCapturing());
    const auto format = cam->streamFormat();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->bytesPerLine, 642u * 2 + 36);
    for (std::uint32_t seed : {1u, 2u})
        ASSERT_TRUE(kernel_->emitPattern("/dev/video0", seed, std::nullopt));
    ASSERT_TRUE(sink.waitFor(2));
    const auto frames = sink.frames();
    for (std::uint32_t i = 0; i < 2; ++i) {
        const auto& frame = *frames[i].frame;
        ASSERT_EQ(frame.pixelFormatType(), kCVPixelFormatType_422YpCbCr8_yuvs);
        ASSERT_EQ(frame.width(), 642u);
        ASSERT_EQ(frame.height(), 6u);
        for (std::uint32_t y = 0; y < 6; ++y)
            for (std::uint32_t x = 0; x < 642 * 2; ++x)
                ASSERT_EQ(row(frame, 0, y)[x], V4L2FakeKernel::patternByte(x, y, 0, i + 1)) << x << "," << y;
    }
    cam->stopCapture();
    EXPECT_FALSE(cam->isCapturing());
    expectNoLeftovers();
}

TEST_F(V4L2Capture, NV12FramesArriveExactlyWithTheirRange) {
    auto device =
        V4L2FakeDevice::camera("/dev/video0", "Cam", "platform:cam", {fakeFormat(V4L2_PIX_FMT_NV12, {{64, 10, {30}}})});
    device.rowPadding = 64;
    for (const bool fullRange : {false, true}) {
        SCOPED_TRACE(fullRange);
        device.fullRange = fullRange;
        const auto cam = camera(device);
        FrameSink sink;
        cam->startCapture(64, 10, sink.handler());
        ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 7, std::nullopt));
        ASSERT_TRUE(sink.waitFor(1));
        const auto& frame = *sink.frames()[0].frame;
        EXPECT_EQ(frame.pixelFormatType(), fullRange ? kCVPixelFormatType_420YpCbCr8BiPlanarFullRange
                                                     : kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
        for (std::uint32_t y = 0; y < 10; ++y)
            for (std::uint32_t x = 0; x < 64; ++x)
                ASSERT_EQ(row(frame, 0, y)[x], V4L2FakeKernel::patternByte(x, y, 0, 7));
        for (std::uint32_t y = 0; y < 5; ++y)
            for (std::uint32_t x = 0; x < 64; ++x)
                ASSERT_EQ(row(frame, 1, y)[x], V4L2FakeKernel::patternByte(x, y, 1, 7));
        cam->stopCapture();
        kernel_->unplug("/dev/video0");
    }
}

TEST_F(V4L2Capture, MJPEGFramesDecodeToNV12WithinJPEGTolerance) {
    for (const int subsampling : {TJSAMP_420, TJSAMP_422, TJSAMP_444}) {
        SCOPED_TRACE(subsampling);
        const auto cam = camera(
            V4L2FakeDevice::camera("/dev/video0", "Cam", "usb-1", {fakeFormat(V4L2_PIX_FMT_MJPEG, {{96, 64, {30}}})}));
        FrameSink sink;
        cam->startCapture(96, 64, sink.handler());
        const auto picture = encodePicture(96, 64, subsampling);
        ASSERT_TRUE(kernel_->emit("/dev/video0", {picture.jpeg, std::nullopt, false}));
        ASSERT_TRUE(sink.waitFor(1));
        const auto& frame = *sink.frames()[0].frame;
        ASSERT_EQ(frame.pixelFormatType(), kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
        ASSERT_EQ(frame.width(), 96u);
        int worst = 0;
        for (std::uint32_t y = 0; y < 64; ++y)
            for (std::uint32_t x = 0; x < 96; ++x)
                worst = std::max(worst, std::abs(int(row(frame, 0, y)[x]) - int(picture.lumaAt(x, y))));
        for (std::uint32_t y = 0; y < 32; ++y)
            for (std::uint32_t x = 0; x < 48; ++x) {
                worst =
                    std::max(worst, std::abs(int(row(frame, 1, y)[2 * x]) - int(picture.halfChroma(picture.cb, x, y))));
                worst = std::max(
                    worst, std::abs(int(row(frame, 1, y)[2 * x + 1]) - int(picture.halfChroma(picture.cr, x, y))));
            }
        EXPECT_LE(worst, 6);
        cam->stopCapture();
        kernel_->unplug("/dev/video0");
    }
}

TEST_F(V4L2Capture, BrokenFramesAreDroppedAndCaptureGoesOn) {
    const auto cam = camera(
        V4L2FakeDevice::camera("/dev/video0", "Cam", "usb-1", {fakeFormat(V4L2_PIX_FMT_MJPEG, {{96, 64, {30}}})}));
    FrameSink sink;
    cam->startCapture(96, 64, sink.handler());
    const auto good = encodePicture(96, 64, TJSAMP_420);
    const std::vector<std::uint8_t> truncated(good.jpeg.begin(), good.jpeg.begin() + good.jpeg.size() / 2);
    std::vector<std::uint8_t> garbage(4000);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
    garbage[0] = 0xFF;
    garbage[1] = 0xD8;  // starts like a JPEG
    const auto otherSize = encodePicture(64, 64, TJSAMP_420);

    ASSERT_TRUE(kernel_->emit("/dev/video0", {truncated, std::nullopt, false}));
    ASSERT_TRUE(kernel_->emit("/dev/video0", {garbage, std::nullopt, false}));
    ASSERT_TRUE(kernel_->emit("/dev/video0", {{}, std::nullopt, false}));
    ASSERT_TRUE(kernel_->emit("/dev/video0", {otherSize.jpeg, std::nullopt, false}));
    ASSERT_TRUE(kernel_->emit("/dev/video0", {good.jpeg, std::nullopt, true}));  // driver flagged an error
    ASSERT_TRUE(kernel_->emit("/dev/video0", {good.jpeg, std::nullopt, false}));
    ASSERT_TRUE(sink.waitFor(1));
    cam->stopCapture();
    EXPECT_EQ(sink.count(), 1u);
    EXPECT_EQ(cam->framesDropped(), 5u);
    EXPECT_EQ(cam->framesDelivered(), 1u);
}

TEST_F(V4L2Capture, CaptureTimesComeFromMonotonicStampsElseFromDequeue) {
    const auto cam = camera(usbWebcam("/dev/video0"));
    EXPECT_EQ(cam->clock(), CMClock::hostTimeClock());
    FrameSink sink;
    cam->startCapture(640, 480, sink.handler());
    const std::uint64_t stamped = HostClock::monotonicNanoseconds() - 4'000'000;
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 1, stamped));
    ASSERT_TRUE(sink.waitFor(1));
    const std::uint64_t before = HostClock::nowNanoseconds();
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 2, std::nullopt));
    // A stamp in the future cannot be the capture time either.
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 3, HostClock::monotonicNanoseconds() + 3'600'000'000'000));
    ASSERT_TRUE(sink.waitFor(3));
    const std::uint64_t after = HostClock::nowNanoseconds();
    cam->stopCapture();
    const auto frames = sink.frames();
    EXPECT_EQ(frames[0].time.timescale, 1'000'000'000);
    // Microsecond resolution of the driver's timeval.
    EXPECT_EQ(frames[0].time.value, static_cast<std::int64_t>(stamped / 1000 * 1000));
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_GE(frames[i].time.value, static_cast<std::int64_t>(before));
        EXPECT_LE(frames[i].time.value, static_cast<std::int64_t>(after));
    }
}

TEST_F(V4L2Capture, NegotiatesPerRequestAndFallsBackWhenTheBusIsFull) {
    auto device = usbWebcam("/dev/video0");
    device.streamOnRefused = {V4L2_PIX_FMT_MJPEG};
    const auto cam = camera(device);
    FrameSink sink;
    cam->startCapture(640, 480, sink.handler());
    ASSERT_TRUE(cam->streamFormat());
    EXPECT_EQ(cam->streamFormat()->pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(cam->framesPerSecond(), 30.0);

    // 720p wants MJPEG; STREAMON refuses it, so YUYV at its 10 fps it is.
    FrameSink second;
    cam->startCapture(1280, 720, second.handler());
    const auto state = kernel_->captureState("/dev/video0");
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->streaming);
    EXPECT_EQ(state->format.pixelFormat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(state->format.width, 1280u);
    EXPECT_EQ(state->framesPerSecond, 10u);
    EXPECT_EQ(cam->framesPerSecond(), 10.0);
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 1, std::nullopt));
    ASSERT_TRUE(second.waitFor(1));
    EXPECT_EQ(second.frames()[0].frame->width(), 1280u);
    cam->stopCapture();
    EXPECT_EQ(sink.count(), 0u);
    expectNoLeftovers();
}

TEST_F(V4L2Capture, WithoutAUsableFormatNothingStreams) {
    auto device =
        V4L2FakeDevice::camera("/dev/video0", "Cam", "usb-1", {fakeFormat(V4L2_PIX_FMT_MJPEG, {{640, 480, {30}}})});
    device.streamOnRefused = {V4L2_PIX_FMT_MJPEG};
    const auto cam = camera(device);
    FrameSink sink;
    cam->startCapture(640, 480, sink.handler());
    EXPECT_FALSE(cam->isCapturing());
    EXPECT_FALSE(kernel_->captureState("/dev/video0")->streaming);
    expectNoLeftovers();
    cam->stopCapture();
}

TEST_F(V4L2Capture, StopCaptureReturnsOnlyAfterTheRunningHandlerAndNoneStartsLater) {
    const auto cam = camera(usbWebcam("/dev/video0"));
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, release = false;
    std::atomic<bool> stopReturned{false};
    std::atomic<int> callsAfterStop{0};
    std::atomic<bool> handlerFinishedBeforeStop{false};
    cam->startCapture(640, 480, [&](const std::shared_ptr<CVPixelBuffer>&, CMTime) {
        if (stopReturned.load())
            ++callsAfterStop;
        std::unique_lock lock(mutex);
        if (!entered) {
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            handlerFinishedBeforeStop = !stopReturned.load();
        }
    });
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 1, std::nullopt));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, testing::kGenerousWait, [&] { return entered; }));
    }
    // More frames queue up behind the blocked handler.
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 2, std::nullopt));
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 3, std::nullopt));
    std::thread stopper([&] {
        cam->stopCapture();
        stopReturned = true;
    });
    ASSERT_TRUE(kernel_->waitUntilStreaming("/dev/video0", false));
    {
        std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    }
    stopper.join();
    EXPECT_TRUE(handlerFinishedBeforeStop.load());
    // Frames that were queued for the old handler are gone: a new capture's first frame comes after them.
    FrameSink sink;
    cam->startCapture(640, 480, sink.handler());
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 4, std::nullopt));
    ASSERT_TRUE(sink.waitFor(1));
    cam->stopCapture();
    EXPECT_EQ(callsAfterStop.load(), 0);
    EXPECT_EQ(sink.count(), 1u);
}

TEST_F(V4L2Capture, StopCaptureFromInsideTheHandler) {
    const auto cam = camera(usbWebcam("/dev/video0"));
    FrameSink sink;
    auto forward = sink.handler();
    cam->startCapture(640, 480, [&](const std::shared_ptr<CVPixelBuffer>& frame, CMTime time) {
        cam->stopCapture();
        forward(frame, time);
    });
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 1, std::nullopt));
    ASSERT_TRUE(sink.waitFor(1));
    EXPECT_TRUE(kernel_->waitUntilStreaming("/dev/video0", false));
    EXPECT_FALSE(cam->isCapturing());
    expectNoLeftovers();
}

TEST_F(V4L2Capture, ACameraUnpluggedMidStreamEndsCaptureAndIsReportedGone) {
    kernel_->plug(usbWebcam("/dev/video0"));
    DeviceNotifications notifications;
    auto provider = std::make_shared<V4L2CameraProvider>(kernel_, kernel_->makeWatcher());
    provider->start();
    const auto device = provider->defaultDevice(AVMediaTypeVideo);
    ASSERT_TRUE(device);
    const auto cam = provider->find(device->uniqueID())->camera;
    FrameSink sink;
    device->backend()->startCapture(640, 480, sink.handler());
    ASSERT_TRUE(kernel_->emitPattern("/dev/video0", 1, std::nullopt));
    ASSERT_TRUE(sink.waitFor(1));

    kernel_->unplug("/dev/video0");
    ASSERT_TRUE(notifications.waitFor(2));
    EXPECT_EQ(notifications.events()[1], "-" + device->uniqueID());
    EXPECT_FALSE(device->isConnected());
    EXPECT_FALSE(cam->isCapturing());
    EXPECT_EQ(kernel_->openDescriptors(), 0u);
    EXPECT_EQ(kernel_->liveMappings(), 0u);
    device->backend()->stopCapture();  // harmless afterwards
    provider->stop();
}

TEST_F(V4L2Capture, ADeviceLostWithoutAWatcherStillEndsCapture) {
    const auto cam = camera(usbWebcam("/dev/video0"));
    std::mutex mutex;
    std::condition_variable changed;
    int lost = 0;
    cam->setDeviceLostHandler([&] {
        std::lock_guard lock(mutex);
        ++lost;
        changed.notify_all();
    });
    FrameSink sink;
    cam->startCapture(640, 480, sink.handler());
    ASSERT_TRUE(kernel_->waitUntilStreaming("/dev/video0", true));
    kernel_->unplug("/dev/video0");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, testing::kGenerousWait, [&] { return lost == 1; }));
    }
    EXPECT_FALSE(cam->isCapturing());
    cam->stopCapture();
    expectNoLeftovers();
    EXPECT_EQ(lost, 1);
}

}  // namespace
}  // namespace velunto

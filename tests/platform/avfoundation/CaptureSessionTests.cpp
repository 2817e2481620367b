#include <gtest/gtest.h>

#include "platform/avfoundation/AVCaptureDeviceInput.h"
#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/avfoundation/AVCaptureVideoDataOutput.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "tests/platform/avfoundation/CaptureTestDelegate.h"

using namespace std::chrono_literals;

namespace velunto {
namespace {

using testing::RecordingDelegate;

constexpr std::int64_t kCameraClockOffset = 7'000'000'123;

class CaptureSessionTest : public ::testing::Test {
protected:
    static std::vector<SimulatedCameraDescription> cameras() {
        auto cameras = SimulatedCameraHardware::standardCameras();
        cameras[1].clockOffsetNanoseconds = kCameraClockOffset;
        return cameras;
    }

    std::shared_ptr<AVCaptureDeviceInput> input(const std::string& id) {
        return AVCaptureDeviceInput::deviceInputWithDevice(AVCaptureDevice::deviceWithUniqueID(id), nullptr);
    }

    // A session from the camera into a BGRA output whose frames go to `delegate`.
    void configure(const std::string& id, const AVCaptureSessionPreset& preset = AVCaptureSessionPresetHigh) {
        session->beginConfiguration();
        session->addInput(input(id));
        output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
        output->setSampleBufferDelegate(delegate, delegateQueue);
        session->addOutput(output);
        session->setSessionPreset(preset);
        session->commitConfiguration();
    }

    VirtualTime time;
    SimulatedCameraHardware hardware{cameras()};
    DispatchQueue delegateQueue{"delegate"};
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<AVCaptureVideoDataOutput> output = AVCaptureVideoDataOutput::make();
    std::shared_ptr<AVCaptureSession> session = AVCaptureSession::make();
};

TEST_F(CaptureSessionTest, ConfigurationOfInputsOutputsAndPresets) {
    EXPECT_FALSE(session->synchronizationClock());
    EXPECT_EQ(session->sessionPreset(), AVCaptureSessionPresetHigh);
    const auto builtIn = input("builtin");
    ASSERT_TRUE(builtIn);
    ASSERT_TRUE(session->canAddInput(builtIn));
    session->addInput(builtIn);
    EXPECT_EQ(session->inputs(), (std::vector<std::shared_ptr<AVCaptureInput>>{builtIn}));
    EXPECT_FALSE(session->canAddInput(input("external")));  // one camera at a time
    EXPECT_EQ(session->synchronizationClock(), builtIn->device()->backend()->clock());

    // Presets follow the device's sizes.
    EXPECT_TRUE(session->canSetSessionPreset(AVCaptureSessionPreset1280x720));
    EXPECT_FALSE(session->canSetSessionPreset(AVCaptureSessionPreset1920x1080));
    EXPECT_FALSE(session->canSetSessionPreset("AVCaptureSessionPresetPhoto"));
    session->setSessionPreset(AVCaptureSessionPreset1920x1080);
    EXPECT_EQ(session->sessionPreset(), AVCaptureSessionPresetHigh);
    session->setSessionPreset(AVCaptureSessionPreset1280x720);
    EXPECT_EQ(session->sessionPreset(), AVCaptureSessionPreset1280x720);

    ASSERT_TRUE(session->canAddOutput(output));
    session->addOutput(output);
    EXPECT_FALSE(session->canAddOutput(output));
    ASSERT_EQ(session->connections().size(), 1u);
    EXPECT_EQ(session->connections()[0]->input(), builtIn);
    EXPECT_EQ(session->connections()[0]->output(), output);

    // A device serves one session: another cannot take it until it is released.
    NSError error;
    EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(builtIn->device(), &error));
    EXPECT_EQ(error.code, AVErrorDeviceAlreadyUsedByAnotherSession);
    session->removeInput(builtIn);
    EXPECT_TRUE(session->inputs().empty());
    EXPECT_TRUE(session->connections().empty());
    EXPECT_FALSE(session->synchronizationClock());
    const auto other = AVCaptureSession::make();
    const auto again = AVCaptureDeviceInput::deviceInputWithDevice(builtIn->device(), nullptr);
    ASSERT_TRUE(again);
    EXPECT_TRUE(other->canAddInput(again));
    other->addInput(again);
    EXPECT_FALSE(session->canAddInput(builtIn));

    // Gone devices give no input.
    const auto external = AVCaptureDevice::deviceWithUniqueID("external");
    hardware.unplug("external");
    EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(external, &error));
    EXPECT_EQ(error.code, AVErrorDeviceNotConnected);
}

TEST_F(CaptureSessionTest, RunsOnlyWithAConnectedAuthorizedCamera) {
    session->startRunning();
    EXPECT_FALSE(session->isRunning());
    configure("external");
    hardware.setAuthorizationStatus(AVAuthorizationStatus::denied);
    session->startRunning();
    EXPECT_FALSE(session->isRunning());
    EXPECT_FALSE(hardware.isCapturing("external"));
    hardware.setAuthorizationStatus(AVAuthorizationStatus::authorized);
    session->startRunning();
    EXPECT_TRUE(session->isRunning());
    EXPECT_TRUE(hardware.isCapturing("external"));
    EXPECT_FALSE(hardware.isCapturing("builtin"));
}

TEST_F(CaptureSessionTest, DeliversEveryFrameAtTheRateWithSizeFormatAndDeviceClockTimes) {
    configure("external", AVCaptureSessionPreset1280x720);
    EXPECT_EQ(hardware.framesProduced("external"), 0u);
    session->startRunning();
    time.advance(1s);

    const auto frames = delegate->frames();
    ASSERT_EQ(frames.size(), 30u);
    EXPECT_EQ(hardware.framesProduced("external"), 30u);
    const auto deviceClock = session->synchronizationClock();
    ASSERT_TRUE(deviceClock);
    EXPECT_EQ(deviceClock->offsetNanoseconds(), kCameraClockOffset);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& frame = frames[i];
        EXPECT_EQ(frame.width, 1280u);
        EXPECT_EQ(frame.height, 720u);
        EXPECT_EQ(frame.pixelFormat, kCVPixelFormatType_32BGRA);
        EXPECT_EQ(frame.timing.duration.value, 33'333'333);
        EXPECT_EQ(frame.timing.presentationTimeStamp.timescale, 1'000'000'000);
        EXPECT_FALSE(CMTIME_IS_VALID(frame.timing.decodeTimeStamp));
        ASSERT_TRUE(frame.stamp);
        EXPECT_EQ(frame.stamp->frameNumber, i);
        EXPECT_FALSE(frame.stamp->flash);
        const CMTime onHost =
            CMSyncConvertTime(frame.timing.presentationTimeStamp, *deviceClock, *CMClock::hostTimeClock());
        EXPECT_EQ(static_cast<std::uint64_t>(onHost.value), frame.stamp->captureHostNanoseconds);
        EXPECT_EQ(frame.stamp->captureHostNanoseconds,
                  VirtualTime::kStartNanoseconds + (i + 1) * std::uint64_t{33'333'333});
    }
}

TEST_F(CaptureSessionTest, ConvertsTheCamerasOwnFormatOrPassesItThrough) {
    // The built-in camera makes NV12: delivered as is without settings, as BGRA when asked.
    session->addInput(input("builtin"));
    output->setSampleBufferDelegate(delegate, delegateQueue);
    session->addOutput(output);
    session->startRunning();
    time.advance(100ms);
    output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
    EXPECT_EQ(output->videoSettings().at(kCVPixelBufferPixelFormatTypeKey), kCVPixelFormatType_32BGRA);
    hardware.flash("builtin");
    time.advance(100ms);

    const auto frames = delegate->frames();
    ASSERT_EQ(frames.size(), 6u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(frames[i].pixelFormat, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    for (std::size_t i = 3; i < 6; ++i) {
        EXPECT_EQ(frames[i].pixelFormat, kCVPixelFormatType_32BGRA);
        EXPECT_EQ(frames[i].width, 1280u);
        ASSERT_TRUE(frames[i].stamp);
        EXPECT_EQ(frames[i].stamp->frameNumber, i);
        EXPECT_EQ(frames[i].stamp->flash, i == 3);
    }
}

TEST_F(CaptureSessionTest, StopRunningEndsFramesAndTheCamerasTimer) {
    configure("external");
    session->startRunning();
    time.advance(200ms);
    session->stopRunning();
    EXPECT_FALSE(session->isRunning());
    EXPECT_FALSE(hardware.isCapturing("external"));
    const auto produced = hardware.framesProduced("external");
    time.advance(1s);
    EXPECT_EQ(delegate->frames().size(), 6u);
    EXPECT_EQ(hardware.framesProduced("external"), produced);

    // A frame already queued to the delegate when the session stops is not delivered: the stop runs
    // right after the camera's next frame and before its delivery (same deadline, queued in between).
    session->startRunning();
    DispatchQueue stopper("stopper");
    stopper.asyncAfter(DispatchTime::now() + 33'333'333ns, [&] { session->stopRunning(); });
    time.advance(1s);
    EXPECT_EQ(hardware.framesProduced("external"), produced + 1);
    EXPECT_EQ(delegate->frames().size(), 6u);
}

TEST_F(CaptureSessionTest, UnpluggingTheRunningCameraStopsTheSession) {
    configure("external");
    int stops = 0;
    const auto observer = NotificationCenter::defaultCenter().addObserver(
        AVCaptureSessionDidStopRunningNotification, session.get(), std::nullopt, [&](const Notification&) { ++stops; });
    session->startRunning();
    time.advance(100ms);
    hardware.unplug("external");
    NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_FALSE(session->isRunning());
    EXPECT_EQ(stops, 1);
    time.advance(1s);
    EXPECT_EQ(delegate->frames().size(), 3u);
    session->startRunning();
    EXPECT_FALSE(session->isRunning());
}

TEST_F(CaptureSessionTest, FrameSizeChangesMidStreamAndPresetChangesTakeEffectAtCommit) {
    configure("external", AVCaptureSessionPreset1920x1080);
    session->startRunning();
    time.advance(100ms);
    hardware.setFrameSize("external", 640, 360);
    time.advance(100ms);
    session->beginConfiguration();
    session->setSessionPreset(AVCaptureSessionPreset1280x720);
    time.advance(100ms);  // not committed yet: frames stay as they were
    session->commitConfiguration();
    time.advance(100ms);

    const auto frames = delegate->frames();
    ASSERT_EQ(frames.size(), 12u);
    const std::size_t widths[] = {1920, 640, 640, 1280};
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, widths[i / 3]) << i;
        ASSERT_TRUE(frames[i].stamp) << i;
        EXPECT_EQ(frames[i].stamp->frameNumber, i);
    }
}

TEST_F(CaptureSessionTest, SwitchingCamerasWhileRunningMovesTheStreamAndTheClock) {
    configure("builtin");
    session->startRunning();
    time.advance(100ms);
    session->beginConfiguration();
    session->removeInput(session->inputs().front());
    session->addInput(input("external"));
    session->commitConfiguration();
    EXPECT_TRUE(session->isRunning());
    EXPECT_FALSE(hardware.isCapturing("builtin"));
    EXPECT_TRUE(hardware.isCapturing("external"));
    EXPECT_EQ(session->synchronizationClock()->offsetNanoseconds(), kCameraClockOffset);
    time.advance(100ms);
    const auto frames = delegate->frames();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[2].width, 1280u);
    EXPECT_EQ(frames[3].width, 1920u);
    EXPECT_GT(frames[3].timing.presentationTimeStamp.value, kCameraClockOffset);
}

}  // namespace
}  // namespace velunto

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>

#include "platform/avfoundation/AVCaptureDeviceInput.h"
#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/avfoundation/AVCaptureVideoDataOutput.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "tests/platform/avfoundation/CaptureTestDelegate.h"

using namespace std::chrono_literals;

namespace velunto {
namespace {

using testing::RecordingDelegate;

// Real threads: the camera's timer queue, the delegate's queue and the test's thread.
class CaptureSessionThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto cameras = SimulatedCameraHardware::standardCameras();
        cameras[1].sizes = {{640, 360}};
        cameras[1].framesPerSecond = 100;
        hardware = std::make_unique<SimulatedCameraHardware>(cameras);
        session->addInput(AVCaptureDeviceInput::deviceInputWithDevice(hardware->device("external"), nullptr));
        output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
        output->setSampleBufferDelegate(delegate, delegateQueue);
        session->addOutput(output);
    }

    // Waits for a condition polled with a generous bound.
    template <class Condition>
    static bool eventually(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    std::unique_ptr<SimulatedCameraHardware> hardware;
    DispatchQueue delegateQueue{"delegate"};
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<AVCaptureVideoDataOutput> output = AVCaptureVideoDataOutput::make();
    std::shared_ptr<AVCaptureSession> session = AVCaptureSession::make();
};

TEST_F(CaptureSessionThreadTest, StopAndRestartWhileFramesFlow) {
    std::size_t seen = 0;
    for (int round = 0; round < 5; ++round) {
        session->startRunning();
        ASSERT_TRUE(session->isRunning());
        ASSERT_TRUE(delegate->waitForFrames(seen + 3));
        session->stopRunning();
        EXPECT_FALSE(hardware->isCapturing("external"));
        // Nothing arrives once stopRunning has returned: a marker block queued after it is the last.
        seen = delegate->frames().size();
        std::promise<std::size_t> drained;
        delegateQueue.async([&] { drained.set_value(delegate->frames().size()); });
        EXPECT_EQ(drained.get_future().get(), seen);
    }
    const auto frames = delegate->frames();
    for (std::size_t i = 1; i < frames.size(); ++i) {
        ASSERT_TRUE(frames[i].stamp);
        EXPECT_GT(frames[i].stamp->frameNumber, frames[i - 1].stamp->frameNumber);
        EXPECT_GT(frames[i].timing.presentationTimeStamp.value, frames[i - 1].timing.presentationTimeStamp.value);
    }
}

TEST_F(CaptureSessionThreadTest, LateFramesAreDroppedWhileTheDelegateQueueIsBlocked) {
    for (const bool discard : {true, false}) {
        output->setAlwaysDiscardsLateVideoFrames(discard);
        auto fresh = std::make_shared<RecordingDelegate>();
        output->setSampleBufferDelegate(fresh, delegateQueue);
        std::promise<void> release;
        delegateQueue.async([blocked = release.get_future().share()] { blocked.wait(); });
        const auto before = hardware->framesProduced("external");
        session->startRunning();
        // Frames are counted as they start; once the seventh has started the sixth has been handed over.
        ASSERT_TRUE(eventually([&] { return hardware->framesProduced("external") >= before + 7; }));
        release.set_value();
        ASSERT_TRUE(fresh->waitForFrames(6));
        session->stopRunning();

        const auto frames = fresh->frames();
        const auto drops = fresh->drops();
        ASSERT_TRUE(frames[0].stamp);
        EXPECT_EQ(frames[0].stamp->frameNumber, before);
        if (discard) {
            // The first frame waited for the queue; the next five came while it was still queued.
            ASSERT_GE(drops.size(), 5u);
            for (std::size_t i = 0; i < 5; ++i)
                EXPECT_GT(drops[i].value, frames[0].timing.presentationTimeStamp.value);
        } else {
            EXPECT_TRUE(drops.empty());
            for (std::size_t i = 0; i < 6; ++i)
                EXPECT_EQ(frames[i].stamp->frameNumber, before + i);
        }
    }
}

}  // namespace
}  // namespace velunto

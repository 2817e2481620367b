#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/avfoundation/AVCaptureVideoDataOutput.h"
#include "platform/sim/SimulatedCameraPattern.h"

namespace velunto::testing {

// What a delegate saw of one frame; the image is read at once and not kept, so the camera's
// buffers go back to its pool.
struct SeenFrame {
    std::size_t width = 0, height = 0;
    OSType pixelFormat = 0;
    CMSampleTimingInfo timing;
    std::optional<SimulatedCameraStamp> stamp;  // read when the frame is BGRA
};

class RecordingDelegate : public AVCaptureVideoDataOutputSampleBufferDelegate {
public:
    void captureOutputDidOutputSampleBuffer(AVCaptureOutput&, const CMSampleBufferRef& sample,
                                            AVCaptureConnection&) override {
        SeenFrame seen;
        const auto& image = *sample->imageBuffer();
        seen.width = image.width();
        seen.height = image.height();
        seen.pixelFormat = image.pixelFormatType();
        seen.timing = sample->timing();
        if (seen.pixelFormat == kCVPixelFormatType_32BGRA)
            seen.stamp = SimulatedCameraPattern::read(image);
        std::lock_guard lock(mutex_);
        frames_.push_back(seen);
        changed_.notify_all();
    }
    void captureOutputDidDropSampleBuffer(AVCaptureOutput&, const CMSampleBufferRef& sample,
                                          AVCaptureConnection&) override {
        std::lock_guard lock(mutex_);
        drops_.push_back(sample->presentationTimeStamp());
        changed_.notify_all();
    }

    std::vector<SeenFrame> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    std::vector<CMTime> drops() const {
        std::lock_guard lock(mutex_);
        return drops_;
    }
    // Waits (for at most a generous bound) until `count` frames have arrived.
    bool waitForFrames(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return frames_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SeenFrame> frames_;
    std::vector<CMTime> drops_;
};

}  // namespace velunto::testing

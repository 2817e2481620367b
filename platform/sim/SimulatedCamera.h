#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/avfoundation/AVCaptureDeviceBackend.h"
#include "platform/corevideo/CVPixelBufferPool.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/sim/SimulatedCameraDescription.h"

namespace velunto {

// One simulated camera: while capturing, a timer on the camera's own queue paints a
// SimulatedCameraPattern frame at the camera's rate and hands it over. No timer while not capturing.
class SimulatedCamera : public AVCaptureDeviceBackend, public std::enable_shared_from_this<SimulatedCamera> {
public:
    static constexpr std::size_t kMaximumBuffers = 12;

    explicit SimulatedCamera(SimulatedCameraDescription description);
    ~SimulatedCamera() override;
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

    void startCapture(std::int32_t width, std::int32_t height, FrameHandler handler) override;
    void stopCapture() override;
    double framesPerSecond() const override { return description_.framesPerSecond; }
    std::shared_ptr<CMClock> clock() const override { return clock_; }

    const SimulatedCameraDescription& description() const { return description_; }
    // The size of the frames from the next one on, until capture restarts.
    void setFrameSize(std::int32_t width, std::int32_t height);
    void flash();  // the next frame is a flash frame
    bool isCapturing() const;
    std::uint64_t framesProduced() const { return framesProduced_.load(std::memory_order_acquire); }

private:
    void produceFrame();  // on queue_

    const SimulatedCameraDescription description_;
    const std::shared_ptr<CMClock> clock_;
    const DispatchQueue queue_;
    mutable std::mutex mutex_;
    std::shared_ptr<DispatchSourceTimer> timer_;
    FrameHandler handler_;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    bool flashNext_ = false;
    std::atomic<std::uint64_t> framesProduced_{0};
    std::shared_ptr<CVPixelBufferPool> pool_;  // used on queue_ only
};

}  // namespace velunto

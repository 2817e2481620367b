#include "platform/sim/SimulatedCamera.h"

#include <chrono>
#include <cmath>

#include "platform/dispatch/HostClock.h"
#include "platform/sim/SimulatedCameraPattern.h"

namespace velunto {

SimulatedCamera::SimulatedCamera(SimulatedCameraDescription description)
    : description_(std::move(description)),
      clock_(CMClock::makeWithOffset(description_.clockOffsetNanoseconds)),
      queue_("app.velunto.sim.camera." + description_.uniqueID) {}

SimulatedCamera::~SimulatedCamera() {
    std::lock_guard lock(mutex_);
    if (timer_)
        timer_->cancel();
}

void SimulatedCamera::startCapture(std::int32_t width, std::int32_t height, FrameHandler handler) {
    const auto interval = std::chrono::nanoseconds(std::llround(1e9 / description_.framesPerSecond));
    std::lock_guard lock(mutex_);
    if (timer_)
        timer_->cancel();
    handler_ = std::move(handler);
    width_ = width;
    height_ = height;
    timer_ = DispatchSourceTimer::make(queue_);
    timer_->setEventHandler([weak = weak_from_this()] {
        if (auto camera = weak.lock())
            camera->produceFrame();
    });
    timer_->schedule(DispatchTime::now() + interval, interval);
    timer_->resume();
}

void SimulatedCamera::stopCapture() {
    FrameHandler released;  // destroyed outside the lock
    {
        std::lock_guard lock(mutex_);
        if (timer_)
            timer_->cancel();
        timer_.reset();
        released.swap(handler_);
    }
    // A frame being produced right now finishes before this returns.
    if (!queue_.isCurrent())
        queue_.sync([] {});
}

void SimulatedCamera::setFrameSize(std::int32_t width, std::int32_t height) {
    std::lock_guard lock(mutex_);
    width_ = width;
    height_ = height;
}

void SimulatedCamera::flash() {
    std::lock_guard lock(mutex_);
    flashNext_ = true;
}

bool SimulatedCamera::isCapturing() const {
    std::lock_guard lock(mutex_);
    return timer_ != nullptr;
}

void SimulatedCamera::produceFrame() {
    FrameHandler handler;
    std::size_t width = 0, height = 0;
    bool flash = false;
    {
        std::lock_guard lock(mutex_);
        if (!handler_ || width_ <= 0 || height_ <= 0)
            return;
        handler = handler_;
        width = static_cast<std::size_t>(width_);
        height = static_cast<std::size_t>(height_);
        flash = std::exchange(flashNext_, false);
    }
    const std::uint64_t captureHost = HostClock::nowNanoseconds();
    if (!pool_ || pool_->attributes().width != width || pool_->attributes().height != height) {
        pool_.reset();
        if (CVPixelBufferPool::create({description_.pixelFormat, width, height}, &pool_) != kCVReturnSuccess)
            return;
        pool_->setMaximumBufferCount(kMaximumBuffers);
    }
    std::shared_ptr<CVPixelBuffer> frame;
    if (pool_->createPixelBuffer(&frame) != kCVReturnSuccess)
        return;  // every buffer is still held downstream: the frame is lost
    const auto number = static_cast<std::uint32_t>(framesProduced_.fetch_add(1, std::memory_order_acq_rel));
    SimulatedCameraPattern::paint(*frame, {number, captureHost, flash});
    handler(frame,
            CMTimeMake(static_cast<std::int64_t>(captureHost) + description_.clockOffsetNanoseconds, 1'000'000'000));
}

}  // namespace velunto

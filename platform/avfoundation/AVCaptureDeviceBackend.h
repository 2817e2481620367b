#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/coremedia/CMClock.h"
#include "platform/coremedia/CMTime.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

// The hardware side of one capture device, implemented by its provider.
class AVCaptureDeviceBackend {
public:
    // Called on the backend's own queue with each frame and its capture instant on clock().
    using FrameHandler = std::function<void(const std::shared_ptr<CVPixelBuffer>& frame, CMTime captureTime)>;

    virtual ~AVCaptureDeviceBackend() = default;

    // Starts (or restarts) producing frames of the given size in the device's own pixel format.
    virtual void startCapture(std::int32_t width, std::int32_t height, FrameHandler handler) = 0;
    // Synchronous: once it returns the handler is not called again, and is not running unless the
    // caller is the handler itself.
    virtual void stopCapture() = 0;
    virtual double framesPerSecond() const = 0;
    virtual std::shared_ptr<CMClock> clock() const = 0;
};

}  // namespace velunto

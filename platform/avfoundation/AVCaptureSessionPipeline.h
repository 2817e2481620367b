#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/avfoundation/AVCaptureConnection.h"
#include "platform/avfoundation/AVCaptureDeliveryGate.h"
#include "platform/avfoundation/AVCaptureVideoDataOutput.h"
#include "platform/coremedia/CMTime.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

// One run of a session's device: takes the device's frames on its queue and hands them to the
// outputs of the enabled connections. Holds nothing of the session, so the device may outlive it.
class AVCaptureSessionPipeline {
public:
    using Route = std::pair<std::shared_ptr<AVCaptureConnection>, std::shared_ptr<AVCaptureVideoDataOutput>>;

    explicit AVCaptureSessionPipeline(double framesPerSecond);

    void setRoutes(std::vector<Route> routes);
    void deliver(const std::shared_ptr<CVPixelBuffer>& frame, CMTime captureTime);
    // Ends delivery to delegates; see AVCaptureDeliveryGate::close().
    void close() { gate_->close(); }

private:
    const CMTime frameDuration_;
    const std::shared_ptr<AVCaptureDeliveryGate> gate_ = std::make_shared<AVCaptureDeliveryGate>();
    std::mutex mutex_;
    std::vector<Route> routes_;
};

}  // namespace velunto

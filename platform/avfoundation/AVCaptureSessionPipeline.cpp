#include "platform/avfoundation/AVCaptureSessionPipeline.h"

#include <cmath>

namespace velunto {

namespace {
CMTime durationOfFrame(double framesPerSecond) {
    if (!(framesPerSecond > 0))
        return kCMTimeInvalid;
    return CMTimeMake(std::llround(1e9 / framesPerSecond), 1'000'000'000);
}
}  // namespace

AVCaptureSessionPipeline::AVCaptureSessionPipeline(double framesPerSecond)
    : frameDuration_(durationOfFrame(framesPerSecond)) {}

void AVCaptureSessionPipeline::setRoutes(std::vector<Route> routes) {
    std::lock_guard lock(mutex_);
    routes_ = std::move(routes);
}

void AVCaptureSessionPipeline::deliver(const std::shared_ptr<CVPixelBuffer>& frame, CMTime captureTime) {
    std::vector<Route> routes;
    {
        std::lock_guard lock(mutex_);
        routes = routes_;
    }
    const CMSampleTimingInfo timing{frameDuration_, captureTime, kCMTimeInvalid};
    for (const auto& [connection, output] : routes)
        if (connection->isEnabled())
            output->deliverFrame(frame, timing, connection, gate_);
}

}  // namespace velunto

#include "platform/avfoundation/AVCaptureDeviceDiscoverySession.h"

#include "platform/avfoundation/AVCaptureDeviceRegistry.h"

namespace velunto {

std::shared_ptr<AVCaptureDeviceDiscoverySession> AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
    std::vector<AVCaptureDeviceType> deviceTypes, const AVMediaType& mediaType, AVCaptureDevicePosition position) {
    return std::shared_ptr<AVCaptureDeviceDiscoverySession>(
        new AVCaptureDeviceDiscoverySession(std::move(deviceTypes), mediaType, position));
}

AVCaptureDeviceDiscoverySession::AVCaptureDeviceDiscoverySession(std::vector<AVCaptureDeviceType> deviceTypes,
                                                                 AVMediaType mediaType,
                                                                 AVCaptureDevicePosition position)
    : deviceTypes_(std::move(deviceTypes)), mediaType_(std::move(mediaType)), position_(position) {}

std::vector<std::shared_ptr<AVCaptureDevice>> AVCaptureDeviceDiscoverySession::devices() const {
    const auto connected = AVCaptureDeviceRegistry::shared().devices();
    std::vector<std::shared_ptr<AVCaptureDevice>> found;
    for (const auto& type : deviceTypes_) {
        for (const auto& device : connected) {
            if (device->deviceType() != type || !device->hasMediaType(mediaType_) || !device->isConnected())
                continue;
            if (position_ != AVCaptureDevicePosition::unspecified && device->position() != position_)
                continue;
            if (std::find(found.begin(), found.end(), device) == found.end())
                found.push_back(device);
        }
    }
    return found;
}

}  // namespace velunto

#pragma once

#include <memory>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"

namespace velunto {

// A query for devices. devices() is evaluated each time it is called, so it follows plugs and unplugs.
class AVCaptureDeviceDiscoverySession {
public:
    static std::shared_ptr<AVCaptureDeviceDiscoverySession> discoverySessionWithDeviceTypes(
        std::vector<AVCaptureDeviceType> deviceTypes, const AVMediaType& mediaType, AVCaptureDevicePosition position);

    // Connected devices of those types and that media type (position unspecified = any), ordered by
    // the order of deviceTypes, then by the order they were connected in.
    std::vector<std::shared_ptr<AVCaptureDevice>> devices() const;

private:
    AVCaptureDeviceDiscoverySession(std::vector<AVCaptureDeviceType> deviceTypes, AVMediaType mediaType,
                                    AVCaptureDevicePosition position);

    std::vector<AVCaptureDeviceType> deviceTypes_;
    AVMediaType mediaType_;
    AVCaptureDevicePosition position_;
};

}  // namespace velunto

#pragma once

#include <memory>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"

namespace velunto {

// A source of capture devices (the simulated cameras today; V4L2 cameras could be another).
// Providers register with AVCaptureDeviceRegistry and post the connect/disconnect notifications.
class AVCaptureDeviceProvider {
public:
    virtual ~AVCaptureDeviceProvider() = default;

    // Connected devices, in the order they were connected.
    virtual std::vector<std::shared_ptr<AVCaptureDevice>> connectedDevices() const = 0;
    // The provider's preferred device for the media type, or null.
    virtual std::shared_ptr<AVCaptureDevice> defaultDevice(const AVMediaType& type) const = 0;
};

}  // namespace velunto

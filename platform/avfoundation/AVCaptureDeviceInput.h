#pragma once

#include <memory>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureInput.h"
#include "platform/foundation/NSError.h"

namespace velunto {

inline constexpr const char* AVFoundationErrorDomain = "AVFoundationErrorDomain";
enum : long {
    AVErrorDeviceAlreadyUsedByAnotherSession = -11804,
    AVErrorDeviceNotConnected = -11814,
};

class AVCaptureDeviceInput : public AVCaptureInput {
public:
    // Null (and *error filled when given) if the device is gone or already in use by another session.
    static std::shared_ptr<AVCaptureDeviceInput> deviceInputWithDevice(const std::shared_ptr<AVCaptureDevice>& device,
                                                                       NSError* error);
    const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }

private:
    explicit AVCaptureDeviceInput(std::shared_ptr<AVCaptureDevice> device) : device_(std::move(device)) {}

    std::shared_ptr<AVCaptureDevice> device_;
};

}  // namespace velunto

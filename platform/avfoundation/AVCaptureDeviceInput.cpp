#include "platform/avfoundation/AVCaptureDeviceInput.h"

namespace velunto {

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::deviceInputWithDevice(
    const std::shared_ptr<AVCaptureDevice>& device, NSError* error) {
    auto fail = [&](long code, const std::string& sentence) {
        if (error)
            *error = NSError{AVFoundationErrorDomain, code, sentence};
        return nullptr;
    };
    if (!device || !device->isConnected())
        return fail(AVErrorDeviceNotConnected, "Cannot use the camera: it is not connected.");
    if (device->isClaimedByOtherThan(nullptr))
        return fail(AVErrorDeviceAlreadyUsedByAnotherSession,
                    "Cannot use " + device->localizedName() + ": it is in use by another capture session.");
    return std::shared_ptr<AVCaptureDeviceInput>(new AVCaptureDeviceInput(device));
}

}  // namespace velunto

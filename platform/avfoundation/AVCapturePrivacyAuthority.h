#pragma once

#include <functional>

#include "platform/avfoundation/AVCaptureDevice.h"

namespace velunto {

// Decides whether the application may capture a media type (the system's privacy prompt).
class AVCapturePrivacyAuthority {
public:
    virtual ~AVCapturePrivacyAuthority() = default;

    virtual AVAuthorizationStatus authorizationStatus(const AVMediaType& type) const = 0;
    // Calls handler once, on a queue of the authority's own.
    virtual void requestAccess(const AVMediaType& type, std::function<void(bool granted)> handler) = 0;
};

}  // namespace velunto

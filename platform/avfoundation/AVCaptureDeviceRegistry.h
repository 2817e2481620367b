#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureDeviceProvider.h"
#include "platform/avfoundation/AVCapturePrivacyAuthority.h"

namespace velunto {

// The process-wide list of device providers and the privacy authority. Without an authority every
// media type is authorized and requests are granted.
class AVCaptureDeviceRegistry {
public:
    static AVCaptureDeviceRegistry& shared();

    void addProvider(std::shared_ptr<AVCaptureDeviceProvider> provider);
    void removeProvider(const std::shared_ptr<AVCaptureDeviceProvider>& provider);
    void setPrivacyAuthority(std::shared_ptr<AVCapturePrivacyAuthority> authority);  // null: the default

    // Connected devices of every provider, in connection order.
    std::vector<std::shared_ptr<AVCaptureDevice>> devices() const;
    // The first provider's preferred device, else the first connected device of the type.
    std::shared_ptr<AVCaptureDevice> defaultDevice(const AVMediaType& type) const;
    std::shared_ptr<AVCaptureDevice> device(const std::string& uniqueID) const;
    std::shared_ptr<AVCapturePrivacyAuthority> privacyAuthority() const;

private:
    std::vector<std::shared_ptr<AVCaptureDeviceProvider>> providers() const;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<AVCaptureDeviceProvider>> providers_;
    std::shared_ptr<AVCapturePrivacyAuthority> authority_;
};

}  // namespace velunto

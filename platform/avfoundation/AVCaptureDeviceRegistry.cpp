#include "platform/avfoundation/AVCaptureDeviceRegistry.h"

#include <algorithm>

namespace velunto {

AVCaptureDeviceRegistry& AVCaptureDeviceRegistry::shared() {
    static AVCaptureDeviceRegistry* registry = new AVCaptureDeviceRegistry();  // outlives static destructors
    return *registry;
}

void AVCaptureDeviceRegistry::addProvider(std::shared_ptr<AVCaptureDeviceProvider> provider) {
    std::lock_guard lock(mutex_);
    if (provider && std::find(providers_.begin(), providers_.end(), provider) == providers_.end())
        providers_.push_back(std::move(provider));
}

void AVCaptureDeviceRegistry::removeProvider(const std::shared_ptr<AVCaptureDeviceProvider>& provider) {
    std::lock_guard lock(mutex_);
    std::erase(providers_, provider);
}

void AVCaptureDeviceRegistry::setPrivacyAuthority(std::shared_ptr<AVCapturePrivacyAuthority> authority) {
    std::lock_guard lock(mutex_);
    authority_ = std::move(authority);
}

std::shared_ptr<AVCapturePrivacyAuthority> AVCaptureDeviceRegistry::privacyAuthority() const {
    std::lock_guard lock(mutex_);
    return authority_;
}

std::vector<std::shared_ptr<AVCaptureDeviceProvider>> AVCaptureDeviceRegistry::providers() const {
    std::lock_guard lock(mutex_);
    return providers_;
}

std::vector<std::shared_ptr<AVCaptureDevice>> AVCaptureDeviceRegistry::devices() const {
    std::vector<std::shared_ptr<AVCaptureDevice>> all;
    for (const auto& provider : providers()) {
        auto devices = provider->connectedDevices();
        all.insert(all.end(), devices.begin(), devices.end());
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a->connectionSequence() < b->connectionSequence(); });
    return all;
}

std::shared_ptr<AVCaptureDevice> AVCaptureDeviceRegistry::defaultDevice(const AVMediaType& type) const {
    for (const auto& provider : providers())
        if (auto device = provider->defaultDevice(type); device && device->isConnected())
            return device;
    for (const auto& device : devices())
        if (device->hasMediaType(type))
            return device;
    return nullptr;
}

std::shared_ptr<AVCaptureDevice> AVCaptureDeviceRegistry::device(const std::string& uniqueID) const {
    for (const auto& device : devices())
        if (device->uniqueID() == uniqueID && device->isConnected())
            return device;
    return nullptr;
}

}  // namespace velunto

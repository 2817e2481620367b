#include "platform/avfoundation/AVCaptureDevice.h"

#include <algorithm>
#include <atomic>

#include "platform/avfoundation/AVCaptureDeviceRegistry.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

namespace {
std::atomic<std::uint64_t> nextConnectionSequence{1};
}

AVCaptureDevice::AVCaptureDevice(AVCaptureDeviceDescriptor descriptor, std::shared_ptr<AVCaptureDeviceBackend> backend)
    : descriptor_(std::move(descriptor)),
      backend_(std::move(backend)),
      connectionSequence_(nextConnectionSequence.fetch_add(1, std::memory_order_relaxed)) {}

bool AVCaptureDevice::hasMediaType(const AVMediaType& type) const {
    return std::find(descriptor_.mediaTypes.begin(), descriptor_.mediaTypes.end(), type) !=
           descriptor_.mediaTypes.end();
}

bool AVCaptureDevice::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void AVCaptureDevice::markDisconnected() {
    std::lock_guard lock(mutex_);
    connected_ = false;
}

bool AVCaptureDevice::claim(const void* owner) {
    std::lock_guard lock(mutex_);
    if (owner_ && owner_ != owner)
        return false;
    owner_ = owner;
    return true;
}

void AVCaptureDevice::relinquish(const void* owner) {
    std::lock_guard lock(mutex_);
    if (owner_ == owner)
        owner_ = nullptr;
}

bool AVCaptureDevice::isClaimedByOtherThan(const void* owner) const {
    std::lock_guard lock(mutex_);
    return owner_ && owner_ != owner;
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithMediaType(const AVMediaType& type) {
    return AVCaptureDeviceRegistry::shared().defaultDevice(type);
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::deviceWithUniqueID(const std::string& uniqueID) {
    return AVCaptureDeviceRegistry::shared().device(uniqueID);
}

AVAuthorizationStatus AVCaptureDevice::authorizationStatusForMediaType(const AVMediaType& type) {
    if (auto authority = AVCaptureDeviceRegistry::shared().privacyAuthority())
        return authority->authorizationStatus(type);
    return AVAuthorizationStatus::authorized;
}

void AVCaptureDevice::requestAccessForMediaType(const AVMediaType& type, std::function<void(bool granted)> handler) {
    if (auto authority = AVCaptureDeviceRegistry::shared().privacyAuthority()) {
        authority->requestAccess(type, std::move(handler));
        return;
    }
    DispatchQueue::global().async([handler = std::move(handler)] { handler(true); });
}

}  // namespace velunto

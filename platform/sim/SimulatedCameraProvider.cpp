#include "platform/sim/SimulatedCameraProvider.h"

#include <algorithm>

namespace velunto {

namespace {
AVCaptureDevicePosition positionOf(const AVCaptureDeviceType& type) {
    return type == AVCaptureDeviceTypeBuiltInWideAngleCamera ? AVCaptureDevicePosition::front
                                                             : AVCaptureDevicePosition::unspecified;
}
}  // namespace

SimulatedCameraProvider::SimulatedCameraProvider() : privacyQueue_("app.velunto.sim.privacy") {}

std::vector<std::shared_ptr<AVCaptureDevice>> SimulatedCameraProvider::connectedDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<AVCaptureDevice>> devices;
    for (const auto& camera : cameras_)
        devices.push_back(camera.device);
    return devices;
}

std::shared_ptr<AVCaptureDevice> SimulatedCameraProvider::defaultDevice(const AVMediaType& type) const {
    std::lock_guard lock(mutex_);
    if (type != AVMediaTypeVideo || cameras_.empty())
        return nullptr;
    if (defaultCamera_)
        for (const auto& camera : cameras_)
            if (camera.device->uniqueID() == *defaultCamera_)
                return camera.device;
    return cameras_.front().device;
}

AVAuthorizationStatus SimulatedCameraProvider::authorizationStatus(const AVMediaType&) const {
    std::lock_guard lock(mutex_);
    return status_;
}

void SimulatedCameraProvider::requestAccess(const AVMediaType&, std::function<void(bool granted)> handler) {
    std::unique_lock lock(mutex_);
    if (status_ != AVAuthorizationStatus::notDetermined) {
        const bool granted = status_ == AVAuthorizationStatus::authorized;
        lock.unlock();
        privacyQueue_.async([handler = std::move(handler), granted] { handler(granted); });
        return;
    }
    const bool granted = answer_;
    const auto deadline = DispatchTime::now() + answerDelay_;
    lock.unlock();
    privacyQueue_.asyncAfter(deadline, [self = shared_from_this(), handler = std::move(handler), granted] {
        {
            std::lock_guard answerLock(self->mutex_);
            if (self->status_ == AVAuthorizationStatus::notDetermined)
                self->status_ = granted ? AVAuthorizationStatus::authorized : AVAuthorizationStatus::denied;
        }
        handler(granted);
    });
}

std::shared_ptr<AVCaptureDevice> SimulatedCameraProvider::add(const SimulatedCameraDescription& description) {
    std::lock_guard lock(mutex_);
    if (std::any_of(cameras_.begin(), cameras_.end(),
                    [&](const Camera& camera) { return camera.device->uniqueID() == description.uniqueID; }))
        return nullptr;
    auto camera = std::make_shared<SimulatedCamera>(description);
    AVCaptureDeviceDescriptor descriptor{description.uniqueID,   description.name,
                                         description.deviceType, positionOf(description.deviceType),
                                         {AVMediaTypeVideo},     description.sizes};
    auto device = std::make_shared<AVCaptureDevice>(std::move(descriptor), camera);
    cameras_.push_back({device, camera});
    return device;
}

std::optional<SimulatedCameraProvider::Camera> SimulatedCameraProvider::remove(const std::string& uniqueID) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(cameras_.begin(), cameras_.end(),
                                 [&](const Camera& camera) { return camera.device->uniqueID() == uniqueID; });
    if (it == cameras_.end())
        return std::nullopt;
    Camera removed = *it;
    cameras_.erase(it);
    return removed;
}

std::optional<SimulatedCameraProvider::Camera> SimulatedCameraProvider::find(const std::string& uniqueID) const {
    std::lock_guard lock(mutex_);
    for (const auto& camera : cameras_)
        if (camera.device->uniqueID() == uniqueID)
            return camera;
    return std::nullopt;
}

std::vector<std::string> SimulatedCameraProvider::uniqueIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const auto& camera : cameras_)
        ids.push_back(camera.device->uniqueID());
    return ids;
}

void SimulatedCameraProvider::setDefaultCamera(std::optional<std::string> uniqueID) {
    std::lock_guard lock(mutex_);
    defaultCamera_ = std::move(uniqueID);
}

void SimulatedCameraProvider::setAuthorizationStatus(AVAuthorizationStatus status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void SimulatedCameraProvider::setAccessAnswer(bool granted, std::chrono::nanoseconds after) {
    std::lock_guard lock(mutex_);
    answer_ = granted;
    answerDelay_ = after;
}

}  // namespace velunto

#include "platform/sim/SimulatedCameraHardware.h"

#include "platform/avfoundation/AVCaptureDeviceRegistry.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/sim/SimulatedCameraProvider.h"

namespace velunto {

SimulatedCameraHardware::SimulatedCameraHardware(std::vector<SimulatedCameraDescription> cameras)
    : provider_(std::make_shared<SimulatedCameraProvider>()) {
    auto& registry = AVCaptureDeviceRegistry::shared();
    registry.addProvider(provider_);
    registry.setPrivacyAuthority(provider_);
    for (const auto& camera : cameras)
        plug(camera);
}

SimulatedCameraHardware::~SimulatedCameraHardware() {
    const auto ids = provider_->uniqueIDs();
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)
        unplug(*it);
    auto& registry = AVCaptureDeviceRegistry::shared();
    registry.removeProvider(provider_);
    if (registry.privacyAuthority() == provider_)
        registry.setPrivacyAuthority(nullptr);
}

std::vector<SimulatedCameraDescription> SimulatedCameraHardware::standardCameras() {
    SimulatedCameraDescription builtIn{
        "builtin", "Built-in Camera", AVCaptureDeviceTypeBuiltInWideAngleCamera, {{640, 480}, {1280, 720}}, '420v', 30,
        0};
    SimulatedCameraDescription external{
        "external", "USB Camera", AVCaptureDeviceTypeExternal, {{1280, 720}, {1920, 1080}}, 'BGRA', 30, 0};
    return {builtIn, external};
}

void SimulatedCameraHardware::plug(const SimulatedCameraDescription& camera) {
    if (const auto device = provider_->add(camera))
        NotificationCenter::defaultCenter().post({AVCaptureDeviceWasConnectedNotification, device.get()});
}

void SimulatedCameraHardware::unplug(const std::string& uniqueID) {
    const auto removed = provider_->remove(uniqueID);
    if (!removed)
        return;
    removed->device->markDisconnected();
    removed->camera->stopCapture();
    NotificationCenter::defaultCenter().post({AVCaptureDeviceWasDisconnectedNotification, removed->device.get()});
}

void SimulatedCameraHardware::setDefaultCamera(std::optional<std::string> uniqueID) {
    provider_->setDefaultCamera(std::move(uniqueID));
}

void SimulatedCameraHardware::setAuthorizationStatus(AVAuthorizationStatus status) {
    provider_->setAuthorizationStatus(status);
}

void SimulatedCameraHardware::setAccessAnswer(bool granted, std::chrono::nanoseconds after) {
    provider_->setAccessAnswer(granted, after);
}

void SimulatedCameraHardware::setFrameSize(const std::string& uniqueID, std::int32_t width, std::int32_t height) {
    if (const auto camera = provider_->find(uniqueID))
        camera->camera->setFrameSize(width, height);
}

void SimulatedCameraHardware::flash(const std::string& uniqueID) {
    if (const auto camera = provider_->find(uniqueID))
        camera->camera->flash();
}

bool SimulatedCameraHardware::isCapturing(const std::string& uniqueID) const {
    const auto camera = provider_->find(uniqueID);
    return camera && camera->camera->isCapturing();
}

std::uint64_t SimulatedCameraHardware::framesProduced(const std::string& uniqueID) const {
    const auto camera = provider_->find(uniqueID);
    return camera ? camera->camera->framesProduced() : 0;
}

std::shared_ptr<AVCaptureDevice> SimulatedCameraHardware::device(const std::string& uniqueID) const {
    const auto camera = provider_->find(uniqueID);
    return camera ? camera->device : nullptr;
}

}  // namespace velunto

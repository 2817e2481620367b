#include "camera-extension/CameraProviderSource.h"

#include "platform/foundation/FatalError.h"

namespace velunto {

std::shared_ptr<CameraProviderSource> CameraProviderSource::make() {
    std::shared_ptr<CameraProviderSource> source(new CameraProviderSource());
    source->construct();
    return source;
}

CameraProviderSource::CameraProviderSource() : queue_(kQueueLabel) {}

void CameraProviderSource::construct() {
    provider_ = CMIOExtensionProvider::make(shared_from_this(), queue_);
    deviceSource_ = CameraDeviceSource::make(queue_);
    NSError error;
    if (!provider_->addDevice(deviceSource_->device(), &error))
        fatalError(("Kamera-Gerät konnte nicht hinzugefügt werden: " + error.localizedDescription).c_str());
}

bool CameraProviderSource::connectClient(const CMIOExtensionClient&, NSError*) {
    return true;
}

void CameraProviderSource::disconnectClient(const CMIOExtensionClient&) {}

std::set<std::string> CameraProviderSource::availableProperties() {
    return {CMIOExtensionPropertyProviderManufacturer};
}

std::optional<CMIOExtensionProviderProperties> CameraProviderSource::providerPropertiesForProperties(
    const std::set<std::string>& properties, NSError*) {
    CMIOExtensionProviderProperties answer;
    if (properties.contains(CMIOExtensionPropertyProviderManufacturer))
        answer.manufacturer = kManufacturer;
    return answer;
}

bool CameraProviderSource::setProviderProperties(const CMIOExtensionProviderProperties&, NSError*) {
    return true;
}

}  // namespace velunto

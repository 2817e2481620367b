#include "camera-extension/CameraStreamSource.h"

#include "camera-extension/CameraDeviceSource.h"
#include "platform/coremedia/CMTime.h"

namespace velunto {

CameraStreamSource::CameraStreamSource(std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> formats,
                                       std::weak_ptr<CameraDeviceSource> owner, CMIOExtensionStreamDirection dir)
    : streamFormats(std::move(formats)), device(std::move(owner)), direction(dir) {}

std::set<std::string> CameraStreamSource::availableProperties() {
    std::set<std::string> properties{CMIOExtensionPropertyStreamActiveFormatIndex,
                                     CMIOExtensionPropertyStreamFrameDuration};
    if (direction == CMIOExtensionStreamDirection::sink)
        properties.insert(
            {CMIOExtensionPropertyStreamSinkBufferQueueSize, CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup,
             CMIOExtensionPropertyStreamSinkBufferUnderrunCount, CMIOExtensionPropertyStreamSinkEndOfData});
    return properties;
}

std::optional<CMIOExtensionStreamProperties> CameraStreamSource::streamPropertiesForProperties(
    const std::set<std::string>& properties, NSError*) {
    CMIOExtensionStreamProperties answer;
    if (properties.contains(CMIOExtensionPropertyStreamActiveFormatIndex)) {
        const auto owner = device.lock();
        answer.activeFormatIndex =
            owner && direction == CMIOExtensionStreamDirection::source ? owner->activeFormatIndex() : 0;
    }
    if (properties.contains(CMIOExtensionPropertyStreamFrameDuration))
        answer.frameDuration = CMTimeMake(1, 30);
    if (properties.contains(CMIOExtensionPropertyStreamSinkBufferQueueSize))
        answer.sinkBufferQueueSize = 2;
    if (properties.contains(CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup))
        answer.sinkBuffersRequiredForStartup = 1;
    return answer;
}

bool CameraStreamSource::setStreamProperties(const CMIOExtensionStreamProperties& properties, NSError*) {
    if (properties.activeFormatIndex)
        if (const auto owner = device.lock())
            owner->setActiveFormat(*properties.activeFormatIndex, *this);
    return true;
}

bool CameraStreamSource::authorizedToStartStreamForClient(const CMIOExtensionClient& client) {
    const auto owner = device.lock();
    if (!owner)
        return false;
    if (direction == CMIOExtensionStreamDirection::sink)
        owner->setSinkClient(client);
    return true;
}

bool CameraStreamSource::startStream(NSError*) {
    if (const auto owner = device.lock())
        owner->streamStarted(*this);
    return true;
}

bool CameraStreamSource::stopStream(NSError*) {
    if (const auto owner = device.lock())
        owner->streamStopped(*this);
    return true;
}

}  // namespace velunto

#include "platform/coremediaio/CMIOExtensionDevice.h"

#include <algorithm>

#include "platform/coremediaio/CMIOExtensionProvider.h"

namespace velunto {

std::shared_ptr<CMIOExtensionDevice> CMIOExtensionDevice::make(std::string localizedName, std::string deviceID,
                                                               std::optional<std::string> legacyDeviceID,
                                                               std::shared_ptr<CMIOExtensionDeviceSource> source) {
    return std::shared_ptr<CMIOExtensionDevice>(new CMIOExtensionDevice(std::move(localizedName), std::move(deviceID),
                                                                        std::move(legacyDeviceID), std::move(source)));
}

CMIOExtensionDevice::CMIOExtensionDevice(std::string localizedName, std::string deviceID,
                                         std::optional<std::string> legacyDeviceID,
                                         std::shared_ptr<CMIOExtensionDeviceSource> source)
    : localizedName_(std::move(localizedName)),
      deviceID_(std::move(deviceID)),
      legacyDeviceID_(std::move(legacyDeviceID)),
      source_(source) {}

bool CMIOExtensionDevice::addStream(std::shared_ptr<CMIOExtensionStream> stream, NSError* error) {
    std::shared_ptr<CMIOExtensionProvider> provider;
    {
        std::lock_guard lock(mutex_);
        const bool duplicate = stream && std::any_of(streams_.begin(), streams_.end(), [&](const auto& existing) {
                                   return existing->streamID() == stream->streamID();
                               });
        if (!stream || duplicate) {
            if (error)
                *error = NSError{
                    CMIOExtensionErrorDomain, 1,
                    stream ? "A stream with ID " + stream->streamID() + " already exists." : "No stream was given."};
            return false;
        }
        stream->attachToDevice(weak_from_this());
        streams_.push_back(std::move(stream));
        provider = provider_.lock();
    }
    if (provider)
        provider->publishDeviceList();
    return true;
}

bool CMIOExtensionDevice::removeStream(const std::shared_ptr<CMIOExtensionStream>& stream, NSError* error) {
    std::shared_ptr<CMIOExtensionProvider> provider;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(streams_.begin(), streams_.end(), stream);
        if (it == streams_.end()) {
            if (error)
                *error = NSError{CMIOExtensionErrorDomain, 2, "The stream does not belong to the device."};
            return false;
        }
        streams_.erase(it);
        provider = provider_.lock();
    }
    if (provider)
        provider->publishDeviceList();
    return true;
}

std::vector<std::shared_ptr<CMIOExtensionStream>> CMIOExtensionDevice::streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
}

std::shared_ptr<CMIOExtensionStream> CMIOExtensionDevice::stream(const std::string& streamID) const {
    std::lock_guard lock(mutex_);
    for (const auto& stream : streams_)
        if (stream->streamID() == streamID)
            return stream;
    return nullptr;
}

void CMIOExtensionDevice::notifyPropertiesChanged(const CMIOExtensionPropertyStates& properties) {
    std::vector<std::string> names;
    for (const auto& [name, state] : properties)
        names.push_back(name);
    if (const auto owner = provider())
        owner->devicePropertiesChanged(deviceID_, names);
}

bool CMIOExtensionDevice::isRunningSomewhere() const {
    for (const auto& stream : streams())
        if (stream->runningClientCount() > 0)
            return true;
    return false;
}

void CMIOExtensionDevice::attachToProvider(std::weak_ptr<CMIOExtensionProvider> provider) {
    std::lock_guard lock(mutex_);
    provider_ = std::move(provider);
}

std::shared_ptr<CMIOExtensionProvider> CMIOExtensionDevice::provider() const {
    std::lock_guard lock(mutex_);
    return provider_.lock();
}

}  // namespace velunto

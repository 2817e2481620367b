#include "platform/coremediaio/CMIOExtensionProvider.h"

#include <algorithm>

#include "platform/coremediaio/CMIOClientRuntime.h"
#include "platform/coremediaio/CMIOProviderConnection.h"
#include "platform/coremediaio/CMIOSocketService.h"

namespace velunto {

namespace {

struct PublishedProviders {
    std::mutex mutex;
    std::vector<std::shared_ptr<CMIOExtensionProvider>> providers;
    std::vector<std::shared_ptr<CMIOSocketService>> services;
};

PublishedProviders& published() {
    static auto* instance = new PublishedProviders();  // never destroyed: queues may still use it at exit
    return *instance;
}

}  // namespace

std::shared_ptr<CMIOExtensionProvider> CMIOExtensionProvider::make(std::shared_ptr<CMIOExtensionProviderSource> source,
                                                                   DispatchQueue clientQueue) {
    return std::shared_ptr<CMIOExtensionProvider>(new CMIOExtensionProvider(std::move(source), std::move(clientQueue)));
}

CMIOExtensionProvider::CMIOExtensionProvider(std::shared_ptr<CMIOExtensionProviderSource> source,
                                             DispatchQueue clientQueue)
    : source_(source), clientQueue_(std::move(clientQueue)) {}

CMIOExtensionProvider::~CMIOExtensionProvider() = default;

bool CMIOExtensionProvider::addDevice(std::shared_ptr<CMIOExtensionDevice> device, NSError* error) {
    {
        std::lock_guard lock(mutex_);
        const bool duplicate = device && std::any_of(devices_.begin(), devices_.end(), [&](const auto& existing) {
                                   return existing->deviceID() == device->deviceID();
                               });
        if (!device || duplicate) {
            if (error)
                *error = NSError{
                    CMIOExtensionErrorDomain, 1,
                    device ? "A device with ID " + device->deviceID() + " already exists." : "No device was given."};
            return false;
        }
        device->attachToProvider(weak_from_this());
        devices_.push_back(std::move(device));
    }
    publishDeviceList();
    return true;
}

bool CMIOExtensionProvider::removeDevice(const std::shared_ptr<CMIOExtensionDevice>& device, NSError* error) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(devices_.begin(), devices_.end(), device);
        if (it == devices_.end()) {
            if (error)
                *error = NSError{CMIOExtensionErrorDomain, 2, "The device does not belong to the provider."};
            return false;
        }
        devices_.erase(it);
    }
    clientQueue_.async([self = shared_from_this(), device] {
        for (const auto& connection : self->connections())
            for (const auto& stream : device->streams())
                stream->stopForConnection(*connection);
    });
    publishDeviceList();
    return true;
}

void CMIOExtensionProvider::startServiceWithProvider(std::shared_ptr<CMIOExtensionProvider> provider) {
    if (!provider)
        return;
    {
        auto& registry = published();
        std::lock_guard lock(registry.mutex);
        if (std::find(registry.providers.begin(), registry.providers.end(), provider) != registry.providers.end())
            return;
        registry.providers.push_back(provider);
        if (auto service = CMIOSocketService::start(provider))
            registry.services.push_back(std::move(service));
    }
    CMIOClientRuntime::shared().providerPublished(provider);
}

void CMIOExtensionProvider::stopService() {
    std::vector<std::shared_ptr<CMIOExtensionProvider>> providers;
    std::vector<std::shared_ptr<CMIOSocketService>> services;
    {
        auto& registry = published();
        std::lock_guard lock(registry.mutex);
        providers.swap(registry.providers);
        services.swap(registry.services);
    }
    for (const auto& service : services)
        service->stop();
    for (const auto& provider : providers)
        for (const auto& connection : provider->connections())
            connection->closeFromProvider();
}

std::vector<std::shared_ptr<CMIOExtensionProvider>> CMIOExtensionProvider::publishedProviders() {
    auto& registry = published();
    std::lock_guard lock(registry.mutex);
    return registry.providers;
}

std::vector<std::shared_ptr<CMIOExtensionDevice>> CMIOExtensionProvider::devices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::shared_ptr<CMIOExtensionDevice> CMIOExtensionProvider::device(const std::string& deviceID) const {
    std::lock_guard lock(mutex_);
    for (const auto& device : devices_)
        if (device->deviceID() == deviceID)
            return device;
    return nullptr;
}

std::shared_ptr<CMIOExtensionStream> CMIOExtensionProvider::stream(const std::string& streamID) const {
    for (const auto& device : devices())
        if (auto stream = device->stream(streamID))
            return stream;
    return nullptr;
}

std::vector<CMIOExtensionClient> CMIOExtensionProvider::connectedClients() const {
    std::vector<CMIOExtensionClient> clients;
    for (const auto& connection : connections())
        clients.push_back(connection->client());
    return clients;
}

void CMIOExtensionProvider::connectionOpened(std::shared_ptr<CMIOProviderConnection> connection) {
    std::lock_guard lock(mutex_);
    connections_.push_back(std::move(connection));
}

void CMIOExtensionProvider::connectionClosed(const CMIOProviderConnection& connection) {
    std::lock_guard lock(mutex_);
    std::erase_if(connections_, [&](const auto& existing) { return existing.get() == &connection; });
}

std::vector<std::shared_ptr<CMIOProviderConnection>> CMIOExtensionProvider::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

void CMIOExtensionProvider::devicePropertiesChanged(const std::string& deviceID,
                                                    const std::vector<std::string>& names) {
    const nlohmann::json event{{"event", "properties"}, {"device", deviceID}, {"names", names}};
    for (const auto& connection : connections())
        connection->sendEvent(event);
}

void CMIOExtensionProvider::publishDeviceList() {
    clientQueue_.async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self)
            return;
        const auto targets = self->connections();
        if (targets.empty())
            return;
        const auto devices = CMIOProviderConnection::describeDevices(*self);
        for (const auto& connection : targets)
            connection->sendDeviceList(devices);
    });
}

}  // namespace velunto

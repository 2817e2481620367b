#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coremediaio/CMIOExtensionDevice.h"
#include "platform/coremediaio/CMIOExtensionProviderSource.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NSError.h"

namespace velunto {

class CMIOProviderConnection;
class CMIOSocketService;

// An extension's provider: its devices, and the clients connected to them. Every call into the
// sources runs on the client queue.
class CMIOExtensionProvider : public std::enable_shared_from_this<CMIOExtensionProvider> {
public:
    // The source is held weakly.
    static std::shared_ptr<CMIOExtensionProvider> make(std::shared_ptr<CMIOExtensionProviderSource> source,
                                                       DispatchQueue clientQueue);
    ~CMIOExtensionProvider();

    // Refused for a null device or a second device with the same ID.
    bool addDevice(std::shared_ptr<CMIOExtensionDevice> device, NSError* error);
    // Clients running its streams lose them.
    bool removeDevice(const std::shared_ptr<CMIOExtensionDevice>& device, NSError* error);

    // Publishes the provider: to clients in other processes over a socket of its own, and always to
    // clients in this process. Returns at once; the caller then runs its run loop.
    static void startServiceWithProvider(std::shared_ptr<CMIOExtensionProvider> provider);
    // Withdraws every provider this process published; their clients see the devices go.
    static void stopService();

    std::shared_ptr<CMIOExtensionProviderSource> source() const { return source_.lock(); }
    const DispatchQueue& clientQueue() const { return clientQueue_; }
    std::vector<std::shared_ptr<CMIOExtensionDevice>> devices() const;
    std::shared_ptr<CMIOExtensionDevice> device(const std::string& deviceID) const;
    std::shared_ptr<CMIOExtensionStream> stream(const std::string& streamID) const;
    std::vector<CMIOExtensionClient> connectedClients() const;

    // Used by the framework.
    static std::vector<std::shared_ptr<CMIOExtensionProvider>> publishedProviders();
    void connectionOpened(std::shared_ptr<CMIOProviderConnection> connection);
    void connectionClosed(const CMIOProviderConnection& connection);
    std::vector<std::shared_ptr<CMIOProviderConnection>> connections() const;
    // Tells every connection about a device property change.
    void devicePropertiesChanged(const std::string& deviceID, const std::vector<std::string>& names);
    // Sends the device list to every connection (on the client queue).
    void publishDeviceList();

private:
    CMIOExtensionProvider(std::shared_ptr<CMIOExtensionProviderSource> source, DispatchQueue clientQueue);

    const std::weak_ptr<CMIOExtensionProviderSource> source_;
    const DispatchQueue clientQueue_;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CMIOExtensionDevice>> devices_;
    std::vector<std::shared_ptr<CMIOProviderConnection>> connections_;
};

}  // namespace velunto

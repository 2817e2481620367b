#pragma once

#include <memory>
#include <set>
#include <string>

#include "camera-extension/CameraDeviceSource.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOExtensionProviderSource.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// The extension's provider: accepts every client and publishes the one virtual camera.
class CameraProviderSource : public CMIOExtensionProviderSource,
                             public std::enable_shared_from_this<CameraProviderSource> {
public:
    static constexpr const char* kQueueLabel = "app.velunto.camera.extension";
    static constexpr const char* kManufacturer = "Velunto";

    // Stops the process if the device cannot be added.
    static std::shared_ptr<CameraProviderSource> make();

    const std::shared_ptr<CMIOExtensionProvider>& provider() const { return provider_; }
    const std::shared_ptr<CameraDeviceSource>& deviceSource() const { return deviceSource_; }
    const DispatchQueue& queue() const { return queue_; }

    bool connectClient(const CMIOExtensionClient& client, NSError* error) override;
    void disconnectClient(const CMIOExtensionClient& client) override;
    std::set<std::string> availableProperties() override;
    std::optional<CMIOExtensionProviderProperties> providerPropertiesForProperties(
        const std::set<std::string>& properties, NSError* error) override;
    bool setProviderProperties(const CMIOExtensionProviderProperties& properties, NSError* error) override;

private:
    CameraProviderSource();
    void construct();

    const DispatchQueue queue_;
    std::shared_ptr<CMIOExtensionProvider> provider_;
    std::shared_ptr<CameraDeviceSource> deviceSource_;
};

}  // namespace velunto

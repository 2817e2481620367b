#pragma once

#include <optional>
#include <set>
#include <string>

#include "platform/coremediaio/CMIOExtensionClient.h"
#include "platform/coremediaio/CMIOExtensionProperties.h"
#include "platform/foundation/NSError.h"

namespace velunto {

// What the extension supplies for its provider. Called on the provider's client queue.
class CMIOExtensionProviderSource {
public:
    virtual ~CMIOExtensionProviderSource() = default;
    // False (and the error filled in) refuses the client.
    virtual bool connectClient(const CMIOExtensionClient& client, NSError* error) = 0;
    virtual void disconnectClient(const CMIOExtensionClient& client) = 0;
    virtual std::set<std::string> availableProperties() = 0;
    virtual std::optional<CMIOExtensionProviderProperties> providerPropertiesForProperties(
        const std::set<std::string>& properties, NSError* error) = 0;
    virtual bool setProviderProperties(const CMIOExtensionProviderProperties& properties, NSError* error) = 0;
};

}  // namespace velunto

#pragma once

#include <optional>
#include <set>
#include <string>

#include "platform/coremediaio/CMIOExtensionProperties.h"
#include "platform/foundation/NSError.h"

namespace velunto {

// What the extension supplies for one device. Called on the provider's client queue.
class CMIOExtensionDeviceSource {
public:
    virtual ~CMIOExtensionDeviceSource() = default;
    virtual std::set<std::string> availableProperties() = 0;
    virtual std::optional<CMIOExtensionDeviceProperties> devicePropertiesForProperties(
        const std::set<std::string>& properties, NSError* error) = 0;
    virtual bool setDeviceProperties(const CMIOExtensionDeviceProperties& properties, NSError* error) = 0;
};

}  // namespace velunto

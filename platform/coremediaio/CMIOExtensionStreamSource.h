#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/coremediaio/CMIOExtensionClient.h"
#include "platform/coremediaio/CMIOExtensionProperties.h"
#include "platform/coremediaio/CMIOExtensionStreamFormat.h"
#include "platform/foundation/NSError.h"

namespace velunto {

// What the extension supplies for one stream. Called on the provider's client queue. startStream
// comes when the first client starts the stream, stopStream when the last one stops it.
class CMIOExtensionStreamSource {
public:
    virtual ~CMIOExtensionStreamSource() = default;
    virtual std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> formats() = 0;
    virtual std::set<std::string> availableProperties() = 0;
    virtual std::optional<CMIOExtensionStreamProperties> streamPropertiesForProperties(
        const std::set<std::string>& properties, NSError* error) = 0;
    virtual bool setStreamProperties(const CMIOExtensionStreamProperties& properties, NSError* error) = 0;
    // Asked for every client that starts the stream.
    virtual bool authorizedToStartStreamForClient(const CMIOExtensionClient& client) = 0;
    virtual bool startStream(NSError* error) = 0;
    virtual bool stopStream(NSError* error) = 0;
};

}  // namespace velunto

#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/coremediaio/CMIOExtensionStream.h"
#include "platform/coremediaio/CMIOExtensionStreamFormat.h"
#include "platform/coremediaio/CMIOExtensionStreamSource.h"

namespace velunto {

class CameraDeviceSource;

// The source object of one of the camera's two streams: the picture clients watch, or the feed the
// application pushes. Everything it is asked runs on the extension's work queue.
class CameraStreamSource : public CMIOExtensionStreamSource {
public:
    CameraStreamSource(std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> formats,
                       std::weak_ptr<CameraDeviceSource> device, CMIOExtensionStreamDirection direction);

    std::shared_ptr<CMIOExtensionStream> stream;
    const std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> streamFormats;
    const std::weak_ptr<CameraDeviceSource> device;
    const CMIOExtensionStreamDirection direction;

    std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> formats() override { return streamFormats; }
    std::set<std::string> availableProperties() override;
    std::optional<CMIOExtensionStreamProperties> streamPropertiesForProperties(const std::set<std::string>& properties,
                                                                               NSError* error) override;
    bool setStreamProperties(const CMIOExtensionStreamProperties& properties, NSError* error) override;
    bool authorizedToStartStreamForClient(const CMIOExtensionClient& client) override;
    bool startStream(NSError* error) override;
    bool stopStream(NSError* error) override;
};

}  // namespace velunto

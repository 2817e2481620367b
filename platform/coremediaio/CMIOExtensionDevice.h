#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/coremediaio/CMIOExtensionDeviceSource.h"
#include "platform/coremediaio/CMIOExtensionProperties.h"
#include "platform/coremediaio/CMIOExtensionStream.h"
#include "platform/foundation/NSError.h"

namespace velunto {

class CMIOExtensionProvider;

// A device an extension publishes: a name, a unique ID and its streams.
class CMIOExtensionDevice : public std::enable_shared_from_this<CMIOExtensionDevice> {
public:
    // The source is held weakly. deviceID is UUID text; clients read the legacy ID as the device's UID
    // (the deviceID when there is none).
    static std::shared_ptr<CMIOExtensionDevice> make(std::string localizedName, std::string deviceID,
                                                     std::optional<std::string> legacyDeviceID,
                                                     std::shared_ptr<CMIOExtensionDeviceSource> source);

    const std::string& localizedName() const { return localizedName_; }
    const std::string& deviceID() const { return deviceID_; }
    const std::optional<std::string>& legacyDeviceID() const { return legacyDeviceID_; }
    std::shared_ptr<CMIOExtensionDeviceSource> source() const { return source_.lock(); }

    // Refused (false, error filled in) for a null stream or a second stream with the same ID.
    bool addStream(std::shared_ptr<CMIOExtensionStream> stream, NSError* error);
    bool removeStream(const std::shared_ptr<CMIOExtensionStream>& stream, NSError* error);
    std::vector<std::shared_ptr<CMIOExtensionStream>> streams() const;
    std::shared_ptr<CMIOExtensionStream> stream(const std::string& streamID) const;

    // Tells the clients these properties changed; their listeners hear it.
    void notifyPropertiesChanged(const CMIOExtensionPropertyStates& properties);

    // Any client runs any of the streams.
    bool isRunningSomewhere() const;

    // Used by the framework.
    void attachToProvider(std::weak_ptr<CMIOExtensionProvider> provider);
    std::shared_ptr<CMIOExtensionProvider> provider() const;

private:
    CMIOExtensionDevice(std::string localizedName, std::string deviceID, std::optional<std::string> legacyDeviceID,
                        std::shared_ptr<CMIOExtensionDeviceSource> source);

    const std::string localizedName_;
    const std::string deviceID_;
    const std::optional<std::string> legacyDeviceID_;
    const std::weak_ptr<CMIOExtensionDeviceSource> source_;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CMIOExtensionStream>> streams_;
    std::weak_ptr<CMIOExtensionProvider> provider_;
};

}  // namespace velunto

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/coremediaio/CMIOExtensionClient.h"
#include "platform/coremediaio/CMIOExtensionProperties.h"
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/coremediaio/CMIOProviderLink.h"

namespace velunto {

class CMIOExtensionProvider;
class CMIOSocketDiscovery;
struct PropertyAnswer;

// The client side of this process behind the CMIO* functions: the devices and streams of every
// provider it reaches (in this process, or through sockets), their object IDs (never reused), the
// property listeners, and the streams' buffer queues.
class CMIOClientRuntime {
public:
    static CMIOClientRuntime& shared();

    Boolean hasProperty(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address);
    OSStatus getPropertyDataSize(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address, UInt32* dataSize);
    OSStatus getPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address, UInt32 dataSize,
                             UInt32* dataUsed, void* data);
    OSStatus setPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address, UInt32 dataSize,
                             const void* data);
    OSStatus addListener(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address, DispatchQueue queue,
                         CMIOObjectPropertyListenerBlock block, std::uint64_t* outToken);
    OSStatus removeListener(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address, const DispatchQueue& queue,
                            std::uint64_t token);
    OSStatus copyBufferQueue(CMIOStreamID streamID, CMIODeviceStreamQueueAlteredProc proc, void* refCon,
                             std::shared_ptr<CMSimpleQueue>* queue);
    OSStatus startStream(CMIODeviceID deviceID, CMIOStreamID streamID);
    OSStatus stopStream(CMIODeviceID deviceID, CMIOStreamID streamID);

    // This process as clients of providers see it.
    CMIOExtensionClient identity() const { return identity_; }

    // A provider published in this process: reached directly once the client side is in use.
    void providerPublished(const std::shared_ptr<CMIOExtensionProvider>& provider);

    // From the links. A link is attached before its hello, so that no device list gets lost; lists
    // are applied in serial order. A malformed list or event closes the link.
    void attachLink(std::shared_ptr<CMIOProviderLink> link);
    void linkDeviceList(CMIOProviderLink* link, const nlohmann::json& devices, std::uint64_t serial);
    void linkEvent(CMIOProviderLink* link, const nlohmann::json& event);
    void linkSourceFrame(CMIOProviderLink* link, const std::string& streamID, CMSampleBufferRef sampleBuffer);
    // The link's devices vanish ('dev#' and their 'livn' are announced).
    void linkClosed(CMIOProviderLink* link);
    // Says hello over an attached link and applies the reply; false (and the link is closed) on refusal.
    bool greet(const std::shared_ptr<CMIOProviderLink>& link);

private:
    // Starts or stops a stream of the device ("start" / "stop").
    OSStatus controlStream(CMIODeviceID deviceID, CMIOStreamID streamID, const char* op);
    CMIOClientRuntime();
    struct Listener;
    struct Device;
    struct Stream;
    struct SinkShipper;
    struct FormatInfo;
    struct LinkState;

    void activate();
    void openLocalLink(const std::shared_ptr<CMIOExtensionProvider>& provider);
    void notify(CMIOObjectID objectID, std::vector<CMIOObjectPropertyAddress> addresses);
    // Applies a parsed device list; false when it is malformed.
    bool applyDeviceList(CMIOProviderLink* link, const nlohmann::json& devices, std::uint64_t serial);
    void closeLink(CMIOProviderLink* link);

    OSStatus readSystem(const CMIOObjectPropertyAddress& address, PropertyAnswer& answer);
    OSStatus readDevice(const Device& device, const CMIOObjectPropertyAddress& address, PropertyAnswer& answer);
    OSStatus readStream(const Stream& stream, const CMIOObjectPropertyAddress& address, PropertyAnswer& answer);
    OSStatus read(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address, PropertyAnswer& answer);
    std::optional<CMIOExtensionPropertyStates> requestProperties(const std::shared_ptr<CMIOProviderLink>& link,
                                                                 const char* op, const char* key, const std::string& id,
                                                                 const std::set<std::string>& names, OSStatus* status);

    const CMIOExtensionClient identity_;
    std::once_flag activation_;
    std::shared_ptr<CMIOSocketDiscovery> discovery_;

    mutable std::mutex mutex_;
    bool active_ = false;
    CMIOObjectID nextID_ = 2;
    std::uint64_t nextToken_ = 1;
    std::vector<std::shared_ptr<LinkState>> links_;
    std::vector<CMIOObjectID> deviceOrder_;
    std::map<CMIOObjectID, std::shared_ptr<Device>> devices_;
    std::map<CMIOObjectID, std::shared_ptr<Stream>> streams_;
    std::vector<std::shared_ptr<Listener>> listeners_;
};

}  // namespace velunto

#include "app/camera/VirtualCameraClient.h"

#include "platform/corefoundation/CFStringBridge.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "VirtualCamera");
    return logger;
}

bool checkStatus(OSStatus status, const std::string& label) {
    if (status == 0)
        return true;
    log().error("%{public}s failed: OSStatus %d", label, status);
    return false;
}

CMIOObjectPropertyAddress address(CMIOObjectPropertySelector selector) {
    return {selector, kCMIOObjectPropertyScopeGlobal, kCMIOObjectPropertyElementMain};
}

std::vector<UInt32> readUInt32ArrayProperty(CMIOObjectID object, CMIOObjectPropertySelector selector,
                                            const std::string& label) {
    const auto where = address(selector);
    UInt32 size = 0;
    if (!checkStatus(CMIOObjectGetPropertyDataSize(object, &where, 0, nullptr, &size), label + " size") || size < 4)
        return {};
    std::vector<UInt32> values(size / 4, 0);
    UInt32 used = 0;
    if (!checkStatus(CMIOObjectGetPropertyData(object, &where, 0, nullptr, size, &used, values.data()), label))
        return {};
    return values;
}

std::optional<std::string> readStringProperty(CMIOObjectID object, CMIOObjectPropertySelector selector,
                                              const std::string& label) {
    const auto where = address(selector);
    CFStringRef value = nullptr;
    UInt32 used = 0;
    if (!checkStatus(CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value), label))
        return std::nullopt;
    const CFOwned<CFStringRef> owned = CFOwned<CFStringRef>::adopt(value);
    return stringFromCFString(owned.get());
}

// A 32-bit value, or nothing when the read fails (not logged).
std::optional<UInt32> readUInt32(CMIOObjectID object, CMIOObjectPropertySelector selector) {
    const auto where = address(selector);
    UInt32 value = 0;
    UInt32 used = 0;
    if (CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value) != 0)
        return std::nullopt;
    return value;
}

}  // namespace

std::shared_ptr<VirtualCameraClient> VirtualCameraClient::make(DispatchQueue queue) {
    std::shared_ptr<VirtualCameraClient> client(new VirtualCameraClient(std::move(queue)));
    const auto where = address(kCMIOHardwarePropertyDevices);
    std::uint64_t token = 0;
    const OSStatus status = CMIOObjectAddPropertyListenerBlock(
        kCMIOObjectSystemObject, &where, client->queue_,
        [weak = std::weak_ptr<VirtualCameraClient>(client)](UInt32, const CMIOObjectPropertyAddress*) {
            if (const auto self = weak.lock())
                self->devicesChanged();
        },
        &token);
    if (checkStatus(status, "CMIOObjectAddPropertyListenerBlock(kCMIOHardwarePropertyDevices)"))
        client->devicesListener_ = token;
    return client;
}

VirtualCameraClient::VirtualCameraClient(DispatchQueue queue) : queue_(std::move(queue)) {}

VirtualCameraClient::~VirtualCameraClient() {
    if (!devicesListener_)
        return;
    const auto where = address(kCMIOHardwarePropertyDevices);
    checkStatus(CMIOObjectRemovePropertyListenerBlock(kCMIOObjectSystemObject, &where, queue_, *devicesListener_),
                "CMIOObjectRemovePropertyListenerBlock(kCMIOHardwarePropertyDevices)");
}

bool VirtualCameraClient::deviceIsAlive(CMIODeviceID device) const {
    const auto alive = readUInt32(device, kCMIODevicePropertyDeviceIsAlive);
    return alive && *alive != 0;
}

std::optional<CMIODeviceID> VirtualCameraClient::findDevice() {
    for (CMIODeviceID device : readUInt32ArrayProperty(kCMIOObjectSystemObject, kCMIOHardwarePropertyDevices,
                                                       "kCMIOHardwarePropertyDevices")) {
        if (readStringProperty(device, kCMIODevicePropertyDeviceUID, "kCMIODevicePropertyDeviceUID") == kDeviceUID)
            return device;
        if (readStringProperty(device, kCMIOObjectPropertyName, "kCMIOObjectPropertyName") == kDeviceName)
            return device;
    }
    return std::nullopt;
}

bool VirtualCameraClient::connectIfNeeded() {
    if (isConnected() && deviceIsAlive(*deviceID_) && bufferQueue_)
        return true;
    disconnect();
    const auto device = findDevice();
    if (!device)
        return false;
    const auto streams = readUInt32ArrayProperty(*device, kCMIODevicePropertyStreams, "kCMIODevicePropertyStreams");
    if (streams.size() < 2) {
        log().error("Sink-Stream der Velunto Kamera nicht gefunden.");
        return false;
    }
    const CMIOStreamID sink = streams[1];
    std::shared_ptr<CMSimpleQueue> queue;
    if (!checkStatus(CMIOStreamCopyBufferQueue(
                         sink, [](CMIOStreamID, void*, void*) {}, nullptr, &queue),
                     "CMIOStreamCopyBufferQueue") ||
        !queue)
        return false;
    if (!checkStatus(CMIODeviceStartStream(*device, sink), "CMIODeviceStartStream"))
        return false;  // the queue is released here
    deviceID_ = *device;
    sinkStreamID_ = sink;
    bufferQueue_ = std::move(queue);
    log().notice("Mit Velunto Kamera verbunden (Gerät %u, Sink %u).", *device, sink);
    return true;
}

void VirtualCameraClient::disconnect() {
    if (isConnected())
        checkStatus(CMIODeviceStopStream(*deviceID_, *sinkStreamID_), "CMIODeviceStopStream");
    deviceID_.reset();
    sinkStreamID_.reset();
    bufferQueue_.reset();
}

bool VirtualCameraClient::isSourceActive() {
    const auto device = isConnected() ? deviceID_ : findDevice();
    if (!device)
        return false;
    if (const auto value = readStringProperty(*device, kSourceActiveSelector, "vnsa"))
        return *value == "1";
    if (!loggedCustomPropertyFailure_) {
        log().error("Eigenschaft 'vnsa' nicht lesbar, nutze kCMIODevicePropertyDeviceIsRunningSomewhere.");
        loggedCustomPropertyFailure_ = true;
    }
    const auto where = address(kCMIODevicePropertyDeviceIsRunningSomewhere);
    UInt32 running = 0;
    UInt32 used = 0;
    if (!checkStatus(CMIOObjectGetPropertyData(*device, &where, 0, nullptr, sizeof running, &used, &running),
                     "kCMIODevicePropertyDeviceIsRunningSomewhere"))
        return false;
    return running != 0;
}

void VirtualCameraClient::devicesChanged() {
    if (isConnected() && deviceIsAlive(*deviceID_))
        return;
    log().notice("CMIO-Geräteliste geändert, verbinde neu.");
    disconnect();
}

}  // namespace velunto

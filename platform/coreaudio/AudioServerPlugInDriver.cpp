#include "platform/coreaudio/AudioServerPlugInDriver.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/coreaudio/AudioHardwareServer.h"
#include "platform/coreaudio/AudioServerPlugInDevice.h"
#include "platform/coreaudio/AudioServerPlugInObject.h"
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("velunto.platform", "AudioServer");
    return instance;
}

constexpr AudioObjectID kUnknownObject = kAudioObjectUnknown;

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool isObjectList(AudioObjectPropertySelector selector) {
    switch (selector) {
        case kAudioObjectPropertyOwnedObjects:
        case kAudioObjectPropertyControlList:
        case kAudioPlugInPropertyDeviceList:
        case kAudioPlugInPropertyBoxList:
        case kAudioDevicePropertyStreams:
        case kAudioDevicePropertyRelatedDevices:
            return true;
        default:
            return false;
    }
}

bool isObject(AudioObjectPropertySelector selector) {
    return selector == kAudioObjectPropertyOwner || selector == kAudioPlugInPropertyTranslateUIDToDevice;
}

bool isCFValue(AudioObjectPropertySelector selector) {
    switch (selector) {
        case kAudioObjectPropertyName:
        case kAudioObjectPropertyManufacturer:
        case kAudioDevicePropertyDeviceUID:
        case kAudioDevicePropertyModelUID:
        case kAudioPlugInPropertyResourceBundle:
        case kAudioAggregateDevicePropertyFullSubDeviceList:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string describeAudioStatus(OSStatus status) {
    const auto code = static_cast<UInt32>(status);
    char text[7] = {'\'', 0, 0, 0, 0, '\'', 0};
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
        if (c < 0x20 || c > 0x7E)
            return std::to_string(status);
        text[i + 1] = c;
    }
    return text;
}

// The host interface a driver holds; the driver's calls find their way back through `owner`.
struct AudioServerPlugInDriver::HostContext {
    AudioServerPlugInHostInterface interface {};
    AudioServerPlugInDriver* owner = nullptr;

    static AudioServerPlugInDriver* from(AudioServerPlugInHostRef host) {
        return host ? reinterpret_cast<const HostContext*>(host)->owner : nullptr;
    }
};

AudioServerPlugInDriver::AudioServerPlugInDriver(AudioHardwareServer& server, std::filesystem::path bundle,
                                                 void* library, AudioServerPlugInDriverRef driver)
    : server_(server),
      bundle_(std::move(bundle)),
      library_(library),
      driver_(driver),
      host_(std::make_unique<HostContext>()),
      configurationQueue_("velunto.audio.plugin." + bundle_.filename().string()) {
    static_assert(std::is_standard_layout_v<HostContext>);
    host_->owner = this;
    auto& table = host_->interface;
    table.PropertiesChanged = [](AudioServerPlugInHostRef host, AudioObjectID objectID, UInt32 count,
                                 const AudioObjectPropertyAddress* addresses) -> OSStatus {
        auto* self = HostContext::from(host);
        return self ? self->propertiesChanged(objectID, count, addresses) : kAudioHardwareBadObjectError;
    };
    table.CopyFromStorage = [](AudioServerPlugInHostRef host, CFStringRef key, CFTypeRef* data) -> OSStatus {
        auto* self = HostContext::from(host);
        return self ? self->copyFromStorage(key, data) : kAudioHardwareBadObjectError;
    };
    table.WriteToStorage = [](AudioServerPlugInHostRef host, CFStringRef key, CFTypeRef data) -> OSStatus {
        auto* self = HostContext::from(host);
        return self ? self->writeToStorage(key, data) : kAudioHardwareBadObjectError;
    };
    table.DeleteFromStorage = [](AudioServerPlugInHostRef host, CFStringRef key) -> OSStatus {
        auto* self = HostContext::from(host);
        return self ? self->deleteFromStorage(key) : kAudioHardwareBadObjectError;
    };
    table.RequestDeviceConfigurationChange = [](AudioServerPlugInHostRef host, AudioObjectID deviceID, UInt64 action,
                                                void* info) -> OSStatus {
        auto* self = HostContext::from(host);
        return self ? self->requestConfigurationChange(deviceID, action, info) : kAudioHardwareBadObjectError;
    };
}

AudioServerPlugInDriver::~AudioServerPlugInDriver() {
    unload();
}

bool AudioServerPlugInDriver::enter() const {
    if (calls_.fetch_add(1, std::memory_order_acquire) & kClosed) {
        leave();
        return false;
    }
    return true;
}

void AudioServerPlugInDriver::leave() const {
    if (calls_.fetch_sub(1, std::memory_order_release) == (kClosed | 1))
        calls_.notify_all();
}

OSStatus AudioServerPlugInDriver::start(std::string& reason) {
    {
        Call call(*this);
        if (OSStatus status = functions().Initialize(driver_, &host_->interface); status != kAudioHardwareNoError) {
            reason = "Initialize failed with status " + describeAudioStatus(status);
            return status;
        }
    }
    plugInID_ = mapObject(kAudioObjectPlugInObject);
    server_.publishObject(std::make_shared<AudioServerPlugInObject>(
        plugInID_, kAudioPlugInClassID, kAudioObjectSystemObject, shared_from_this(), kAudioObjectPlugInObject));
    const auto devices = readIDList(kAudioObjectPlugInObject, kAudioPlugInPropertyDeviceList);
    if (!devices) {
        reason = "the plug-in object does not list its devices";
        return kAudioHardwareUnknownPropertyError;
    }
    for (AudioObjectID device : *devices)
        publishDevice(device);
    return kAudioHardwareNoError;
}

void AudioServerPlugInDriver::publishDevice(AudioObjectID driverDeviceID) {
    const auto uid = readString(driverDeviceID, kAudioDevicePropertyDeviceUID);
    if (!uid) {
        logger().error("Driver %{public}s: device %u has no UID; it is not published", bundle_.string(),
                       driverDeviceID);
        return;
    }
    const AudioObjectID deviceID = mapObject(driverDeviceID);
    std::vector<AudioServerPlugInStream> streams;
    for (AudioObjectID stream :
         readIDList(driverDeviceID, kAudioDevicePropertyStreams).value_or(std::vector<AudioObjectID>{})) {
        const auto direction = read<UInt32>(stream, globalAddress(kAudioStreamPropertyDirection));
        if (!direction) {
            logger().error("Driver %{public}s: stream %u has no direction; it is left out", bundle_.string(), stream);
            continue;
        }
        streams.push_back({mapObject(stream), stream, *direction != 0});
    }
    auto self = shared_from_this();
    for (const auto& stream : streams) {
        server_.publishObject(std::make_shared<AudioServerPlugInObject>(stream.serverID, kAudioStreamClassID, deviceID,
                                                                        self, stream.driverID));
        std::lock_guard lock(mutex_);
        streams_.push_back(stream.serverID);
    }
    auto device =
        std::make_shared<AudioServerPlugInDevice>(deviceID, plugInID_, self, driverDeviceID, *uid, std::move(streams));
    {
        std::lock_guard lock(mutex_);
        devices_.push_back({deviceID, driverDeviceID, device});
    }
    server_.publishDevice(std::move(device));
}

void AudioServerPlugInDriver::unload() {
    std::vector<PublishedDevice> devices;
    std::vector<AudioObjectID> streams;
    {
        std::lock_guard lock(mutex_);
        if (unloaded_)
            return;
        unloaded_ = true;
        devices = devices_;
        streams = streams_;
    }
    for (const auto& device : devices)
        server_.withdrawDevice(device.serverID);
    for (AudioObjectID stream : streams)
        server_.withdrawObject(stream);
    if (plugInID_ != kAudioObjectUnknown)
        server_.withdrawObject(plugInID_);

    calls_.fetch_or(kClosed);
    for (auto value = calls_.load(); value != kClosed; value = calls_.load())
        calls_.wait(value);

    std::vector<PendingChange> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pendingChanges_);
    }
    const auto& table = functions();
    for (const auto& change : pending)
        if (table.AbortDeviceConfigurationChange)
            table.AbortDeviceConfigurationChange(driver_, change.device, change.action, change.info);
    table.Release(driver_);

    std::map<std::string, CFTypeRef> storage;
    {
        std::lock_guard lock(mutex_);
        storage.swap(storage_);
    }
    for (const auto& [key, value] : storage)
        CFRelease(value);
    if (library_)
        dlclose(library_);
    library_ = nullptr;
}

std::vector<AudioObjectID> AudioServerPlugInDriver::deviceIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    if (unloaded_)
        return ids;
    for (const auto& device : devices_)
        ids.push_back(device.serverID);
    return ids;
}

AudioObjectID AudioServerPlugInDriver::mapObject(AudioObjectID driverObjectID) {
    const AudioObjectID id = server_.makeObjectID();
    std::lock_guard lock(mutex_);
    toServer_[driverObjectID] = id;
    toDriver_[id] = driverObjectID;
    return id;
}

AudioObjectID AudioServerPlugInDriver::serverID(AudioObjectID driverObjectID) const {
    std::lock_guard lock(mutex_);
    auto it = toServer_.find(driverObjectID);
    return unloaded_ || it == toServer_.end() ? kUnknownObject : it->second;
}

AudioObjectID AudioServerPlugInDriver::driverID(AudioObjectID serverObjectID) const {
    std::lock_guard lock(mutex_);
    auto it = toDriver_.find(serverObjectID);
    return unloaded_ || it == toDriver_.end() ? kUnknownObject : it->second;
}

std::size_t AudioServerPlugInDriver::readRaw(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address,
                                             void* data, std::size_t size) const {
    Call call(*this);
    if (!call)
        return 0;
    UInt32 written = 0;
    const OSStatus status = functions().GetPropertyData(driver_, driverObjectID, getpid(), &address, 0, nullptr,
                                                        static_cast<UInt32>(size), &written, data);
    return status == kAudioHardwareNoError ? std::min<std::size_t>(written, size) : 0;
}

std::optional<std::vector<AudioObjectID>> AudioServerPlugInDriver::readIDList(
    AudioObjectID driverObjectID, AudioObjectPropertySelector selector) const {
    Call call(*this);
    if (!call)
        return std::nullopt;
    const auto address = globalAddress(selector);
    UInt32 size = 0;
    if (functions().GetPropertyDataSize(driver_, driverObjectID, getpid(), &address, 0, nullptr, &size) !=
        kAudioHardwareNoError)
        return std::nullopt;
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    UInt32 written = 0;
    if (functions().GetPropertyData(driver_, driverObjectID, getpid(), &address, 0, nullptr,
                                    static_cast<UInt32>(ids.size() * sizeof(AudioObjectID)), &written,
                                    ids.data()) != kAudioHardwareNoError)
        return std::nullopt;
    ids.resize(std::min<std::size_t>(ids.size(), written / sizeof(AudioObjectID)));
    return ids;
}

std::optional<std::string> AudioServerPlugInDriver::readString(AudioObjectID driverObjectID,
                                                               AudioObjectPropertySelector selector) const {
    const auto value = read<CFStringRef>(driverObjectID, globalAddress(selector));
    return value ? stringFromCFString(*value) : std::nullopt;  // the driver keeps its reference
}

bool AudioServerPlugInDriver::hasProperty(AudioObjectID driverObjectID,
                                          const AudioObjectPropertyAddress& address) const {
    Call call(*this);
    return call && functions().HasProperty(driver_, driverObjectID, getpid(), &address);
}

OSStatus AudioServerPlugInDriver::readProperty(AudioObjectID driverObjectID, AudioPropertyRequest& request) const {
    Call call(*this);
    if (!call)
        return kAudioHardwareBadObjectError;
    const auto& table = functions();
    const pid_t pid = getpid();
    if (request.sizeMode()) {
        if (!table.HasProperty(driver_, driverObjectID, pid, &request.address))
            return kAudioHardwareUnknownPropertyError;
        UInt32 size = 0;
        const OSStatus status = table.GetPropertyDataSize(driver_, driverObjectID, pid, &request.address,
                                                          request.qualifierSize, request.qualifier, &size);
        if (status == kAudioHardwareNoError)
            request.size = size;
        return status;
    }
    UInt32 written = 0;
    const OSStatus status = table.GetPropertyData(driver_, driverObjectID, pid, &request.address, request.qualifierSize,
                                                  request.qualifier, request.capacity, &written, request.data);
    if (status != kAudioHardwareNoError)
        return status;
    written = std::min(written, request.capacity);
    const AudioObjectPropertySelector selector = request.address.mSelector;
    if (isObjectList(selector) || isObject(selector)) {
        written = translateResult(selector, request.data, written);
    } else if (isCFValue(selector) && written >= sizeof(CFTypeRef)) {
        CFTypeRef value = nullptr;
        std::memcpy(&value, request.data, sizeof value);
        if (value)
            CFRetain(value);  // the caller releases it
    }
    request.size = written;
    return kAudioHardwareNoError;
}

UInt32 AudioServerPlugInDriver::translateResult(AudioObjectPropertySelector selector, void* data, UInt32 size) const {
    auto* bytes = static_cast<unsigned char*>(data);
    const UInt32 count = size / sizeof(AudioObjectID);
    UInt32 kept = 0;
    std::lock_guard lock(mutex_);
    for (UInt32 i = 0; i < count; ++i) {
        AudioObjectID id;
        std::memcpy(&id, bytes + i * sizeof id, sizeof id);
        auto it = toServer_.find(id);
        if (it == toServer_.end() && isObjectList(selector))
            continue;
        const AudioObjectID translated = it == toServer_.end() ? kUnknownObject : it->second;
        std::memcpy(bytes + kept++ * sizeof id, &translated, sizeof id);
    }
    return kept * static_cast<UInt32>(sizeof(AudioObjectID));
}

bool AudioServerPlugInDriver::isPropertySettable(AudioObjectID driverObjectID,
                                                 const AudioObjectPropertyAddress& address) const {
    Call call(*this);
    if (!call)
        return false;
    Boolean settable = false;
    return functions().IsPropertySettable(driver_, driverObjectID, getpid(), &address, &settable) ==
               kAudioHardwareNoError &&
           settable;
}

OSStatus AudioServerPlugInDriver::writeProperty(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address,
                                                UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                                                const void* data) {
    Call call(*this);
    if (!call)
        return kAudioHardwareBadObjectError;
    if (!functions().SetPropertyData)
        return kAudioHardwareUnsupportedOperationError;
    return functions().SetPropertyData(driver_, driverObjectID, getpid(), &address, qualifierSize, qualifier, dataSize,
                                       data);
}

OSStatus AudioServerPlugInDriver::propertiesChanged(AudioObjectID driverObjectID, UInt32 count,
                                                    const AudioObjectPropertyAddress* addresses) {
    if (count > 0 && !addresses)
        return kAudioHardwareIllegalOperationError;
    const AudioObjectID id = serverID(driverObjectID);
    if (id == kAudioObjectUnknown)
        return kAudioHardwareBadObjectError;
    if (count > 0)
        server_.propertiesChanged(id, {addresses, count});
    return kAudioHardwareNoError;
}

OSStatus AudioServerPlugInDriver::copyFromStorage(CFStringRef key, CFTypeRef* data) {
    if (!data)
        return kAudioHardwareIllegalOperationError;
    *data = nullptr;
    const auto name = stringFromCFString(key);
    if (!name)
        return kAudioHardwareIllegalOperationError;
    std::lock_guard lock(mutex_);
    auto it = storage_.find(*name);
    if (it == storage_.end())
        return kAudioHardwareUnknownPropertyError;
    *data = CFRetain(it->second);
    return kAudioHardwareNoError;
}

OSStatus AudioServerPlugInDriver::writeToStorage(CFStringRef key, CFTypeRef data) {
    const auto name = stringFromCFString(key);
    if (!name || !data)
        return kAudioHardwareIllegalOperationError;
    CFTypeRef replaced = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (unloaded_)
            return kAudioHardwareBadObjectError;
        CFTypeRef& slot = storage_[*name];
        replaced = slot;
        slot = CFRetain(data);
    }
    if (replaced)
        CFRelease(replaced);
    return kAudioHardwareNoError;
}

OSStatus AudioServerPlugInDriver::deleteFromStorage(CFStringRef key) {
    const auto name = stringFromCFString(key);
    if (!name)
        return kAudioHardwareIllegalOperationError;
    CFTypeRef removed = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = storage_.find(*name);
        if (it == storage_.end())
            return kAudioHardwareNoError;
        removed = it->second;
        storage_.erase(it);
    }
    CFRelease(removed);
    return kAudioHardwareNoError;
}

OSStatus AudioServerPlugInDriver::requestConfigurationChange(AudioObjectID driverDeviceID, UInt64 action, void* info) {
    std::lock_guard lock(mutex_);
    if (unloaded_)
        return kAudioHardwareBadObjectError;
    const bool known = std::any_of(devices_.begin(), devices_.end(),
                                   [&](const PublishedDevice& device) { return device.driverID == driverDeviceID; });
    if (!known)
        return kAudioHardwareBadDeviceError;
    const std::uint64_t token = nextChangeToken_++;
    pendingChanges_.push_back({token, driverDeviceID, action, info});
    configurationQueue_.async([weak = weak_from_this(), token] {
        if (auto self = weak.lock())
            self->performConfigurationChange(token);
    });
    return kAudioHardwareNoError;
}

void AudioServerPlugInDriver::performConfigurationChange(std::uint64_t token) {
    Call call(*this);
    if (!call)
        return;  // unloading aborts what is still pending
    PendingChange change{};
    std::shared_ptr<AudioServerPlugInDevice> device;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(pendingChanges_.begin(), pendingChanges_.end(),
                               [&](const PendingChange& pending) { return pending.token == token; });
        if (it == pendingChanges_.end())
            return;
        change = *it;
        pendingChanges_.erase(it);
        for (const auto& published : devices_)
            if (published.driverID == change.device)
                device = published.proxy.lock();
    }
    if (device) {
        device->performConfigurationChange(change.action, change.info);
    } else if (functions().AbortDeviceConfigurationChange) {
        functions().AbortDeviceConfigurationChange(driver_, change.device, change.action, change.info);
    }
}

}  // namespace velunto

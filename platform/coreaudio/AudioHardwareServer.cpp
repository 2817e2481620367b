#include "platform/coreaudio/AudioHardwareServer.h"

#include <algorithm>
#include <atomic>

#include "platform/corefoundation/CFStringBridge.h"

namespace velunto {

struct AudioHardwareServer::Listener {
    AudioObjectID objectID;
    AudioObjectPropertyAddress address;
    std::optional<DispatchQueue> queue;
    AudioObjectPropertyListenerBlock block;
    std::atomic<bool> active{true};
};

namespace {

bool matches(UInt32 registered, UInt32 changed, UInt32 wildcard) {
    return registered == wildcard || changed == wildcard || registered == changed;
}

bool matches(const AudioObjectPropertyAddress& registered, const AudioObjectPropertyAddress& changed) {
    return matches(registered.mSelector, changed.mSelector, kAudioObjectPropertySelectorWildcard) &&
           matches(registered.mScope, changed.mScope, kAudioObjectPropertyScopeWildcard) &&
           matches(registered.mElement, changed.mElement, kAudioObjectPropertyElementWildcard);
}

bool sameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

}  // namespace

// Object 1: the device list, the default devices and the UID translation.
class AudioHardwareServer::SystemObject : public AudioHardwareObject {
public:
    explicit SystemObject(AudioHardwareServer& server)
        : AudioHardwareObject(kAudioObjectSystemObject, kAudioSystemObjectClassID, kAudioObjectUnknown),
          server_(server) {}

    OSStatus readProperty(AudioPropertyRequest& request) const override {
        switch (request.address.mSelector) {
            case kAudioHardwarePropertyDevices: {
                const auto ids = server_.deviceIDs();
                return request.answerArray<AudioObjectID>(ids);
            }
            case kAudioHardwarePropertyDefaultInputDevice:
            case kAudioHardwarePropertyDefaultOutputDevice:
                return request.answer<AudioObjectID>(server_.defaultDevice(request.address.mSelector));
            case kAudioHardwarePropertyTranslateUIDToDevice:
                return translate(request);
            case kAudioObjectPropertyName:
                return request.answerString("Audio Hardware");
            default:
                return AudioHardwareObject::readProperty(request);
        }
    }

    bool isPropertySettable(const AudioObjectPropertyAddress& address) const override {
        return address.mSelector == kAudioHardwarePropertyDefaultInputDevice ||
               address.mSelector == kAudioHardwarePropertyDefaultOutputDevice;
    }

    OSStatus writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize, const void* qualifier,
                           UInt32 dataSize, const void* data) override {
        if (!isPropertySettable(address))
            return AudioHardwareObject::writeProperty(address, qualifierSize, qualifier, dataSize, data);
        if (dataSize != sizeof(AudioObjectID))
            return kAudioHardwareBadPropertySizeError;
        AudioObjectID deviceID;
        std::memcpy(&deviceID, data, sizeof deviceID);
        return server_.setDefaultDevice(address.mSelector, deviceID);
    }

private:
    OSStatus translate(AudioPropertyRequest& request) const {
        if (request.sizeMode()) {
            request.size = sizeof(AudioObjectID);
            return kAudioHardwareNoError;
        }
        if (request.qualifierSize != sizeof(CFStringRef) || !request.qualifier)
            return kAudioHardwareBadPropertySizeError;
        if (request.capacity < sizeof(AudioObjectID))
            return kAudioHardwareBadPropertySizeError;
        CFStringRef uidRef;
        std::memcpy(&uidRef, request.qualifier, sizeof uidRef);
        if (uidRef && CFGetTypeID(uidRef) != CFStringGetTypeID())
            return kAudioHardwareIllegalOperationError;
        AudioObjectID found = kAudioObjectUnknown;
        if (const auto uid = stringFromCFString(uidRef)) {
            for (AudioObjectID id : server_.deviceIDs()) {
                auto device = server_.device(id);
                if (device && device->uid() == *uid) {
                    found = id;
                    break;
                }
            }
        }
        return request.answer(found);
    }

    AudioHardwareServer& server_;
};

AudioHardwareServer& AudioHardwareServer::shared() {
    static AudioHardwareServer* server = new AudioHardwareServer();  // never destroyed: device threads may outlive main
    return *server;
}

AudioHardwareServer::AudioHardwareServer() : system_(std::make_shared<SystemObject>(*this)) {}

AudioObjectID AudioHardwareServer::makeObjectID() {
    std::lock_guard lock(mutex_);
    return nextID_++;
}

void AudioHardwareServer::publishDevice(std::shared_ptr<AudioHardwareDevice> device) {
    std::vector<AudioObjectPropertyAddress> changes{globalAddress(kAudioHardwarePropertyDevices)};
    {
        std::lock_guard lock(mutex_);
        const AudioObjectID id = device->objectID();
        objects_[id] = device;
        devices_.push_back(id);
        if (defaultInput_ == kAudioObjectUnknown && canBeDefault(*device, kAudioHardwarePropertyDefaultInputDevice)) {
            defaultInput_ = id;
            changes.push_back(globalAddress(kAudioHardwarePropertyDefaultInputDevice));
        }
        if (defaultOutput_ == kAudioObjectUnknown && canBeDefault(*device, kAudioHardwarePropertyDefaultOutputDevice)) {
            defaultOutput_ = id;
            changes.push_back(globalAddress(kAudioHardwarePropertyDefaultOutputDevice));
        }
    }
    for (const auto& change : changes)
        propertiesChanged(kAudioObjectSystemObject, {&change, 1});
}

void AudioHardwareServer::publishObject(std::shared_ptr<AudioHardwareObject> object) {
    std::lock_guard lock(mutex_);
    objects_[object->objectID()] = std::move(object);
}

void AudioHardwareServer::withdrawDevice(AudioObjectID deviceID) {
    std::shared_ptr<AudioDeviceIOEngine> engine;
    std::vector<AudioObjectPropertyAddress> changes{globalAddress(kAudioHardwarePropertyDevices)};
    {
        std::lock_guard lock(mutex_);
        if (std::find(devices_.begin(), devices_.end(), deviceID) == devices_.end())
            return;
        std::erase(devices_, deviceID);
        objects_.erase(deviceID);
        if (auto it = engines_.find(deviceID); it != engines_.end()) {
            engine = it->second;
            engines_.erase(it);
        }
        if (defaultInput_ == deviceID) {
            defaultInput_ = firstCandidate(kAudioHardwarePropertyDefaultInputDevice, deviceID);
            changes.push_back(globalAddress(kAudioHardwarePropertyDefaultInputDevice));
        }
        if (defaultOutput_ == deviceID) {
            defaultOutput_ = firstCandidate(kAudioHardwarePropertyDefaultOutputDevice, deviceID);
            changes.push_back(globalAddress(kAudioHardwarePropertyDefaultOutputDevice));
        }
    }
    if (engine)
        engine->shutdown();
    const auto alive = globalAddress(kAudioDevicePropertyDeviceIsAlive);
    propertiesChanged(deviceID, {&alive, 1});
    for (const auto& change : changes)
        propertiesChanged(kAudioObjectSystemObject, {&change, 1});
}

void AudioHardwareServer::withdrawObject(AudioObjectID objectID) {
    std::lock_guard lock(mutex_);
    objects_.erase(objectID);
}

std::shared_ptr<AudioHardwareObject> AudioHardwareServer::object(AudioObjectID objectID) const {
    if (objectID == kAudioObjectSystemObject)
        return system_;
    std::lock_guard lock(mutex_);
    auto it = objects_.find(objectID);
    return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<AudioHardwareDevice> AudioHardwareServer::device(AudioObjectID objectID) const {
    std::lock_guard lock(mutex_);
    if (std::find(devices_.begin(), devices_.end(), objectID) == devices_.end())
        return nullptr;
    return std::static_pointer_cast<AudioHardwareDevice>(objects_.at(objectID));
}

std::vector<AudioObjectID> AudioHardwareServer::deviceIDs() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

AudioObjectID AudioHardwareServer::defaultDevice(AudioObjectPropertySelector which) const {
    std::lock_guard lock(mutex_);
    return which == kAudioHardwarePropertyDefaultInputDevice ? defaultInput_ : defaultOutput_;
}

OSStatus AudioHardwareServer::setDefaultDevice(AudioObjectPropertySelector which, AudioObjectID deviceID) {
    {
        std::lock_guard lock(mutex_);
        if (std::find(devices_.begin(), devices_.end(), deviceID) == devices_.end())
            return kAudioHardwareIllegalOperationError;
        const auto& device = static_cast<const AudioHardwareDevice&>(*objects_.at(deviceID));
        if (!canBeDefault(device, which))
            return kAudioHardwareIllegalOperationError;
        AudioObjectID& current = which == kAudioHardwarePropertyDefaultInputDevice ? defaultInput_ : defaultOutput_;
        if (current == deviceID)
            return kAudioHardwareNoError;
        current = deviceID;
    }
    const auto change = globalAddress(which);
    propertiesChanged(kAudioObjectSystemObject, {&change, 1});
    return kAudioHardwareNoError;
}

bool AudioHardwareServer::canBeDefault(const AudioHardwareDevice& device, AudioObjectPropertySelector which) const {
    if (device.isHidden())
        return false;
    const AudioDeviceIOLayout layout = device.ioLayout();
    return which == kAudioHardwarePropertyDefaultInputDevice ? !layout.inputStreams.empty()
                                                             : !layout.outputStreams.empty();
}

AudioObjectID AudioHardwareServer::firstCandidate(AudioObjectPropertySelector which, AudioObjectID excluding) const {
    for (AudioObjectID id : devices_) {
        if (id == excluding)
            continue;
        const auto& device = static_cast<const AudioHardwareDevice&>(*objects_.at(id));
        if (device.isAlive() && canBeDefault(device, which))
            return id;
    }
    return kAudioObjectUnknown;
}

void AudioHardwareServer::propertiesChanged(AudioObjectID objectID,
                                            std::span<const AudioObjectPropertyAddress> addresses) {
    std::vector<std::pair<std::shared_ptr<Listener>, std::vector<AudioObjectPropertyAddress>>> hits;
    {
        std::lock_guard lock(mutex_);
        for (const auto& listener : listeners_) {
            if (listener->objectID != objectID)
                continue;
            std::vector<AudioObjectPropertyAddress> matched;
            for (const auto& address : addresses)
                if (matches(listener->address, address))
                    matched.push_back(address);
            if (!matched.empty())
                hits.emplace_back(listener, std::move(matched));
        }
    }
    for (auto& hit : hits) {
        const auto& listener = hit.first;
        auto deliver = [listener, matched = std::move(hit.second)] {
            if (listener->active.load(std::memory_order_acquire))
                (*listener->block)(static_cast<UInt32>(matched.size()), matched.data());
        };
        if (listener->queue)
            listener->queue->async(std::move(deliver));
        else
            deliver();
    }
}

OSStatus AudioHardwareServer::addListener(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                          std::optional<DispatchQueue> queue, AudioObjectPropertyListenerBlock block) {
    if (!block || !*block)
        return kAudioHardwareIllegalOperationError;
    if (!object(objectID))
        return kAudioHardwareBadObjectError;
    auto listener = std::make_shared<Listener>();
    listener->objectID = objectID;
    listener->address = address;
    listener->queue = std::move(queue);
    listener->block = std::move(block);
    std::lock_guard lock(mutex_);
    listeners_.push_back(std::move(listener));
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareServer::removeListener(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                                             const std::optional<DispatchQueue>& queue,
                                             const AudioObjectPropertyListenerBlock& block) {
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const auto& l) {
            return l->objectID == objectID && sameAddress(l->address, address) && l->queue == queue &&
                   l->block == block;
        });
        if (it != listeners_.end()) {
            (*it)->active.store(false, std::memory_order_release);
            listeners_.erase(it);
            return kAudioHardwareNoError;
        }
    }
    return object(objectID) ? kAudioHardwareIllegalOperationError : kAudioHardwareBadObjectError;
}

std::shared_ptr<AudioDeviceIOEngine> AudioHardwareServer::engineFor(AudioObjectID deviceID) {
    std::lock_guard lock(mutex_);
    if (auto it = engines_.find(deviceID); it != engines_.end())
        return it->second;
    if (std::find(devices_.begin(), devices_.end(), deviceID) == devices_.end())
        return nullptr;
    auto engine =
        std::make_shared<AudioDeviceIOEngine>(std::static_pointer_cast<AudioHardwareDevice>(objects_.at(deviceID)));
    engines_[deviceID] = engine;
    return engine;
}

OSStatus AudioHardwareServer::createIOProc(AudioObjectID deviceID, AudioDeviceIOProc proc, void* clientData,
                                           AudioDeviceIOProcID* out) {
    if (!proc || !out)
        return kAudioHardwareIllegalOperationError;
    if (!device(deviceID))
        return kAudioHardwareBadObjectError;
    auto record = std::make_unique<AudioDeviceIOProcRecord>();
    record->device = deviceID;
    record->proc = proc;
    record->clientData = clientData;
    std::lock_guard lock(mutex_);
    *out = reinterpret_cast<AudioDeviceIOProcID>(record.get());
    procs_[record.get()] = std::move(record);
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareServer::destroyIOProc(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    if (OSStatus status = stopIOProc(deviceID, procID); status != kAudioHardwareNoError)
        return status;
    std::lock_guard lock(mutex_);
    procs_.erase(reinterpret_cast<AudioDeviceIOProcRecord*>(procID));
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareServer::startIOProc(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    AudioDeviceIOProcRecord* record = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = procs_.find(reinterpret_cast<AudioDeviceIOProcRecord*>(procID));
        if (it == procs_.end() || it->second->device != deviceID)
            return kAudioHardwareIllegalOperationError;
        record = it->second.get();
    }
    auto engine = engineFor(deviceID);
    if (!engine)
        return kAudioHardwareBadObjectError;
    return engine->start(*record);
}

OSStatus AudioHardwareServer::stopIOProc(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    AudioDeviceIOProcRecord* record = nullptr;
    std::shared_ptr<AudioDeviceIOEngine> engine;
    {
        std::lock_guard lock(mutex_);
        auto it = procs_.find(reinterpret_cast<AudioDeviceIOProcRecord*>(procID));
        if (it == procs_.end() || it->second->device != deviceID)
            return kAudioHardwareIllegalOperationError;
        record = it->second.get();
        if (auto e = engines_.find(deviceID); e != engines_.end())
            engine = e->second;
    }
    if (engine)
        engine->stop(*record);  // a withdrawn device's procs were stopped by its shutdown
    return kAudioHardwareNoError;
}

std::uint64_t AudioHardwareServer::ioCycleCount(AudioObjectID deviceID) const {
    std::shared_ptr<AudioDeviceIOEngine> engine;
    {
        std::lock_guard lock(mutex_);
        if (auto it = engines_.find(deviceID); it != engines_.end())
            engine = it->second;
    }
    return engine ? engine->cycleCount() : 0;
}

}  // namespace velunto

#include "platform/audiounit/AudioComponentRegistry.h"

#include <utility>

#include "platform/audiounit/HALOutputUnit.h"

struct OpaqueAudioComponent {
    AudioComponentDescription description;
    std::string name;
    std::string manufacturerName;
    velunto::AudioUnitFactory factory;
    bool registered = true;
};

struct ComponentInstanceRecord {
    std::shared_ptr<velunto::AudioUnitBase> unit;
};

namespace velunto {

namespace {

bool matches(const AudioComponentDescription& component, const AudioComponentDescription& search) {
    const auto field = [](OSType wanted, OSType actual) { return wanted == 0 || wanted == actual; };
    return field(search.componentType, component.componentType) &&
           field(search.componentSubType, component.componentSubType) &&
           field(search.componentManufacturer, component.componentManufacturer) &&
           (search.componentFlags & search.componentFlagsMask) ==
               (component.componentFlags & search.componentFlagsMask);
}

}  // namespace

AudioComponentRegistry& AudioComponentRegistry::shared() {
    // Never destroyed: instances may outlive static destruction order.
    static auto* registry = new AudioComponentRegistry();
    return *registry;
}

AudioComponentRegistry::AudioComponentRegistry() {
    registerHALOutputLocked();
}

AudioComponentRegistry::~AudioComponentRegistry() = default;

AudioComponent AudioComponentRegistry::registerComponent(const AudioComponentDescription& description, std::string name,
                                                         AudioUnitFactory factory) {
    return registerComponent(description, std::move(name), std::string(), std::move(factory));
}

AudioComponent AudioComponentRegistry::registerComponent(const AudioComponentDescription& description, std::string name,
                                                         std::string manufacturerName, AudioUnitFactory factory) {
    std::lock_guard lock(mutex_);
    components_.push_back(std::make_unique<OpaqueAudioComponent>(
        OpaqueAudioComponent{description, std::move(name), std::move(manufacturerName), std::move(factory), true}));
    return components_.back().get();
}

bool AudioComponentRegistry::unregisterComponent(AudioComponent component) {
    std::lock_guard lock(mutex_);
    if (findLocked(component) == nullptr) {
        return false;
    }
    component->registered = false;
    if (component == halOutput_) {
        halOutput_ = nullptr;
    }
    return true;
}

AudioComponent AudioComponentRegistry::halOutputComponent() const {
    std::lock_guard lock(mutex_);
    return halOutput_;
}

AudioComponent AudioComponentRegistry::registerHALOutput() {
    std::lock_guard lock(mutex_);
    return halOutput_ != nullptr ? halOutput_ : registerHALOutputLocked();
}

AudioComponent AudioComponentRegistry::registerHALOutputLocked() {
    const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                                kAudioUnitManufacturer_Apple, 0, 0};
    components_.push_back(std::make_unique<OpaqueAudioComponent>(OpaqueAudioComponent{
        description, "Apple: AUHAL", "Apple", [] { return std::make_unique<HALOutputUnit>(); }, true}));
    halOutput_ = components_.back().get();
    return halOutput_;
}

AudioComponent AudioComponentRegistry::findNext(AudioComponent after,
                                                const AudioComponentDescription* description) const {
    std::lock_guard lock(mutex_);
    auto it = components_.begin();
    if (after != nullptr) {
        while (it != components_.end() && it->get() != after) {
            ++it;
        }
        if (it == components_.end()) {
            return nullptr;
        }
        ++it;
    }
    for (; it != components_.end(); ++it) {
        if ((*it)->registered && (description == nullptr || matches((*it)->description, *description))) {
            return it->get();
        }
    }
    return nullptr;
}

bool AudioComponentRegistry::description(AudioComponent component, AudioComponentDescription* outDescription) const {
    std::lock_guard lock(mutex_);
    const OpaqueAudioComponent* record = findLocked(component);
    if (record == nullptr || outDescription == nullptr) {
        return false;
    }
    *outDescription = record->description;
    return true;
}

std::string AudioComponentRegistry::name(AudioComponent component) const {
    std::lock_guard lock(mutex_);
    const OpaqueAudioComponent* record = findLocked(component);
    return record != nullptr ? record->name : std::string();
}

std::string AudioComponentRegistry::manufacturerName(AudioComponent component) const {
    std::lock_guard lock(mutex_);
    const OpaqueAudioComponent* record = findLocked(component);
    if (record == nullptr) {
        return {};
    }
    if (!record->manufacturerName.empty()) {
        return record->manufacturerName;
    }
    const std::size_t colon = record->name.find(": ");
    return colon == std::string::npos ? std::string() : record->name.substr(0, colon);
}

OSStatus AudioComponentRegistry::newInstance(AudioComponent component, AudioComponentInstance* outInstance) {
    if (outInstance == nullptr) {
        return kAudioUnitErr_InvalidParameter;
    }
    *outInstance = nullptr;
    AudioUnitFactory factory;
    {
        std::lock_guard lock(mutex_);
        const OpaqueAudioComponent* record = findLocked(component);
        if (record == nullptr || !record->registered) {
            return kAudioUnitErr_InvalidParameter;
        }
        factory = record->factory;
    }
    std::shared_ptr<AudioUnitBase> unit = factory ? factory() : nullptr;
    if (!unit) {
        return kAudioUnitErr_FailedInitialization;
    }
    auto record = std::make_unique<ComponentInstanceRecord>(ComponentInstanceRecord{std::move(unit)});
    AudioComponentInstance instance = record.get();
    std::lock_guard lock(mutex_);
    instances_.emplace(instance, std::move(record));
    *outInstance = instance;
    return noErr;
}

AudioComponentInstance AudioComponentRegistry::adopt(std::unique_ptr<AudioUnitBase> unit) {
    if (!unit) {
        return nullptr;
    }
    auto record = std::make_unique<ComponentInstanceRecord>(ComponentInstanceRecord{std::move(unit)});
    AudioComponentInstance instance = record.get();
    std::lock_guard lock(mutex_);
    instances_.emplace(instance, std::move(record));
    return instance;
}

OSStatus AudioComponentRegistry::disposeInstance(AudioComponentInstance instance) {
    if (instance == nullptr) {
        return kAudioUnitErr_InvalidParameter;
    }
    std::unique_ptr<ComponentInstanceRecord> record;
    {
        std::lock_guard lock(mutex_);
        auto it = instances_.find(instance);
        if (it == instances_.end()) {
            return kAudioComponentErr_InstanceInvalidated;
        }
        record = std::move(it->second);
        instances_.erase(it);
    }
    record->unit->uninitialize();
    return noErr;
}

std::shared_ptr<AudioUnitBase> AudioComponentRegistry::unit(AudioComponentInstance instance, OSStatus* status) const {
    OSStatus result = noErr;
    std::shared_ptr<AudioUnitBase> found;
    if (instance == nullptr) {
        result = kAudioUnitErr_InvalidParameter;
    } else {
        std::lock_guard lock(mutex_);
        auto it = instances_.find(instance);
        if (it == instances_.end()) {
            result = kAudioComponentErr_InstanceInvalidated;
        } else {
            found = it->second->unit;
        }
    }
    if (status != nullptr) {
        *status = result;
    }
    return found;
}

std::size_t AudioComponentRegistry::instanceCount() const {
    std::lock_guard lock(mutex_);
    return instances_.size();
}

const OpaqueAudioComponent* AudioComponentRegistry::findLocked(AudioComponent component) const {
    for (const auto& record : components_) {
        if (record.get() == component) {
            return record.get();
        }
    }
    return nullptr;
}

}  // namespace velunto

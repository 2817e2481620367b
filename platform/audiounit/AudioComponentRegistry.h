#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/audiounit/AudioUnitBase.h"

namespace velunto {

using AudioUnitFactory = std::function<std::unique_ptr<AudioUnitBase>()>;

// The process's audio components, in registration order, and the instances made from them. The
// hardware-output unit ('auou' 'ahal' 'appl', flags 0) is registered when the registry is first used.
// Component handles stay valid for the life of the process, also after they are unregistered.
class AudioComponentRegistry {
public:
    static AudioComponentRegistry& shared();

    // Adds a component after every registered one. The handle is also the token for unregistering.
    AudioComponent registerComponent(const AudioComponentDescription& description, std::string name,
                                     AudioUnitFactory factory);
    // The same with the vendor's display name, which manufacturerName() answers.
    AudioComponent registerComponent(const AudioComponentDescription& description, std::string name,
                                     std::string manufacturerName, AudioUnitFactory factory);
    // The component is no longer found and makes no new instances; its instances keep working.
    bool unregisterComponent(AudioComponent component);
    // The registered hardware-output component, or NULL while it is unregistered.
    AudioComponent halOutputComponent() const;
    // Registers the hardware-output unit again (last in order) if it was unregistered.
    AudioComponent registerHALOutput();

    // The next registered component after `after` (NULL: the first) whose type, subtype and
    // manufacturer equal the description's where those are non-zero, and whose flags equal the
    // description's under its flags mask. A NULL description matches every component.
    AudioComponent findNext(AudioComponent after, const AudioComponentDescription* description) const;
    bool description(AudioComponent component, AudioComponentDescription* outDescription) const;
    std::string name(AudioComponent component) const;
    // The vendor's name given at registration; without one, the part of name() before ": " (or empty).
    std::string manufacturerName(AudioComponent component) const;

    OSStatus newInstance(AudioComponent component, AudioComponentInstance* outInstance);
    // An instance for a unit the caller made itself, with no component behind it; disposed like any
    // other. NULL for a NULL unit.
    AudioComponentInstance adopt(std::unique_ptr<AudioUnitBase> unit);
    // Uninitialises and releases the unit; a call still running on another thread finishes first.
    OSStatus disposeInstance(AudioComponentInstance instance);
    // The unit of a live instance. NULL: kAudioUnitErr_InvalidParameter; disposed:
    // kAudioComponentErr_InstanceInvalidated (as long as the address has not been reused).
    std::shared_ptr<AudioUnitBase> unit(AudioComponentInstance instance, OSStatus* status) const;
    std::size_t instanceCount() const;

private:
    AudioComponentRegistry();
    ~AudioComponentRegistry();

    const OpaqueAudioComponent* findLocked(AudioComponent component) const;
    AudioComponent registerHALOutputLocked();

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<OpaqueAudioComponent>> components_;
    std::unordered_map<AudioComponentInstance, std::unique_ptr<ComponentInstanceRecord>> instances_;
    AudioComponent halOutput_ = nullptr;
};

}  // namespace velunto

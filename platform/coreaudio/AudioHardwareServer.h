#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioDeviceIOEngine.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/coreaudio/AudioHardwareDevice.h"

namespace velunto {

// The in-process audio server behind the AudioObject* and AudioDevice* functions. Device providers
// (simulated hardware, driver plug-ins) publish their objects here; the server answers the system
// object (1) itself: the device list in publishing order, the default input and output devices, and
// the UID translation. Object IDs are never reused.
class AudioHardwareServer {
public:
    static AudioHardwareServer& shared();

    AudioObjectID makeObjectID();

    // Devices join the device list ('dev#' is announced); a device that can be a default one becomes
    // the default input or output if there is none yet.
    void publishDevice(std::shared_ptr<AudioHardwareDevice> device);
    // Streams and other objects a device owns.
    void publishObject(std::shared_ptr<AudioHardwareObject> object);
    // The device leaves the list and its I/O stops; its listeners hear 'livn', the system's hear 'dev#'
    // and, if it was a default device, the default's change.
    void withdrawDevice(AudioObjectID deviceID);
    void withdrawObject(AudioObjectID objectID);

    std::shared_ptr<AudioHardwareObject> object(AudioObjectID objectID) const;
    std::shared_ptr<AudioHardwareDevice> device(AudioObjectID objectID) const;
    std::vector<AudioObjectID> deviceIDs() const;
    AudioObjectID defaultDevice(AudioObjectPropertySelector which) const;  // 'dIn ' or 'dOut'
    // 'nope' unless the device exists, is not hidden and has streams in that direction.
    OSStatus setDefaultDevice(AudioObjectPropertySelector which, AudioObjectID deviceID);

    // Calls every matching listener (on its queue).
    void propertiesChanged(AudioObjectID objectID, std::span<const AudioObjectPropertyAddress> addresses);

    OSStatus addListener(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                         std::optional<DispatchQueue> queue, AudioObjectPropertyListenerBlock block);
    OSStatus removeListener(AudioObjectID objectID, const AudioObjectPropertyAddress& address,
                            const std::optional<DispatchQueue>& queue, const AudioObjectPropertyListenerBlock& block);

    OSStatus createIOProc(AudioObjectID deviceID, AudioDeviceIOProc proc, void* clientData, AudioDeviceIOProcID* out);
    OSStatus destroyIOProc(AudioObjectID deviceID, AudioDeviceIOProcID procID);
    OSStatus startIOProc(AudioObjectID deviceID, AudioDeviceIOProcID procID);
    OSStatus stopIOProc(AudioObjectID deviceID, AudioDeviceIOProcID procID);
    std::uint64_t ioCycleCount(AudioObjectID deviceID) const;

private:
    AudioHardwareServer();
    struct Listener;
    class SystemObject;

    bool canBeDefault(const AudioHardwareDevice& device, AudioObjectPropertySelector which) const;
    AudioObjectID firstCandidate(AudioObjectPropertySelector which, AudioObjectID excluding) const;
    std::shared_ptr<AudioDeviceIOEngine> engineFor(AudioObjectID deviceID);

    mutable std::mutex mutex_;
    AudioObjectID nextID_ = 2;
    std::shared_ptr<AudioHardwareObject> system_;
    std::map<AudioObjectID, std::shared_ptr<AudioHardwareObject>> objects_;
    std::vector<AudioObjectID> devices_;
    AudioObjectID defaultInput_ = kAudioObjectUnknown;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    std::vector<std::shared_ptr<Listener>> listeners_;
    std::map<AudioObjectID, std::shared_ptr<AudioDeviceIOEngine>> engines_;
    std::map<AudioDeviceIOProcRecord*, std::unique_ptr<AudioDeviceIOProcRecord>> procs_;
};

}  // namespace velunto

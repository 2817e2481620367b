#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/devices/AudioDeviceInfo.h"
#include "app/settings/DevicePriorityEntry.h"
#include "app/settings/InputMode.h"
#include "app/settings/SettingsStore.h"
#include "platform/combine/Published.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// The catalogue of input devices the user may speak into, and the choice among them by input mode.
// It watches the device list, the system's default input and the chosen device, and decides again on
// every change. Make it with std::make_shared; everything runs on the main thread.
class DeviceManager : public std::enable_shared_from_this<DeviceManager> {
public:
    // The store must outlive the manager. Call start() once the manager is owned by a shared_ptr.
    explicit DeviceManager(SettingsStore& settingsStore);
    static std::shared_ptr<DeviceManager> make(SettingsStore& settingsStore);
    ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    Published<std::vector<AudioDeviceInfo>> availableInputDevices{{}};
    Published<std::optional<std::string>> resolvedDeviceUID{std::nullopt};
    Published<std::optional<double>> resolvedSampleRate{std::nullopt};
    Published<bool> isUsingFallback{false};
    Published<std::vector<DevicePriorityEntry>> priorityList{{}};

    const InputMode& mode() const { return mode_; }
    void setMode(const InputMode& mode);

    void refreshInputDevices();
    void resolve();
    std::optional<AudioDeviceInfo> deviceWithUID(const std::string& uid) const;
    void addToPriority(const AudioDeviceInfo& device);
    void removeFromPriority(const std::string& uid);
    void setPriorityList(std::vector<DevicePriorityEntry> list);

    std::optional<AudioObjectID> listenedDeviceID() const { return listenedDeviceID_; }

    // The stable order of device names in lists ("Mic 2" before "Mic 10").
    static void sortByName(std::vector<AudioDeviceInfo>& devices);

private:
    void start();
    void applyResolution(const std::optional<AudioDeviceInfo>& device);
    void useSystemDefault();
    void watchResolvedDevice(std::optional<AudioObjectID> deviceID);
    void unwatchResolvedDevice();
    void startListening();
    void stopListening();
    void deviceListChanged();
    void defaultInputChanged();
    void resolvedDeviceChanged(AudioObjectID deviceID);
    // Runs `work` on the main queue if the manager still exists.
    AudioObjectPropertyListenerBlock makeListener(void (DeviceManager::*work)());

    SettingsStore& settingsStore_;
    InputMode mode_;
    const AudioObjectID systemObject_ = kAudioObjectSystemObject;
    DispatchQueue propertyQueue_;
    AudioObjectPropertyListenerBlock deviceListListenerBlock_;
    AudioObjectPropertyListenerBlock defaultInputListenerBlock_;
    AudioObjectPropertyListenerBlock resolvedDeviceListenerBlock_;
    std::optional<AudioObjectID> listenedDeviceID_;
};

}  // namespace velunto

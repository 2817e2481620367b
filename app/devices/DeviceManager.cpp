#include "app/devices/DeviceManager.h"

#include <algorithm>

#include "app/devices/AudioProperties.h"
#include "app/devices/LocalizedText.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "DeviceManager");
    return logger;
}

constexpr const char* kVirtualMicUID = "app.velunto.mic";
constexpr const char* kLoopbackName = "BlackHole 2ch";
constexpr const char* kPrivateAggregatePrefix = "CADefaultDeviceAggregate";

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

// The input filter, tested in order; later properties are not read once a test fails.
std::optional<AudioDeviceInfo> inputDevice(AudioObjectID device, const std::optional<std::string>& loopbackUID) {
    if (AudioProperties::channelCount(device, kAudioObjectPropertyScopeInput) < 1)
        return std::nullopt;
    if (AudioProperties::isHidden(device))
        return std::nullopt;
    auto uid = AudioProperties::deviceUID(device);
    if (!uid)
        return std::nullopt;
    auto name = AudioProperties::deviceName(device);
    if (!name)
        return std::nullopt;
    if (uid->starts_with(kPrivateAggregatePrefix))
        return std::nullopt;
    if (*uid == kVirtualMicUID)
        return std::nullopt;
    const auto subDevices = AudioProperties::aggregateSubDeviceUIDs(device);
    if (contains(subDevices, kVirtualMicUID))
        return std::nullopt;
    if (loopbackUID && (*uid == *loopbackUID || contains(subDevices, *loopbackUID)))
        return std::nullopt;
    return AudioDeviceInfo{device, std::move(*uid), std::move(*name)};
}

}  // namespace

DeviceManager::DeviceManager(SettingsStore& settingsStore)
    : settingsStore_(settingsStore), propertyQueue_("app.velunto.devicemanager.properties") {
    mode_ = settingsStore_.loadInputMode();
    priorityList.set(settingsStore_.loadDevicePriority());
}

std::shared_ptr<DeviceManager> DeviceManager::make(SettingsStore& settingsStore) {
    auto manager = std::make_shared<DeviceManager>(settingsStore);
    manager->start();
    return manager;
}

void DeviceManager::start() {
    refreshInputDevices();
    startListening();
    resolve();
}

DeviceManager::~DeviceManager() {
    stopListening();
    unwatchResolvedDevice();
}

void DeviceManager::setMode(const InputMode& mode) {
    const bool changed = !(mode == mode_);
    mode_ = mode;
    if (!changed)
        return;
    settingsStore_.saveInputMode(mode_);
    resolve();
}

void DeviceManager::sortByName(std::vector<AudioDeviceInfo>& devices) {
    std::stable_sort(devices.begin(), devices.end(), [](const AudioDeviceInfo& a, const AudioDeviceInfo& b) {
        return LocalizedText::standardCompare(a.name, b.name) < 0;
    });
}

void DeviceManager::refreshInputDevices() {
    std::optional<std::string> loopbackUID;
    if (auto loopback = AudioProperties::findDeviceNamed(kLoopbackName))
        loopbackUID = loopback->uid;
    std::vector<AudioDeviceInfo> devices;
    for (AudioObjectID device : AudioProperties::allDevices())
        if (auto info = inputDevice(device, loopbackUID))
            devices.push_back(std::move(*info));
    sortByName(devices);
    availableInputDevices.set(std::move(devices));
}

std::optional<AudioDeviceInfo> DeviceManager::deviceWithUID(const std::string& uid) const {
    for (const auto& device : availableInputDevices.value())
        if (device.uid == uid)
            return device;
    return std::nullopt;
}

void DeviceManager::resolve() {
    switch (mode_.kind) {
        case InputMode::Kind::systemDefault:
            isUsingFallback.set(false);
            useSystemDefault();
            return;
        case InputMode::Kind::fixed:
            if (auto device = deviceWithUID(mode_.uid)) {
                isUsingFallback.set(false);
                applyResolution(device);
                return;
            }
            isUsingFallback.set(true);
            log().notice("Festes Eingangsgerät %{public}s nicht gefunden, Fallback auf Systemstandard.", mode_.uid);
            useSystemDefault();
            return;
        case InputMode::Kind::priority:
            for (const auto& entry : priorityList.value()) {
                if (auto device = deviceWithUID(entry.uid)) {
                    isUsingFallback.set(false);
                    applyResolution(device);
                    return;
                }
            }
            isUsingFallback.set(true);
            log().notice("Kein Gerät der Prioritätenliste angeschlossen, Fallback auf Systemstandard.");
            useSystemDefault();
            return;
    }
}

void DeviceManager::useSystemDefault() {
    std::optional<AudioDeviceInfo> device;
    if (auto id = AudioProperties::defaultInputDevice())
        if (auto uid = AudioProperties::deviceUID(*id))
            device = deviceWithUID(*uid);
    applyResolution(device);
}

void DeviceManager::applyResolution(const std::optional<AudioDeviceInfo>& device) {
    const std::optional<std::string> uid = device ? std::optional<std::string>(device->uid) : std::nullopt;
    if (uid != resolvedDeviceUID.value()) {
        log().notice("Aktiver Eingang: %{public}s (%{public}s, ID %u)", device ? device->name : "keiner",
                     device ? device->uid : "-", device ? device->deviceID : 0u);
        resolvedDeviceUID.set(uid);
    }
    resolvedSampleRate.set(device ? AudioProperties::nominalSampleRate(device->deviceID) : std::nullopt);
    watchResolvedDevice(device ? std::optional<AudioObjectID>(device->deviceID) : std::nullopt);
}

void DeviceManager::watchResolvedDevice(std::optional<AudioObjectID> deviceID) {
    unwatchResolvedDevice();
    if (!deviceID)
        return;
    const AudioObjectID id = *deviceID;
    resolvedDeviceListenerBlock_ =
        makeAudioObjectPropertyListenerBlock([weak = weak_from_this(), id](UInt32, const AudioObjectPropertyAddress*) {
            DispatchQueue::main().async([weak, id] {
                if (auto manager = weak.lock())
                    manager->resolvedDeviceChanged(id);
            });
        });
    const auto alive = globalAddress(kAudioDevicePropertyDeviceIsAlive);
    const auto rate = globalAddress(kAudioDevicePropertyNominalSampleRate);
    const std::string suffix = std::to_string(id);
    checkStatus(AudioObjectAddPropertyListenerBlock(id, &alive, propertyQueue_, resolvedDeviceListenerBlock_),
                "AudioObjectAddPropertyListenerBlock(kAudioDevicePropertyDeviceIsAlive) for " + suffix);
    checkStatus(AudioObjectAddPropertyListenerBlock(id, &rate, propertyQueue_, resolvedDeviceListenerBlock_),
                "AudioObjectAddPropertyListenerBlock(kAudioDevicePropertyNominalSampleRate) for " + suffix);
    listenedDeviceID_ = id;
}

void DeviceManager::unwatchResolvedDevice() {
    if (!listenedDeviceID_ || !resolvedDeviceListenerBlock_)
        return;
    const AudioObjectID id = *listenedDeviceID_;
    const auto alive = globalAddress(kAudioDevicePropertyDeviceIsAlive);
    const auto rate = globalAddress(kAudioDevicePropertyNominalSampleRate);
    const std::string suffix = std::to_string(id);
    checkStatus(AudioObjectRemovePropertyListenerBlock(id, &alive, propertyQueue_, resolvedDeviceListenerBlock_),
                "AudioObjectRemovePropertyListenerBlock(kAudioDevicePropertyDeviceIsAlive) for " + suffix);
    checkStatus(AudioObjectRemovePropertyListenerBlock(id, &rate, propertyQueue_, resolvedDeviceListenerBlock_),
                "AudioObjectRemovePropertyListenerBlock(kAudioDevicePropertyNominalSampleRate) for " + suffix);
    resolvedDeviceListenerBlock_.reset();
    listenedDeviceID_.reset();
}

AudioObjectPropertyListenerBlock DeviceManager::makeListener(void (DeviceManager::*work)()) {
    return makeAudioObjectPropertyListenerBlock(
        [weak = weak_from_this(), work](UInt32, const AudioObjectPropertyAddress*) {
            DispatchQueue::main().async([weak, work] {
                if (auto manager = weak.lock())
                    ((*manager).*work)();
            });
        });
}

void DeviceManager::startListening() {
    const auto devices = globalAddress(kAudioHardwarePropertyDevices);
    deviceListListenerBlock_ = makeListener(&DeviceManager::deviceListChanged);
    checkStatus(AudioObjectAddPropertyListenerBlock(systemObject_, &devices, propertyQueue_, deviceListListenerBlock_),
                "AudioObjectAddPropertyListenerBlock(kAudioHardwarePropertyDevices)");
    const auto input = globalAddress(kAudioHardwarePropertyDefaultInputDevice);
    defaultInputListenerBlock_ = makeListener(&DeviceManager::defaultInputChanged);
    checkStatus(AudioObjectAddPropertyListenerBlock(systemObject_, &input, propertyQueue_, defaultInputListenerBlock_),
                "AudioObjectAddPropertyListenerBlock(kAudioHardwarePropertyDefaultInputDevice)");
}

void DeviceManager::stopListening() {
    if (deviceListListenerBlock_) {
        const auto devices = globalAddress(kAudioHardwarePropertyDevices);
        checkStatus(
            AudioObjectRemovePropertyListenerBlock(systemObject_, &devices, propertyQueue_, deviceListListenerBlock_),
            "AudioObjectRemovePropertyListenerBlock(kAudioHardwarePropertyDevices)");
        deviceListListenerBlock_.reset();
    }
    if (defaultInputListenerBlock_) {
        const auto input = globalAddress(kAudioHardwarePropertyDefaultInputDevice);
        checkStatus(
            AudioObjectRemovePropertyListenerBlock(systemObject_, &input, propertyQueue_, defaultInputListenerBlock_),
            "AudioObjectRemovePropertyListenerBlock(kAudioHardwarePropertyDefaultInputDevice)");
        defaultInputListenerBlock_.reset();
    }
}

void DeviceManager::deviceListChanged() {
    refreshInputDevices();
    std::string catalogue;
    for (const auto& device : availableInputDevices.value()) {
        if (!catalogue.empty())
            catalogue += ", ";
        catalogue += device.name + " [" + std::to_string(device.deviceID) + "]";
    }
    log().notice("Geräteliste geändert: %{public}s", catalogue);
    resolve();
}

void DeviceManager::defaultInputChanged() {
    if (mode_.kind == InputMode::Kind::systemDefault || isUsingFallback.value())
        resolve();
}

void DeviceManager::resolvedDeviceChanged(AudioObjectID deviceID) {
    if (AudioProperties::isAlive(deviceID))
        return;
    log().notice("Eingangsgerät %u nicht mehr verfügbar.", deviceID);
    refreshInputDevices();
    resolve();
}

void DeviceManager::addToPriority(const AudioDeviceInfo& device) {
    const auto& list = priorityList.value();
    if (std::any_of(list.begin(), list.end(), [&](const auto& e) { return e.uid == device.uid; }))
        return;
    auto updated = list;
    updated.push_back(DevicePriorityEntry{device.uid, device.name});
    setPriorityList(std::move(updated));
}

void DeviceManager::removeFromPriority(const std::string& uid) {
    auto updated = priorityList.value();
    std::erase_if(updated, [&](const auto& e) { return e.uid == uid; });
    setPriorityList(std::move(updated));
}

void DeviceManager::setPriorityList(std::vector<DevicePriorityEntry> list) {
    priorityList.set(list);
    settingsStore_.saveDevicePriority(list);
    if (mode_.kind == InputMode::Kind::priority)
        resolve();
}

}  // namespace velunto

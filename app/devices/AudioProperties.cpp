#include "app/devices/AudioProperties.h"

#include "app/devices/LocalizedText.h"

#include "platform/coreaudio/AudioHardware.h"
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& deviceLog() {
    static const Logger logger("app.velunto", "DeviceManager");
    return logger;
}

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::string forDevice(std::string_view label, AudioObjectID device) {
    return std::string(label) + std::to_string(device);
}

template <class T>
std::optional<T> readScalar(AudioObjectID object, AudioObjectPropertySelector selector, const std::string& label) {
    const auto address = globalAddress(selector);
    T value{};
    UInt32 size = sizeof value;
    if (!checkStatus(AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value), label))
        return std::nullopt;
    return value;
}

std::optional<AudioObjectID> nonZero(std::optional<AudioObjectID> id) {
    if (id && *id == kAudioObjectUnknown)
        return std::nullopt;
    return id;
}

std::optional<std::string> readString(AudioObjectID device, AudioObjectPropertySelector selector,
                                      const std::string& label) {
    auto value = readScalar<CFStringRef>(device, selector, label);
    if (!value)
        return std::nullopt;
    auto owned = CFOwned<CFStringRef>::adopt(*value);
    return stringFromCFString(owned.get());
}

}  // namespace

bool checkStatus(OSStatus status, std::string_view label) {
    if (status == 0)
        return true;
    deviceLog().error("%{public}s failed: OSStatus %d", std::string(label), status);
    return false;
}

namespace AudioProperties {

std::optional<AudioObjectID> defaultInputDevice() {
    return nonZero(readScalar<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice,
                                             "AudioObjectGetPropertyData(kAudioHardwarePropertyDefaultInputDevice)"));
}

std::optional<AudioObjectID> defaultOutputDevice() {
    return nonZero(readScalar<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice,
                                             "AudioObjectGetPropertyData(kAudioHardwarePropertyDefaultOutputDevice)"));
}

std::vector<AudioObjectID> allDevices() {
    const auto address = globalAddress(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (!checkStatus(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size),
                     "AudioObjectGetPropertyDataSize(kAudioHardwarePropertyDevices)") ||
        size < sizeof(AudioObjectID))
        return {};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (!checkStatus(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids.data()),
                     "AudioObjectGetPropertyData(kAudioHardwarePropertyDevices)"))
        return {};
    ids.resize(size / sizeof(AudioObjectID));  // the list may have shrunk in between
    return ids;
}

std::optional<std::string> deviceUID(AudioObjectID device) {
    return readString(device, kAudioDevicePropertyDeviceUID,
                      forDevice("AudioObjectGetPropertyData(kAudioDevicePropertyDeviceUID) for ", device));
}

std::optional<std::string> deviceName(AudioObjectID device) {
    return readString(device, kAudioObjectPropertyName,
                      forDevice("AudioObjectGetPropertyData(kAudioObjectPropertyName) for ", device));
}

std::optional<AudioObjectID> deviceForUID(const std::string& uid) {
    const auto address = globalAddress(kAudioHardwarePropertyTranslateUIDToDevice);
    auto uidString = makeCFString(uid);
    CFStringRef qualifier = uidString.get();
    AudioObjectID id = kAudioObjectUnknown;
    UInt32 size = sizeof id;
    if (!checkStatus(
            AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof qualifier, &qualifier, &size, &id),
            "AudioObjectGetPropertyData(kAudioHardwarePropertyTranslateUIDToDevice) for " + uid))
        return std::nullopt;
    return nonZero(id);
}

std::optional<double> nominalSampleRate(AudioObjectID device) {
    return readScalar<Float64>(
        device, kAudioDevicePropertyNominalSampleRate,
        forDevice("AudioObjectGetPropertyData(kAudioDevicePropertyNominalSampleRate) for ", device));
}

bool isAlive(AudioObjectID device) {
    auto value =
        readScalar<UInt32>(device, kAudioDevicePropertyDeviceIsAlive,
                           forDevice("AudioObjectGetPropertyData(kAudioDevicePropertyDeviceIsAlive) for ", device));
    return value && *value != 0;
}

bool isHidden(AudioObjectID device) {
    auto value = readScalar<UInt32>(device, kAudioDevicePropertyIsHidden,
                                    forDevice("AudioObjectGetPropertyData(kAudioDevicePropertyIsHidden) for ", device));
    return value && *value != 0;
}

std::optional<UInt32> transportType(AudioObjectID device) {
    return readScalar<UInt32>(device, kAudioDevicePropertyTransportType,
                              forDevice("AudioObjectGetPropertyData(kAudioDevicePropertyTransportType) for ", device));
}

UInt32 channelCount(AudioObjectID device, AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (!checkStatus(
            AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size),
            forDevice("AudioObjectGetPropertyDataSize(kAudioDevicePropertyStreamConfiguration) for ", device)) ||
        size == 0)
        return 0;
    std::vector<std::max_align_t> storage((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    if (!checkStatus(AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, storage.data()),
                     forDevice("AudioObjectGetPropertyData(kAudioDevicePropertyStreamConfiguration) for ", device)))
        return 0;
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    // Count only the buffers that were actually written.
    const std::size_t fits = size < offsetof(AudioBufferList, mBuffers)
                                 ? 0
                                 : (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    UInt32 channels = 0;
    for (UInt32 i = 0; i < list->mNumberBuffers && i < fits; ++i)
        channels += list->mBuffers[i].mNumberChannels;
    return channels;
}

std::vector<std::string> aggregateSubDeviceUIDs(AudioObjectID device) {
    if (transportType(device) != std::optional<UInt32>(kAudioDeviceTransportTypeAggregate))
        return {};
    const auto address = globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList);
    UInt32 size = 0;
    if (!checkStatus(
            AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size),
            forDevice("AudioObjectGetPropertyDataSize(kAudioAggregateDevicePropertyFullSubDeviceList) for ", device)) ||
        size == 0)
        return {};
    CFTypeRef value = nullptr;
    size = sizeof value;
    if (!checkStatus(
            AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &value),
            forDevice("AudioObjectGetPropertyData(kAudioAggregateDevicePropertyFullSubDeviceList) for ", device)) ||
        !value)
        return {};
    auto owned = CFOwned<CFTypeRef>::adopt(value);
    if (CFGetTypeID(value) != CFArrayGetTypeID())
        return {};
    auto array = static_cast<CFArrayRef>(value);
    std::vector<std::string> uids;
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        auto uid = stringFromCFString(CFArrayGetValueAtIndex(array, i));
        if (!uid)
            return {};
        uids.push_back(std::move(*uid));
    }
    return uids;
}

std::optional<AudioDeviceInfo> findDeviceNamed(std::string_view text) {
    for (AudioObjectID device : allDevices()) {
        auto name = deviceName(device);
        if (!name || !LocalizedText::containsIgnoringCase(*name, text))
            continue;
        if (auto uid = deviceUID(device))
            return AudioDeviceInfo{device, std::move(*uid), std::move(*name)};
    }
    return std::nullopt;
}

std::optional<AudioObjectID> currentDevice(AudioUnit unit, std::string_view tag) {
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    const std::string label = "AudioUnitGetProperty(kAudioOutputUnitProperty_CurrentDevice) [" + std::string(tag) + "]";
    if (!checkStatus(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                          &device, &size),
                     label))
        return std::nullopt;
    return device;
}


}  // namespace AudioProperties

}  // namespace velunto

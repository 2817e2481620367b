#include "platform/avaudio/HALInputUnit.h"

#include <cstring>

#include "platform/audiounit/AudioUnit.h"

namespace velunto {

namespace {

AudioObjectID defaultInputDevice() {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device);
    return device;
}

UInt32 inputChannels(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain};
    alignas(AudioBufferList) unsigned char storage[512];
    UInt32 size = sizeof storage;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, storage) != 0)
        return 0;
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage);
    UInt32 channels = 0;
    for (UInt32 i = 0; i < list->mNumberBuffers && i < 16; ++i)
        channels += list->mBuffers[i].mNumberChannels;
    return channels;
}

}  // namespace

HALInputUnit::HALInputUnit() = default;

HALInputUnit::~HALInputUnit() {
    uninitialize();
}

OSStatus HALInputUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement, void* outData,
                                   UInt32* ioDataSize) {
    if (!outData || !ioDataSize)
        return kAudioUnitErr_InvalidParameter;
    std::lock_guard lock(mutex_);
    if (id == kAudioOutputUnitProperty_CurrentDevice) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        return answerProperty(currentDevice(), outData, ioDataSize);
    }
    return kAudioUnitErr_InvalidProperty;
}

OSStatus HALInputUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement, const void* inData,
                                   UInt32 dataSize) {
    if (!inData)
        return kAudioUnitErr_InvalidParameter;
    std::lock_guard lock(mutex_);
    if (id == kAudioOutputUnitProperty_CurrentDevice) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        if (dataSize != sizeof(AudioObjectID))
            return kAudioUnitErr_InvalidParameter;
        if (initialized_)
            return kAudioUnitErr_Initialized;
        AudioObjectID device;
        std::memcpy(&device, inData, sizeof device);
        if (inputChannels(device) == 0)
            return kAudioUnitErr_InvalidPropertyValue;
        device_ = device;
        return 0;
    }
    if (id == kAudioOutputUnitProperty_EnableIO)
        return dataSize == sizeof(UInt32) ? 0 : kAudioUnitErr_InvalidParameter;
    return kAudioUnitErr_InvalidProperty;
}

AudioObjectID HALInputUnit::currentDevice() const {
    std::lock_guard lock(mutex_);
    return device_ != kAudioObjectUnknown ? device_ : defaultInputDevice();
}

void HALInputUnit::setInputHandler(InputHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

OSStatus HALInputUnit::initialize() {
    std::lock_guard lock(mutex_);
    if (initialized_)
        return 0;
    const AudioObjectID device = currentDevice();
    if (device == kAudioObjectUnknown || inputChannels(device) == 0)
        return kAudioUnitErr_NoConnection;
    if (OSStatus status = AudioDeviceCreateIOProcID(device, ioProc, this, &procID_); status != 0)
        return status;
    procDevice_ = device;
    initialized_ = true;
    return 0;
}

OSStatus HALInputUnit::uninitialize() {
    std::lock_guard lock(mutex_);
    if (!initialized_)
        return 0;
    stop();
    AudioDeviceDestroyIOProcID(procDevice_, procID_);
    procID_ = nullptr;
    initialized_ = false;
    return 0;
}

OSStatus HALInputUnit::start() {
    std::lock_guard lock(mutex_);
    if (!initialized_)
        return kAudioUnitErr_Uninitialized;
    if (running_)
        return 0;
    if (OSStatus status = AudioDeviceStart(procDevice_, procID_); status != 0)
        return status;
    running_ = true;
    return 0;
}

OSStatus HALInputUnit::stop() {
    std::lock_guard lock(mutex_);
    if (!running_)
        return 0;
    running_ = false;
    return AudioDeviceStop(procDevice_, procID_);
}

// Real-time.
OSStatus HALInputUnit::ioProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                              const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*, void* self) {
    auto& unit = *static_cast<HALInputUnit*>(self);
    if (!input || input->mNumberBuffers == 0 || !unit.handler_)
        return 0;
    const AudioBuffer& first = input->mBuffers[0];
    const UInt32 frames = first.mNumberChannels ? first.mDataByteSize / (4 * first.mNumberChannels) : 0;
    unit.handler_(*inputTime, *input, frames);
    return 0;
}

}  // namespace velunto

#include "platform/audiounit/HALOutputUnit.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace velunto {

namespace {

constexpr UInt32 kMaxClientChannels = 8;
constexpr UInt32 kLargestSlice = 16384;
constexpr AudioObjectPropertyAddress kNominalRateAddress{
    kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

AudioStreamBasicDescription floatFormat(Float64 rate, UInt32 channels, bool interleaved) {
    const UInt32 bytesPerFrame = interleaved ? channels * 4 : 4;
    return {rate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagsNativeFloatPacked | (interleaved ? 0u : UInt32{kAudioFormatFlagIsNonInterleaved}),
            bytesPerFrame,
            1,
            bytesPerFrame,
            channels,
            32,
            0};
}

bool isSupportedClientFormat(const AudioStreamBasicDescription& f) {
    const bool interleaved = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const UInt32 bytesPerFrame = interleaved ? f.mChannelsPerFrame * 4 : 4;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           (f.mFormatFlags & (kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsSignedInteger)) == 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= kMaxClientChannels &&
           f.mSampleRate >= 8000.0 && f.mSampleRate <= 384000.0 && f.mFramesPerPacket == 1 &&
           f.mBytesPerFrame == bytesPerFrame && f.mBytesPerPacket == bytesPerFrame;
}

// The device's nominal rate and output channel count. An unknown device answers with the hardware
// layer's status.
OSStatus readDeviceFormat(AudioObjectID device, Float64* rate, UInt32* channels) {
    const AudioObjectPropertyAddress layout{kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput,
                                            kAudioObjectPropertyElementMain};
    UInt32 size = 0;
    if (OSStatus status = AudioObjectGetPropertyDataSize(device, &layout, 0, nullptr, &size); status != noErr) {
        return status;
    }
    std::vector<std::uint64_t> storage(size / sizeof(std::uint64_t) + 2);
    size = static_cast<UInt32>(storage.size() * sizeof(std::uint64_t));
    if (OSStatus status = AudioObjectGetPropertyData(device, &layout, 0, nullptr, &size, storage.data());
        status != noErr) {
        return status;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    const std::size_t fitting = size < offsetof(AudioBufferList, mBuffers)
                                    ? 0
                                    : (size - offsetof(AudioBufferList, mBuffers)) / sizeof(AudioBuffer);
    *channels = 0;
    for (std::size_t b = 0; b < std::min<std::size_t>(list->mNumberBuffers, fitting); ++b) {
        *channels += list->mBuffers[b].mNumberChannels;
    }
    UInt32 rateSize = sizeof(Float64);
    return AudioObjectGetPropertyData(device, &kNominalRateAddress, 0, nullptr, &rateSize, rate);
}

OSStatus checkAddress(AudioUnitScope scope, AudioUnitElement element, AudioUnitScope wantedScope,
                      AudioUnitElement wantedElement) {
    if (scope != wantedScope) {
        return kAudioUnitErr_InvalidScope;
    }
    return element == wantedElement ? OSStatus{noErr} : OSStatus{kAudioUnitErr_InvalidElement};
}

// EnableIO lives on the input element (1) in input scope and the output element (0) in output scope.
OSStatus checkEnableIOAddress(AudioUnitScope scope, AudioUnitElement element) {
    if (scope == kAudioUnitScope_Input) {
        return checkAddress(scope, element, kAudioUnitScope_Input, 1);
    }
    return checkAddress(scope, element, kAudioUnitScope_Output, 0);
}

OSStatus checkFormatAddress(AudioUnitScope scope, AudioUnitElement element) {
    if (scope == kAudioUnitScope_Input) {
        return checkAddress(scope, element, kAudioUnitScope_Input, 0);
    }
    return checkAddress(scope, element, kAudioUnitScope_Output, 0);
}

}  // namespace

// Watches the device's nominal rate from the listener queue; outlives the unit if a notification is
// still being delivered.
struct HALOutputUnit::RateWatch {
    RateWatch(AudioObjectID watchedDevice, Float64 initialRate) : device(watchedDevice), rate(initialRate) {}

    void check() {
        Float64 now = 0.0;
        UInt32 size = sizeof(now);
        if (AudioObjectGetPropertyData(device, &kNominalRateAddress, 0, nullptr, &size, &now) != noErr || now != rate) {
            changed.store(true, std::memory_order_relaxed);
        }
    }

    const AudioObjectID device;
    const Float64 rate;
    std::atomic<bool> changed{false};
};

HALOutputUnit::HALOutputUnit() = default;

HALOutputUnit::~HALOutputUnit() {
    std::lock_guard lock(mutex_);
    tearDownLocked();
}

OSStatus HALOutputUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                    void* outData, UInt32* ioDataSize) {
    std::lock_guard lock(mutex_);
    const auto answer = [&](const auto& value) { return answerProperty(value, outData, ioDataSize); };
    OSStatus status = noErr;
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            if ((status = checkEnableIOAddress(scope, element)) != noErr) {
                return status;
            }
            return answer(scope == kAudioUnitScope_Input ? UInt32{0} : outputEnabled_);
        case kAudioOutputUnitProperty_CurrentDevice: {
            if ((status = checkAddress(scope, element, kAudioUnitScope_Global, 0)) != noErr) {
                return status;
            }
            AudioObjectID device = kAudioObjectUnknown;
            if ((status = currentDeviceLocked(&device)) != noErr) {
                return status;
            }
            return answer(device);
        }
        case kAudioUnitProperty_StreamFormat: {
            if ((status = checkFormatAddress(scope, element)) != noErr) {
                return status;
            }
            if (scope == kAudioUnitScope_Input) {
                return answer(clientFormatLocked());
            }
            AudioStreamBasicDescription format{};
            if ((status = deviceFormatLocked(&format)) != noErr) {
                return status;
            }
            return answer(format);
        }
        case kAudioUnitProperty_SetRenderCallback:
            if ((status = checkAddress(scope, element, kAudioUnitScope_Input, 0)) != noErr) {
                return status;
            }
            return answer(callback_);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            if ((status = checkAddress(scope, element, kAudioUnitScope_Global, 0)) != noErr) {
                return status;
            }
            return answer(maxFramesPerSlice_);
        case kAudioUnitProperty_Latency:
            if ((status = checkAddress(scope, element, kAudioUnitScope_Global, 0)) != noErr) {
                return status;
            }
            return answer(converter_ ? converter_->latencyFrames() / deviceFormat_.mSampleRate : Float64{0.0});
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus HALOutputUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                    const void* inData, UInt32 dataSize) {
    std::lock_guard lock(mutex_);
    // Address first, then size, then state, then value.
    const auto admit = [&](OSStatus address, std::size_t size, bool fixedWhileInitialized) -> OSStatus {
        if (address != noErr) {
            return address;
        }
        if (inData == nullptr || dataSize != size) {
            return kAudioUnitErr_InvalidParameter;
        }
        return fixedWhileInitialized && initialized_ ? OSStatus{kAudioUnitErr_Initialized} : OSStatus{noErr};
    };
    OSStatus status = noErr;
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO: {
            if ((status = admit(checkEnableIOAddress(scope, element), sizeof(UInt32), true)) != noErr) {
                return status;
            }
            UInt32 value = 0;
            std::memcpy(&value, inData, sizeof(value));
            if (scope == kAudioUnitScope_Input) {
                return value == 0 ? OSStatus{noErr} : OSStatus{kAudioUnitErr_InvalidPropertyValue};
            }
            if (value > 1) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            outputEnabled_ = value;
            return noErr;
        }
        case kAudioOutputUnitProperty_CurrentDevice: {
            if ((status = admit(checkAddress(scope, element, kAudioUnitScope_Global, 0), sizeof(AudioObjectID),
                                true)) != noErr) {
                return status;
            }
            AudioObjectID device = kAudioObjectUnknown;
            std::memcpy(&device, inData, sizeof(device));
            Float64 rate = 0.0;
            UInt32 channels = 0;
            if ((status = readDeviceFormat(device, &rate, &channels)) != noErr) {
                return status;
            }
            if (channels == 0) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            chosenDevice_ = device;
            return noErr;
        }
        case kAudioUnitProperty_StreamFormat: {
            if ((status = checkFormatAddress(scope, element)) != noErr) {
                return status;
            }
            if (scope == kAudioUnitScope_Output) {
                return kAudioUnitErr_PropertyNotWritable;
            }
            if ((status = admit(noErr, sizeof(AudioStreamBasicDescription), true)) != noErr) {
                return status;
            }
            AudioStreamBasicDescription format{};
            std::memcpy(&format, inData, sizeof(format));
            if (!isSupportedClientFormat(format)) {
                return kAudioUnitErr_FormatNotSupported;
            }
            clientFormat_ = format;
            return noErr;
        }
        case kAudioUnitProperty_SetRenderCallback:
            if ((status = admit(checkAddress(scope, element, kAudioUnitScope_Input, 0), sizeof(AURenderCallbackStruct),
                                false)) != noErr) {
                return status;
            }
            if (running_) {
                return kAudioUnitErr_CannotDoInCurrentContext;
            }
            std::memcpy(&callback_, inData, sizeof(callback_));
            if (converter_) {
                converter_->setRenderCallback(callback_);
            }
            return noErr;
        case kAudioUnitProperty_MaximumFramesPerSlice: {
            if ((status = admit(checkAddress(scope, element, kAudioUnitScope_Global, 0), sizeof(UInt32), true)) !=
                noErr) {
                return status;
            }
            UInt32 value = 0;
            std::memcpy(&value, inData, sizeof(value));
            if (value < 1 || value > kLargestSlice) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            maxFramesPerSlice_ = value;
            return noErr;
        }
        case kAudioUnitProperty_Latency:
            if ((status = checkAddress(scope, element, kAudioUnitScope_Global, 0)) != noErr) {
                return status;
            }
            return kAudioUnitErr_PropertyNotWritable;
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus HALOutputUnit::initialize() {
    std::lock_guard lock(mutex_);
    if (initialized_) {
        return noErr;
    }
    try {
        return initializeLocked();
    } catch (...) {
        tearDownLocked();
        throw;
    }
}

OSStatus HALOutputUnit::initializeLocked() {
    if (outputEnabled_ == 0) {
        return kAudioUnitErr_FailedInitialization;
    }
    AudioObjectID device = kAudioObjectUnknown;
    OSStatus status = currentDeviceLocked(&device);
    if (status != noErr) {
        return status;
    }
    if (device == kAudioObjectUnknown) {
        return kAudioUnitErr_NoConnection;
    }
    Float64 rate = 0.0;
    UInt32 channels = 0;
    if ((status = readDeviceFormat(device, &rate, &channels)) != noErr) {
        return status;
    }
    if (channels == 0 || !(rate > 0.0)) {
        return kAudioUnitErr_FailedInitialization;
    }
    UInt32 bufferFrames = 512;
    const AudioObjectPropertyAddress bufferSize{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    UInt32 size = sizeof(bufferFrames);
    if (AudioObjectGetPropertyData(device, &bufferSize, 0, nullptr, &size, &bufferFrames) != noErr ||
        bufferFrames == 0) {
        bufferFrames = 512;
    }
    const AudioStreamBasicDescription client =
        clientFormat_ ? *clientFormat_ : floatFormat(rate, std::clamp(channels, UInt32{1}, kMaxClientChannels), true);
    const OutputConverterFormat format{client.mSampleRate,
                                       client.mChannelsPerFrame,
                                       (client.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0,
                                       rate,
                                       channels,
                                       maxFramesPerSlice_,
                                       bufferFrames};
    auto converter = OutputConverter::create(format);
    if (!converter) {
        return kAudioUnitErr_FailedInitialization;
    }
    converter->setRenderCallback(callback_);

    device_ = device;
    deviceFormat_ = floatFormat(rate, channels, true);
    converter_ = std::move(converter);
    rateWatch_ = std::make_shared<RateWatch>(device, rate);
    if ((status = AudioDeviceCreateIOProcID(device, &HALOutputUnit::deviceIOProc, this, &procID_)) != noErr) {
        procID_ = nullptr;
        tearDownLocked();
        return status;
    }
    listenerQueue_.emplace("velunto.audiounit.haloutput.rate");
    rateListener_ = makeAudioObjectPropertyListenerBlock(
        [watch = rateWatch_](UInt32, const AudioObjectPropertyAddress*) { watch->check(); });
    if ((status = AudioObjectAddPropertyListenerBlock(device, &kNominalRateAddress, listenerQueue_, rateListener_)) !=
        noErr) {
        rateListener_.reset();
        tearDownLocked();
        return status;
    }
    rateWatch_->check();  // a change between reading the rate and listening
    initialized_ = true;
    return noErr;
}

OSStatus HALOutputUnit::uninitialize() {
    std::lock_guard lock(mutex_);
    tearDownLocked();
    return noErr;
}

OSStatus HALOutputUnit::start() {
    std::lock_guard lock(mutex_);
    if (!initialized_) {
        return kAudioUnitErr_Uninitialized;
    }
    if (running_) {
        return noErr;
    }
    const OSStatus status = AudioDeviceStart(device_, procID_);
    running_ = status == noErr;
    return status;
}

OSStatus HALOutputUnit::stop() {
    std::lock_guard lock(mutex_);
    if (!running_) {
        return noErr;
    }
    running_ = false;
    return AudioDeviceStop(device_, procID_);
}

void HALOutputUnit::tearDownLocked() {
    if (procID_ != nullptr) {
        if (running_) {
            AudioDeviceStop(device_, procID_);
        }
        AudioDeviceDestroyIOProcID(device_, procID_);
        procID_ = nullptr;
    }
    running_ = false;
    if (rateListener_) {
        AudioObjectRemovePropertyListenerBlock(device_, &kNominalRateAddress, listenerQueue_, rateListener_);
        rateListener_.reset();
    }
    listenerQueue_.reset();
    converter_.reset();
    rateWatch_.reset();
    device_ = kAudioObjectUnknown;
    initialized_ = false;
}

OSStatus HALOutputUnit::currentDeviceLocked(AudioObjectID* outDevice) const {
    if (initialized_) {
        *outDevice = device_;
        return noErr;
    }
    if (chosenDevice_) {
        *outDevice = *chosenDevice_;
        return noErr;
    }
    const AudioObjectPropertyAddress defaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                   kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    UInt32 size = sizeof(AudioObjectID);
    *outDevice = kAudioObjectUnknown;
    return AudioObjectGetPropertyData(kAudioObjectSystemObject, &defaultOutput, 0, nullptr, &size, outDevice);
}

OSStatus HALOutputUnit::deviceFormatLocked(AudioStreamBasicDescription* outFormat) const {
    if (initialized_) {
        *outFormat = deviceFormat_;
        return noErr;
    }
    AudioObjectID device = kAudioObjectUnknown;
    Float64 rate = 0.0;
    UInt32 channels = 0;
    OSStatus status = currentDeviceLocked(&device);
    if (status == noErr) {
        status = readDeviceFormat(device, &rate, &channels);
    }
    if (status == noErr) {
        *outFormat = floatFormat(rate, channels, true);
    }
    return status;
}

AudioStreamBasicDescription HALOutputUnit::clientFormatLocked() const {
    if (clientFormat_) {
        return *clientFormat_;
    }
    AudioStreamBasicDescription device{};
    if (deviceFormatLocked(&device) == noErr && device.mChannelsPerFrame > 0 && device.mSampleRate >= 8000.0 &&
        device.mSampleRate <= 384000.0) {
        return floatFormat(device.mSampleRate, std::min(device.mChannelsPerFrame, kMaxClientChannels), true);
    }
    return floatFormat(48000.0, 2, true);
}

OSStatus HALOutputUnit::deviceIOProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList*,
                                     const AudioTimeStamp*, AudioBufferList* outputData,
                                     const AudioTimeStamp* outputTime, void* clientData) {
    // real-time: no lock, no allocation, no log
    auto* self = static_cast<HALOutputUnit*>(clientData);
    if (outputData == nullptr || outputData->mNumberBuffers == 0 || outputData->mBuffers[0].mNumberChannels == 0) {
        return noErr;
    }
    UInt32 channels = 0;
    for (UInt32 b = 0; b < outputData->mNumberBuffers; ++b) {
        channels += outputData->mBuffers[b].mNumberChannels;
    }
    const AudioBuffer& first = outputData->mBuffers[0];
    const auto frames = static_cast<UInt32>(first.mDataByteSize / (first.mNumberChannels * sizeof(float)));
    if (channels != self->deviceFormat_.mChannelsPerFrame ||
        self->rateWatch_->changed.load(std::memory_order_relaxed)) {
        // The device is no longer what the converter was built for: silence until initialised again.
        for (UInt32 b = 0; b < outputData->mNumberBuffers; ++b) {
            if (outputData->mBuffers[b].mData != nullptr) {
                std::memset(outputData->mBuffers[b].mData, 0, outputData->mBuffers[b].mDataByteSize);
            }
        }
        return noErr;
    }
    const UInt64 hostTime = outputTime != nullptr ? outputTime->mHostTime : now != nullptr ? now->mHostTime : 0;
    self->converter_->render(frames, hostTime, outputData);
    return noErr;
}

}  // namespace velunto

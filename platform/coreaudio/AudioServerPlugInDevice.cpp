#include "platform/coreaudio/AudioServerPlugInDevice.h"

#include "platform/mach/RealTimeContext.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/coreaudio/AudioBufferListStorage.h"
#include "platform/coreaudio/AudioServerPlugInDriver.h"
#include "platform/dispatch/HostClock.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

AudioServerPlugInIOCycleInfo cycleInfo(const AudioDeviceIOCycle& cycle) {
    AudioServerPlugInIOCycleInfo info{};
    info.mIOCycleCounter = cycle.counter;
    info.mNominalIOBufferFrameSize = cycle.frames;
    info.mCurrentTime = cycle.now;
    info.mInputTime = cycle.inputTime;
    info.mOutputTime = cycle.outputTime;
    info.mMainHostTicksPerFrame = cycle.hostTicksPerFrame;
    info.mDeviceHostTicksPerFrame = cycle.hostTicksPerFrame;
    return info;
}

}  // namespace

// Real-time: admits one I/O operation unless I/O is paused or the driver is being unloaded.
class AudioServerPlugInDevice::IOScope {
public:
    explicit IOScope(AudioServerPlugInDevice& device) : device_(device), call_(*device.driver_) {
        device_.cyclesInside_.fetch_add(1);
        active_ = static_cast<bool>(call_) && !device_.paused_.load();
    }
    ~IOScope() { device_.cyclesInside_.fetch_sub(1); }
    IOScope(const IOScope&) = delete;
    IOScope& operator=(const IOScope&) = delete;
    explicit operator bool() const { return active_; }

private:
    AudioServerPlugInDevice& device_;
    AudioServerPlugInDriver::Call call_;
    bool active_ = false;
};

AudioServerPlugInDevice::AudioServerPlugInDevice(AudioObjectID objectID, AudioObjectID owner,
                                                 std::shared_ptr<AudioServerPlugInDriver> driver,
                                                 AudioObjectID driverObjectID, std::string uid,
                                                 std::vector<AudioServerPlugInStream> streams)
    : AudioHardwareDevice(objectID, kAudioDeviceClassID, owner),
      driver_(std::move(driver)),
      driverObjectID_(driverObjectID),
      uid_(std::move(uid)),
      streams_(std::move(streams)) {}

OSStatus AudioServerPlugInDevice::readProperty(AudioPropertyRequest& request) const {
    switch (request.address.mSelector) {
        case kAudioDevicePropertyStreamConfiguration:
            return answerStreamConfiguration(request);
        case kAudioDevicePropertyBufferFrameSize:
            if (!driverAnswersBufferFrameSize())
                return request.answer<UInt32>(kHostBufferFrameSize);
            break;
        default:
            break;
    }
    const OSStatus status = driver_->readProperty(driverObjectID_, request);
    if (status == kAudioHardwareUnknownPropertyError)
        return AudioHardwareObject::readProperty(request);
    return status;
}

bool AudioServerPlugInDevice::isPropertySettable(const AudioObjectPropertyAddress& address) const {
    if (address.mSelector == kAudioDevicePropertyStreamConfiguration)
        return false;
    if (address.mSelector == kAudioDevicePropertyBufferFrameSize && !driverAnswersBufferFrameSize())
        return false;
    return driver_->isPropertySettable(driverObjectID_, address);
}

OSStatus AudioServerPlugInDevice::writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                                const void* qualifier, UInt32 dataSize, const void* data) {
    if (address.mSelector == kAudioDevicePropertyStreamConfiguration ||
        (address.mSelector == kAudioDevicePropertyBufferFrameSize && !driverAnswersBufferFrameSize()))
        return kAudioHardwareUnsupportedOperationError;
    return driver_->writeProperty(driverObjectID_, address, qualifierSize, qualifier, dataSize, data);
}

OSStatus AudioServerPlugInDevice::answerStreamConfiguration(AudioPropertyRequest& request) const {
    const AudioObjectPropertyScope scope = request.address.mScope;
    std::vector<UInt32> channels;
    if (scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput) {
        for (const auto& stream : streams_)
            if (stream.isInput == (scope == kAudioObjectPropertyScopeInput))
                channels.push_back(streamChannels(stream.driverID));
    }
    const AudioBufferListStorage list(channels, 0);
    const auto size = channels.empty() ? offsetof(AudioBufferList, mBuffers)
                                       : AudioBufferListStorage::listByteSize(static_cast<UInt32>(channels.size()));
    return request.answerBytes(list.list(), static_cast<UInt32>(size));
}

UInt32 AudioServerPlugInDevice::streamChannels(AudioObjectID driverStreamID) const {
    const auto format =
        driver_->read<AudioStreamBasicDescription>(driverStreamID, globalAddress(kAudioStreamPropertyVirtualFormat));
    return format ? format->mChannelsPerFrame : 0;
}

bool AudioServerPlugInDevice::driverAnswersBufferFrameSize() const {
    return driver_->hasProperty(driverObjectID_, globalAddress(kAudioDevicePropertyBufferFrameSize));
}

UInt32 AudioServerPlugInDevice::bufferFrameSize() const {
    if (driverAnswersBufferFrameSize()) {
        const auto frames = driver_->read<UInt32>(driverObjectID_, globalAddress(kAudioDevicePropertyBufferFrameSize));
        if (frames && *frames > 0)
            return *frames;
    }
    return kHostBufferFrameSize;
}

bool AudioServerPlugInDevice::isAlive() const {
    if (!driver_->isLoaded())
        return false;
    return driver_->read<UInt32>(driverObjectID_, globalAddress(kAudioDevicePropertyDeviceIsAlive)).value_or(1) != 0;
}

bool AudioServerPlugInDevice::isHidden() const {
    return driver_->read<UInt32>(driverObjectID_, globalAddress(kAudioDevicePropertyIsHidden)).value_or(0) != 0;
}

AudioDeviceIOLayout AudioServerPlugInDevice::ioLayout() const {
    AudioDeviceIOLayout layout;
    for (const auto& stream : streams_)
        (stream.isInput ? layout.inputStreams : layout.outputStreams).push_back(streamChannels(stream.driverID));
    layout.bufferFrameSize = bufferFrameSize();
    const auto safetyOffset = [&](AudioObjectPropertyScope scope) {
        const AudioObjectPropertyAddress address{kAudioDevicePropertySafetyOffset, scope,
                                                 kAudioObjectPropertyElementMain};
        return driver_->read<UInt32>(driverObjectID_, address).value_or(0);
    };
    layout.inputSafetyOffset = safetyOffset(kAudioObjectPropertyScopeInput);
    layout.outputSafetyOffset = safetyOffset(kAudioObjectPropertyScopeOutput);
    return layout;
}

AudioDeviceTimeline AudioServerPlugInDevice::timeline() const {
    AudioDeviceTimeline timeline;
    const auto rate = driver_->read<Float64>(driverObjectID_, globalAddress(kAudioDevicePropertyNominalSampleRate));
    if (rate && *rate > 0)
        timeline.framesPerSecond = *rate;
    timeline.anchorHostTime = HostClock::nowNanoseconds();
    AudioServerPlugInDriver::Call call(*driver_);
    if (!call || !driver_->functions().GetZeroTimeStamp)
        return timeline;
    Float64 sampleTime = 0;
    UInt64 hostTime = 0;
    UInt64 seed = 0;
    if (driver_->functions().GetZeroTimeStamp(driver_->driverRef(), driverObjectID_, kClientID, &sampleTime, &hostTime,
                                              &seed) == kAudioHardwareNoError) {
        timeline.anchorSampleTime = sampleTime;
        timeline.anchorHostTime = hostTime;
    }
    return timeline;
}

OSStatus AudioServerPlugInDevice::startIO() {
    std::lock_guard lock(controlMutex_);
    AudioServerPlugInDriver::Call call(*driver_);
    if (!call)
        return kAudioHardwareBadDeviceError;
    const auto& table = driver_->functions();
    if (!table.StartIO || !table.StopIO || !table.GetZeroTimeStamp || !table.WillDoIOOperation ||
        !table.BeginIOOperation || !table.DoIOOperation || !table.EndIOOperation)
        return kAudioHardwareUnsupportedOperationError;
    if (running_)
        return kAudioHardwareNoError;
    prepareBuffersLocked();
    if (OSStatus status = table.StartIO(driver_->driverRef(), driverObjectID_, kClientID);
        status != kAudioHardwareNoError)
        return status;
    running_ = true;
    paused_.store(false);
    return kAudioHardwareNoError;
}

void AudioServerPlugInDevice::stopIO() {
    std::lock_guard lock(controlMutex_);
    if (!running_)
        return;
    running_ = false;
    AudioServerPlugInDriver::Call call(*driver_);
    if (call)
        driver_->functions().StopIO(driver_->driverRef(), driverObjectID_, kClientID);
}

void AudioServerPlugInDevice::prepareBuffersLocked() {
    capacityFrames_ = bufferFrameSize();
    buffers_.clear();
    for (const auto& stream : streams_) {
        const UInt32 channels = streamChannels(stream.driverID);
        buffers_.push_back({stream.driverID, stream.isInput, channels,
                            std::vector<float>(static_cast<std::size_t>(channels) * capacityFrames_)});
    }
}

void AudioServerPlugInDevice::pauseIOLocked() {
    paused_.store(true);
    while (cyclesInside_.load() != 0)
        std::this_thread::yield();  // at most one I/O operation
}

void AudioServerPlugInDevice::performConfigurationChange(UInt64 action, void* info) {
    std::lock_guard lock(controlMutex_);
    const auto& table = driver_->functions();
    const AudioServerPlugInDriverRef ref = driver_->driverRef();
    const bool wasRunning = running_;
    if (wasRunning) {
        pauseIOLocked();
        table.StopIO(ref, driverObjectID_, kClientID);
    }
    const OSStatus status = table.PerformDeviceConfigurationChange
                                ? table.PerformDeviceConfigurationChange(ref, driverObjectID_, action, info)
                                : kAudioHardwareUnsupportedOperationError;
    static const Logger logger("velunto.platform", "AudioServer");
    if (status != kAudioHardwareNoError)
        logger.error("Device %{public}s: configuration change %llu failed with status %{public}s", uid_, action,
                     describeAudioStatus(status));
    if (!wasRunning)
        return;
    prepareBuffersLocked();
    if (OSStatus restart = table.StartIO(ref, driverObjectID_, kClientID); restart != kAudioHardwareNoError) {
        running_ = false;  // stays paused: cycles pass silence until I/O is started again
        logger.error("Device %{public}s: I/O did not restart after a configuration change (status %{public}s)", uid_,
                     describeAudioStatus(restart));
        return;
    }
    paused_.store(false);
}

// Real-time: one IO operation of a cycle over the streams of one direction; `perStream` is called
// with each stream's buffer, its index among those streams and the frames of the cycle.
template <class PerStream>
void AudioServerPlugInDevice::runOperation(UInt32 operation, bool input, const AudioDeviceIOCycle& cycle,
                                           PerStream perStream) {
    IOScope scope(*this);
    if (!scope)
        return;
    const auto& table = driver_->functions();
    const AudioServerPlugInDriverRef ref = driver_->driverRef();
    Boolean willDo = false;
    Boolean inPlace = true;
    if (table.WillDoIOOperation(ref, driverObjectID_, kClientID, operation, &willDo, &inPlace) !=
            kAudioHardwareNoError ||
        !willDo)
        return;
    const AudioServerPlugInIOCycleInfo info = cycleInfo(cycle);
    const UInt32 frames = std::min(cycle.frames, capacityFrames_);
    OSStatus began;
    {
        const RealTimeContext::Scope realTime;
        began = table.BeginIOOperation(ref, driverObjectID_, kClientID, operation, frames, &info);
    }
    if (began != kAudioHardwareNoError)
        return;
    UInt32 index = 0;
    for (auto& buffer : buffers_) {
        if (buffer.isInput != input)
            continue;
        perStream(buffer, index++, frames, [&] {
            const RealTimeContext::Scope realTime;
            table.DoIOOperation(ref, driverObjectID_, buffer.driverID, kClientID, operation, frames, &info,
                                buffer.samples.data(), nullptr);
        });
    }
    const RealTimeContext::Scope realTime;
    table.EndIOOperation(ref, driverObjectID_, kClientID, operation, frames, &info);
}

void AudioServerPlugInDevice::readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) {
    runOperation(kAudioServerPlugInIOOperationReadInput, true, cycle,
                 [&](StreamBuffer& buffer, UInt32 index, UInt32 frames, auto doIO) {
                     doIO();
                     if (index >= input.mNumberBuffers)
                         return;
                     AudioBuffer& target = input.mBuffers[index];
                     const std::size_t bytes = std::min<std::size_t>(
                         target.mDataByteSize, std::size_t{frames} * buffer.channels * sizeof(float));
                     if (bytes > 0)
                         std::memcpy(target.mData, buffer.samples.data(), bytes);
                 });
}

void AudioServerPlugInDevice::writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) {
    runOperation(kAudioServerPlugInIOOperationWriteMix, false, cycle,
                 [&](StreamBuffer& buffer, UInt32 index, UInt32 frames, auto doIO) {
                     // The driver may write into its buffer, so it gets a copy of the mix.
                     const std::size_t capacity = std::size_t{frames} * buffer.channels * sizeof(float);
                     std::size_t bytes = 0;
                     if (index < output.mNumberBuffers) {
                         bytes = std::min<std::size_t>(output.mBuffers[index].mDataByteSize, capacity);
                         if (bytes > 0)
                             std::memcpy(buffer.samples.data(), output.mBuffers[index].mData, bytes);
                     }
                     if (bytes < capacity)
                         std::memset(reinterpret_cast<unsigned char*>(buffer.samples.data()) + bytes, 0,
                                     capacity - bytes);
                     doIO();
                 });
}

}  // namespace velunto

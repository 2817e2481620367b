#include "platform/sim/SimulatedAudioDevice.h"

#include <algorithm>

#include "platform/coreaudio/AudioBufferListStorage.h"
#include "platform/coreaudio/AudioHardwareServer.h"
#include "platform/dispatch/HostClock.h"

namespace velunto {

namespace {

bool isInput(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput;
}

}  // namespace

SimulatedAudioDevice::SimulatedAudioDevice(AudioObjectID objectID, SimulatedDeviceDescription description)
    : AudioHardwareDevice(objectID, kAudioDeviceClassID, kAudioObjectSystemObject),
      description_(std::move(description)),
      nominalRate_(description_.nominalSampleRate),
      generator_(std::make_shared<SimulatedSignalGenerator>(description_.signal)) {
    timeline_.anchorSampleTime = 0;
    timeline_.anchorHostTime = HostClock::nowNanoseconds();
    timeline_.framesPerSecond = nominalRate_ * (1.0 + description_.driftPPM * 1e-6);
}

OSStatus SimulatedAudioDevice::readProperty(AudioPropertyRequest& request) const {
    const auto& d = description_;
    const AudioObjectPropertyScope scope = request.address.mScope;
    switch (request.address.mSelector) {
        case kAudioObjectPropertyName:
            return request.answerString(d.name);
        case kAudioObjectPropertyManufacturer:
            return request.answerString(d.manufacturer);
        case kAudioDevicePropertyDeviceUID:
            return request.answerString(d.uid);
        case kAudioDevicePropertyModelUID:
            return request.answerString(d.uid + ".model");
        case kAudioDevicePropertyTransportType:
            return request.answer<UInt32>(d.transportType);
        case kAudioDevicePropertyDeviceIsAlive:
            return request.answer<UInt32>(isAlive() ? 1 : 0);
        case kAudioDevicePropertyDeviceIsRunning: {
            std::lock_guard lock(mutex_);
            return request.answer<UInt32>(running_ ? 1 : 0);
        }
        case kAudioDevicePropertyIsHidden:
            return request.answer<UInt32>(d.hidden ? 1 : 0);
        case kAudioDevicePropertyDeviceCanBeDefaultDevice: {
            const UInt32 channels = isInput(scope) ? d.inputChannels : d.outputChannels;
            return request.answer<UInt32>(!d.hidden && channels > 0 ? 1 : 0);
        }
        case kAudioDevicePropertyNominalSampleRate: {
            std::lock_guard lock(mutex_);
            return request.answer<Float64>(nominalRate_);
        }
        case kAudioDevicePropertyAvailableNominalSampleRates: {
            std::vector<AudioValueRange> ranges;
            if (d.availableSampleRates.empty())
                ranges.push_back({d.nominalSampleRate, d.nominalSampleRate});
            for (double rate : d.availableSampleRates)
                ranges.push_back({rate, rate});
            return request.answerArray<AudioValueRange>(ranges);
        }
        case kAudioDevicePropertyStreamConfiguration: {
            const UInt32 channels = isInput(scope)                             ? d.inputChannels
                                    : scope == kAudioObjectPropertyScopeOutput ? d.outputChannels
                                                                               : 0;
            AudioBufferListStorage list(channels > 0 ? std::vector<UInt32>{channels} : std::vector<UInt32>{}, 0);
            const auto size = static_cast<UInt32>(AudioBufferListStorage::listByteSize(channels > 0 ? 1 : 0));
            return request.answerBytes(list.list(),
                                       channels > 0 ? size : static_cast<UInt32>(offsetof(AudioBufferList, mBuffers)));
        }
        case kAudioDevicePropertyLatency:
            return request.answer<UInt32>(isInput(scope) ? d.inputLatency : d.outputLatency);
        case kAudioDevicePropertySafetyOffset:
            return request.answer<UInt32>(isInput(scope) ? d.inputSafetyOffset : d.outputSafetyOffset);
        case kAudioDevicePropertyBufferFrameSize:
            return request.answer<UInt32>(d.bufferFrameSize);
        case kAudioDevicePropertyClockDomain:
            return request.answer<UInt32>(0);
        case kAudioAggregateDevicePropertyFullSubDeviceList:
            if (d.transportType != kAudioDeviceTransportTypeAggregate)
                return kAudioHardwareUnknownPropertyError;
            return request.answerStringArray(d.subDeviceUIDs);
        default:
            return AudioHardwareObject::readProperty(request);
    }
}

bool SimulatedAudioDevice::isPropertySettable(const AudioObjectPropertyAddress& address) const {
    return address.mSelector == kAudioDevicePropertyNominalSampleRate && description_.availableSampleRates.size() > 1;
}

OSStatus SimulatedAudioDevice::writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                             const void* qualifier, UInt32 dataSize, const void* data) {
    if (!isPropertySettable(address))
        return AudioHardwareObject::writeProperty(address, qualifierSize, qualifier, dataSize, data);
    if (dataSize != sizeof(Float64))
        return kAudioHardwareBadPropertySizeError;
    Float64 rate;
    std::memcpy(&rate, data, sizeof rate);
    return setNominalSampleRate(rate) ? kAudioHardwareNoError : kAudioDeviceUnsupportedFormatError;
}

bool SimulatedAudioDevice::isAlive() const {
    std::lock_guard lock(mutex_);
    return alive_;
}

AudioDeviceIOLayout SimulatedAudioDevice::ioLayout() const {
    AudioDeviceIOLayout layout;
    if (description_.inputChannels > 0)
        layout.inputStreams.push_back(description_.inputChannels);
    if (description_.outputChannels > 0)
        layout.outputStreams.push_back(description_.outputChannels);
    layout.bufferFrameSize = description_.bufferFrameSize;
    layout.inputSafetyOffset = description_.inputSafetyOffset;
    layout.outputSafetyOffset = description_.outputSafetyOffset;
    return layout;
}

AudioDeviceTimeline SimulatedAudioDevice::timeline() const {
    std::lock_guard lock(mutex_);
    return timeline_;
}

OSStatus SimulatedAudioDevice::startIO() {
    {
        std::lock_guard lock(mutex_);
        if (!alive_)
            return kAudioHardwareNotRunningError;
        running_ = true;
    }
    announce(kAudioDevicePropertyDeviceIsRunning);
    return kAudioHardwareNoError;
}

void SimulatedAudioDevice::stopIO() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    announce(kAudioDevicePropertyDeviceIsRunning);
}

void SimulatedAudioDevice::readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) {
    std::lock_guard lock(mutex_);
    for (UInt32 b = 0; b < input.mNumberBuffers; ++b) {
        AudioBuffer& buffer = input.mBuffers[b];
        generator_->render(cycle.inputTime.mSampleTime, nominalRate_, static_cast<float*>(buffer.mData), cycle.frames,
                           buffer.mNumberChannels);
    }
}

void SimulatedAudioDevice::writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) {
    if (output.mNumberBuffers == 0)
        return;
    std::lock_guard lock(mutex_);
    const AudioBuffer& buffer = output.mBuffers[0];
    const auto* samples = static_cast<const float*>(buffer.mData);
    if (recorder_)
        recorder_->append(samples, cycle.frames);
    if (observer_)
        observer_(cycle.outputTime.mSampleTime, samples, cycle.frames, buffer.mNumberChannels);
}

bool SimulatedAudioDevice::setNominalSampleRate(double rate) {
    const auto& rates = description_.availableSampleRates;
    if (!(rate > 0) || (!rates.empty() && std::find(rates.begin(), rates.end(), rate) == rates.end()))
        return false;
    {
        std::lock_guard lock(mutex_);
        if (rate == nominalRate_)
            return true;
        const std::uint64_t now = HostClock::nowNanoseconds();
        timeline_.anchorSampleTime = timeline_.sampleTimeAt(now);
        timeline_.anchorHostTime = now;
        timeline_.framesPerSecond = rate * (1.0 + description_.driftPPM * 1e-6);
        nominalRate_ = rate;
    }
    announce(kAudioDevicePropertyNominalSampleRate);
    return true;
}

void SimulatedAudioDevice::kill() {
    {
        std::lock_guard lock(mutex_);
        if (!alive_)
            return;
        alive_ = false;
    }
    announce(kAudioDevicePropertyDeviceIsAlive);
}

void SimulatedAudioDevice::setSignal(const SimulatedSignal& signal) {
    auto generator = std::make_shared<const SimulatedSignalGenerator>(signal);
    std::lock_guard lock(mutex_);
    generator_ = std::move(generator);
}

void SimulatedAudioDevice::setRecorder(std::unique_ptr<SimulatedRecorder> recorder) {
    std::unique_ptr<SimulatedRecorder> old;
    std::lock_guard lock(mutex_);
    old = std::move(recorder_);
    recorder_ = std::move(recorder);
}

std::vector<float> SimulatedAudioDevice::recording() const {
    std::lock_guard lock(mutex_);
    return recorder_ ? recorder_->samples() : std::vector<float>{};
}

void SimulatedAudioDevice::setOutputObserver(OutputObserver observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

void SimulatedAudioDevice::announce(AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioHardwareServer::shared().propertiesChanged(objectID(), {&address, 1});
}

}  // namespace velunto

#include "platform/avaudio/AVAudioUnit.h"

#include <cstring>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/avaudio/AVAudioUnitEffect.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

namespace {
const char* const kErrorDomain = "com.apple.coreaudio.avfaudio";
}

AVAudioUnit::AVAudioUnit(AudioUnit unit, std::shared_ptr<AudioUnitBase> object,
                         const AudioComponentDescription& description)
    : unit_(unit), object_(std::move(object)), description_(description) {}

AVAudioUnit::~AVAudioUnit() {
    object_.reset();
    AudioComponentInstanceDispose(unit_);
}

std::shared_ptr<AVAudioUnit> AVAudioUnit::make(const AudioComponentDescription& description, NSError* error) {
    auto& registry = AudioComponentRegistry::shared();
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    AudioUnit unit = nullptr;
    OSStatus status = component ? AudioComponentInstanceNew(component, &unit) : kAudioComponentErr_InstanceInvalidated;
    std::shared_ptr<AudioUnitBase> object = status == 0 ? registry.unit(unit, &status) : nullptr;
    if (!object) {
        if (unit)
            AudioComponentInstanceDispose(unit);
        if (error)
            *error = NSError::withCode(kErrorDomain, status);
        return nullptr;
    }
    AudioComponentDescription actual{};
    AudioComponentGetDescription(component, &actual);
    const bool effect =
        actual.componentType == kAudioUnitType_Effect || actual.componentType == kAudioUnitType_MusicEffect;
    if (effect)
        return std::shared_ptr<AVAudioUnit>(new AVAudioUnitEffect(unit, std::move(object), actual));
    return std::shared_ptr<AVAudioUnit>(new AVAudioUnit(unit, std::move(object), actual));
}

void AVAudioUnit::instantiate(const AudioComponentDescription& description, UInt32,
                              std::function<void(std::shared_ptr<AVAudioUnit>, std::optional<NSError>)> completion) {
    DispatchQueue::global(DispatchQoS::userInitiated).async([description, completion = std::move(completion)] {
        NSError error;
        auto node = make(description, &error);
        if (node)
            completion(std::move(node), std::nullopt);
        else
            completion(nullptr, error);
    });
}

double AVAudioUnit::latency() const {
    Float64 seconds = 0;
    UInt32 size = sizeof seconds;
    if (AudioUnitGetProperty(unit_, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &seconds, &size) != 0)
        return 0;
    return seconds;
}

bool AVAudioUnit::shouldBypassEffect() const {
    UInt32 value = 0;
    UInt32 size = sizeof value;
    return AudioUnitGetProperty(unit_, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &value, &size) ==
               0 &&
           value != 0;
}

void AVAudioUnit::setShouldBypassEffect(bool bypass) {
    const UInt32 value = bypass ? 1 : 0;
    AudioUnitSetProperty(unit_, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &value, sizeof value);
}

void AVAudioUnit::reset() {
    object_->reset();
}

bool AVAudioUnit::prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output, UInt32 maxInputFrames,
                          UInt32& maxOutputFrames, NSError* error) {
    AVAudioNode::prepare(input, output, maxInputFrames, maxOutputFrames, error);
    const AudioStreamBasicDescription format = output.streamDescription();
    AudioUnitUninitialize(unit_);
    OSStatus status =
        AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &format, sizeof format);
    if (status == 0)
        status = AudioUnitSetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &format,
                                      sizeof format);
    if (status == 0)
        status = AudioUnitSetProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                                      &maxInputFrames, sizeof maxInputFrames);
    if (status == 0)
        status = AudioUnitInitialize(unit_);
    if (status != 0 && error)
        *error = NSError::withCode(kErrorDomain, status);
    return status == 0;
}

// Real-time: the unit works in place on a copy of the input.
UInt32 AVAudioUnit::render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames,
                           AVAudioPCMBuffer& output) {
    if (!input)
        return 0;
    float* const* in = input->floatChannelData();
    float* const* out = output.floatChannelData();
    const UInt32 channels = std::min(input->format().channelCount(), output.format().channelCount());
    for (UInt32 c = 0; c < channels; ++c)
        std::memcpy(out[c], in[c], frames * sizeof(float));
    output.setFrameLength(frames);
    AudioUnitRenderActionFlags flags = 0;
    object_->process(&flags, time, frames, *output.mutableAudioBufferList());
    return frames;
}

}  // namespace velunto

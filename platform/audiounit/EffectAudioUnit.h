#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audiounit/AudioUnitBase.h"

namespace velunto {

// A value that moves in a straight line to its target over a fixed number of steps and then equals
// the target exactly. Real-time.
class LinearRamp {
public:
    void setLength(UInt32 steps) { length_ = steps < 1 ? 1 : steps; }
    void jumpTo(float value) {
        current_ = target_ = value;
        remaining_ = 0;
    }
    void rampTo(float target) {
        if (target == target_) {
            return;
        }
        target_ = target;
        remaining_ = length_;
        step_ = (target_ - current_) / static_cast<float>(length_);
    }
    float next() {
        if (remaining_ > 0) {
            current_ = --remaining_ == 0 ? target_ : current_ + step_;
        }
        return current_;
    }
    bool isRamping() const { return remaining_ > 0; }
    float value() const { return current_; }
    float target() const { return target_; }

private:
    float current_ = 0.0f;
    float target_ = 0.0f;
    float step_ = 0.0f;
    UInt32 length_ = 1;
    UInt32 remaining_ = 0;
};

// What every effect unit shares: it processes 32-bit float, non-interleaved audio of 1 or 2 channels
// in place, at any rate from 8000 to 384000 Hz, and keeps its parameters and full state.
//
// Properties (size must be exact on set, at least the value's on get):
// - StreamFormat (8, input or output scope, element 0): setting either scope sets both. Default 48000 Hz,
//   2 channels.
// - MaximumFramesPerSlice (14, global 0, UInt32 1-16384, default 4096).
// - Latency (12, global 0, Float64 seconds, read-only): what the effect reports, which need not be true.
// - BypassEffect (21, global 0, UInt32, non-zero bypasses): the input passes unchanged. A change fades
//   between the effect and the input over 5 ms; the effect keeps running on a copy of the input while
//   bypassed, so leaving bypass resumes from the live signal, not from stale history.
// StreamFormat and MaximumFramesPerSlice answer kAudioUnitErr_Initialized while initialised. Parameters,
// bypass and full state change at any time and take effect with the next block. Do not uninitialise
// or destroy the unit while process() runs.
//
// Full state: a dictionary of "type", "subtype", "manufacturer", "version" (integers), "name" (string)
// and "data": parameter id in decimal → value (real). setFullState refuses a state of another component
// or without a "data" dictionary, and a value that is not a number; ids it does not know are ignored.
class EffectAudioUnit : public AudioUnitBase {
public:
    static constexpr UInt32 kMaxChannels = 2;
    static constexpr UInt32 kLargestSlice = 16384;

    ~EffectAudioUnit() override;

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* outData,
                         UInt32* ioDataSize) override;
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* inData,
                         UInt32 dataSize) override;
    // Allocates every buffer for the stream format and the largest slice.
    OSStatus initialize() override;
    OSStatus uninitialize() override;
    // An effect is not started or stopped: kAudioUnitErr_CannotDoInCurrentContext.
    OSStatus start() override;
    OSStatus stop() override;

    // Real-time. `io` holds one buffer of one channel per channel of the stream format, each with at
    // least `frames` samples. Input flagged kAudioUnitRenderAction_OutputIsSilence is read as zeros.
    OSStatus process(AudioUnitRenderActionFlags* flags, const AudioTimeStamp& time, UInt32 frames,
                     AudioBufferList& io) final;
    // Any thread: the history is cleared at the start of the next block, and a bypass change pending
    // then takes effect without a fade.
    void reset() final;

    std::optional<PropertyListValue> fullState() const override;
    bool setFullState(const PropertyListValue& dictionary) override;

    std::vector<AudioUnitParameterInfo> parameters() const override { return parameterInfo_; }
    std::optional<AudioUnitParameterValue> parameterValue(AudioUnitParameterID id) const override;
    // Clamped into the parameter's range; kAudioUnitErr_InvalidParameterValue for NaN.
    OSStatus setParameterValue(AudioUnitParameterID id, AudioUnitParameterValue value) override;

    const AudioComponentDescription& componentDescription() const { return description_; }
    const std::string& name() const { return name_; }

protected:
    EffectAudioUnit(const AudioComponentDescription& description, std::string name, UInt32 version,
                    std::vector<AudioUnitParameterInfo> parameters);

    // Called by initialize() under the unit's lock: make every buffer the effect needs.
    virtual void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) = 0;
    // Called by uninitialize(): release them.
    virtual void deallocate() {}
    // Real-time: forget all history (delay lines, envelopes, smoothing). Also called after allocate().
    virtual void clear() = 0;
    // Real-time: process channels[0 .. channelCount)[0 .. frames) in place.
    virtual void render(float* const* channels, UInt32 channelCount, UInt32 frames) = 0;
    // The latency the effect reports at this rate; any thread.
    virtual Float64 reportedLatency(Float64 sampleRate) const;

    // Real-time: a parameter's current value (0 for an unknown id).
    AudioUnitParameterValue parameter(AudioUnitParameterID id) const;

private:
    int indexOf(AudioUnitParameterID id) const;

    const AudioComponentDescription description_;
    const std::string name_;
    const UInt32 version_;
    const std::vector<AudioUnitParameterInfo> parameterInfo_;
    const std::unique_ptr<std::atomic<AudioUnitParameterValue>[]> parameterValues_;

    mutable std::mutex mutex_;
    AudioStreamBasicDescription format_;
    UInt32 maxFramesPerSlice_ = 4096;
    std::atomic<bool> initialized_{false};
    std::atomic<bool> bypass_{false};
    std::atomic<bool> resetPending_{false};

    // Fixed from initialize() to uninitialize(); process() uses them.
    UInt32 channels_ = 0;
    UInt32 maxFrames_ = 0;
    std::vector<float> dry_;
    LinearRamp bypassMix_;
};

}  // namespace velunto

#pragma once

#include <vector>

#include "platform/audiounit/EffectAudioUnit.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {

// A chorus: each channel mixes in a copy of itself delayed by 10 ms plus a sine-modulated part of the
// depth (the right channel's modulation a quarter period ahead of the left one's).
class SimulatedChorusEffect final : public EffectAudioUnit {
public:
    enum Parameter : AudioUnitParameterID {
        kRate = 0,   // Hz, 0.05 to 5, default 0.8
        kDepth = 1,  // ms, 0 to 10, default 2
        kMix = 2     // %, 0 to 100, default 50
    };

    static constexpr AudioComponentDescription kDescription{kAudioUnitType_MusicEffect, kSimulatedChorusSubType,
                                                            kSimulatedEffectManufacturer, 0, 0};
    static constexpr const char* kName = "Velunto Sim: Chorus";

    SimulatedChorusEffect();

protected:
    void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) override;
    void deallocate() override;
    void clear() override;
    void render(float* const* channels, UInt32 channelCount, UInt32 frames) override;

private:
    Float64 sampleRate_ = 48000.0;
    std::vector<float> ring_;  // ringFrames_ per channel
    UInt32 ringFrames_ = 0;    // a power of two
    UInt32 write_ = 0;
    double phase_ = 0.0;  // of the modulation, in periods
};

}  // namespace velunto

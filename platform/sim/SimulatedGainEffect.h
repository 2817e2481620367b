#pragma once

#include "platform/audiounit/EffectAudioUnit.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {

// Scales every channel by a gain in dB. A change glides over 5 ms.
class SimulatedGainEffect final : public EffectAudioUnit {
public:
    enum Parameter : AudioUnitParameterID {
        kGain = 0  // dB, -96 to +24, default 0
    };

    static constexpr AudioComponentDescription kDescription{kAudioUnitType_Effect, kSimulatedGainSubType,
                                                            kSimulatedEffectManufacturer, 0, 0};
    static constexpr const char* kName = "Velunto Sim: Gain";

    SimulatedGainEffect();

protected:
    void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) override;
    void clear() override;
    void render(float* const* channels, UInt32 channelCount, UInt32 frames) override;

private:
    float targetFactor() const;

    LinearRamp factor_;
};

}  // namespace velunto

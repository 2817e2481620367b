#pragma once

#include "platform/audiounit/EffectAudioUnit.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {

// Silences the signal while its peak level (the loudest channel, falling with a 20 ms time constant)
// is under the threshold. The gate opens with the attack time constant and closes with the release
// one; it starts closed.
class SimulatedNoiseGateEffect final : public EffectAudioUnit {
public:
    enum Parameter : AudioUnitParameterID {
        kThreshold = 0,  // dB, -96 to 0, default -40
        kAttack = 1,     // ms, 0.1 to 100, default 1
        kRelease = 2     // ms, 1 to 2000, default 100
    };

    static constexpr AudioComponentDescription kDescription{kAudioUnitType_Effect, kSimulatedNoiseGateSubType,
                                                            kSimulatedEffectManufacturer, 0, 0};
    static constexpr const char* kName = "Velunto Sim: Noise Gate";

    SimulatedNoiseGateEffect();

protected:
    void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) override;
    void clear() override;
    void render(float* const* channels, UInt32 channelCount, UInt32 frames) override;

private:
    float coefficient(Float64 milliseconds) const;

    Float64 sampleRate_ = 48000.0;
    float envelope_ = 0.0f;
    float gain_ = 0.0f;
};

}  // namespace velunto

#pragma once

#include "platform/audiounit/EffectAudioUnit.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {

// Flips the sign of every channel while Invert is on. Switching fades through zero over 5 ms.
class SimulatedPolarityEffect final : public EffectAudioUnit {
public:
    enum Parameter : AudioUnitParameterID {
        kInvert = 0  // 0 or 1 (at least 0.5 counts as on), default 1
    };

    static constexpr AudioComponentDescription kDescription{kAudioUnitType_Effect, kSimulatedPolaritySubType,
                                                            kSimulatedEffectManufacturer, 0, 0};
    static constexpr const char* kName = "Velunto Sim: Polarity";

    SimulatedPolarityEffect();

protected:
    void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) override;
    void clear() override;
    void render(float* const* channels, UInt32 channelCount, UInt32 frames) override;

private:
    float targetSign() const;

    LinearRamp sign_;
};

}  // namespace velunto

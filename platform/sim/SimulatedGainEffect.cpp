#include "platform/sim/SimulatedGainEffect.h"

#include <cmath>

namespace velunto {

SimulatedGainEffect::SimulatedGainEffect()
    : EffectAudioUnit(kDescription, kName, kSimulatedEffectVersion, {{kGain, "Gain", -96.0f, 24.0f, 0.0f, "dB"}}) {}

void SimulatedGainEffect::allocate(Float64 sampleRate, UInt32 /*channels*/, UInt32 /*maxFrames*/) {
    factor_.setLength(static_cast<UInt32>(std::lround(0.005 * sampleRate)));
}

void SimulatedGainEffect::clear() {
    factor_.jumpTo(targetFactor());
}

void SimulatedGainEffect::render(float* const* channels, UInt32 channelCount, UInt32 frames) {
    factor_.rampTo(targetFactor());
    for (UInt32 i = 0; i < frames; ++i) {
        const float factor = factor_.next();
        for (UInt32 c = 0; c < channelCount; ++c) {
            channels[c][i] *= factor;
        }
    }
}

float SimulatedGainEffect::targetFactor() const {
    return std::pow(10.0f, parameter(kGain) / 20.0f);
}

}  // namespace velunto

#include "platform/sim/SimulatedPolarityEffect.h"

#include <cmath>

namespace velunto {

SimulatedPolarityEffect::SimulatedPolarityEffect()
    : EffectAudioUnit(kDescription, kName, kSimulatedEffectVersion,
                      {{kInvert, "Invert", 0.0f, 1.0f, 1.0f, "boolean"}}) {}

void SimulatedPolarityEffect::allocate(Float64 sampleRate, UInt32 /*channels*/, UInt32 /*maxFrames*/) {
    sign_.setLength(static_cast<UInt32>(std::lround(0.005 * sampleRate)));
}

void SimulatedPolarityEffect::clear() {
    sign_.jumpTo(targetSign());
}

void SimulatedPolarityEffect::render(float* const* channels, UInt32 channelCount, UInt32 frames) {
    sign_.rampTo(targetSign());
    for (UInt32 i = 0; i < frames; ++i) {
        const float sign = sign_.next();
        for (UInt32 c = 0; c < channelCount; ++c) {
            channels[c][i] *= sign;
        }
    }
}

float SimulatedPolarityEffect::targetSign() const {
    return parameter(kInvert) >= 0.5f ? -1.0f : 1.0f;
}

}  // namespace velunto

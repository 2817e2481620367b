#include "platform/sim/SimulatedNoiseGateEffect.h"

#include <algorithm>
#include <cmath>

namespace velunto {

namespace {
constexpr Float64 kDetectorMilliseconds = 20.0;
// Below this a decaying level counts as zero (and never turns denormal).
constexpr float kFloor = 1e-9f;
}  // namespace

SimulatedNoiseGateEffect::SimulatedNoiseGateEffect()
    : EffectAudioUnit(kDescription, kName, kSimulatedEffectVersion,
                      {{kThreshold, "Threshold", -96.0f, 0.0f, -40.0f, "dB"},
                       {kAttack, "Attack", 0.1f, 100.0f, 1.0f, "ms"},
                       {kRelease, "Release", 1.0f, 2000.0f, 100.0f, "ms"}}) {}

void SimulatedNoiseGateEffect::allocate(Float64 sampleRate, UInt32 /*channels*/, UInt32 /*maxFrames*/) {
    sampleRate_ = sampleRate;
}

void SimulatedNoiseGateEffect::clear() {
    envelope_ = 0.0f;
    gain_ = 0.0f;
}

void SimulatedNoiseGateEffect::render(float* const* channels, UInt32 channelCount, UInt32 frames) {
    const float threshold = std::pow(10.0f, parameter(kThreshold) / 20.0f);
    const float attack = coefficient(parameter(kAttack));
    const float release = coefficient(parameter(kRelease));
    const float detector = coefficient(kDetectorMilliseconds);
    for (UInt32 i = 0; i < frames; ++i) {
        float peak = 0.0f;
        for (UInt32 c = 0; c < channelCount; ++c) {
            peak = std::max(peak, std::fabs(channels[c][i]));
        }
        envelope_ = std::max(peak, envelope_ * detector);
        if (envelope_ < kFloor) {
            envelope_ = 0.0f;
        }
        const float target = envelope_ >= threshold ? 1.0f : 0.0f;
        gain_ = target + (gain_ - target) * (target > gain_ ? attack : release);
        if (gain_ < kFloor) {
            gain_ = 0.0f;
        }
        for (UInt32 c = 0; c < channelCount; ++c) {
            channels[c][i] *= gain_;
        }
    }
}

// The per-sample factor of a one-pole smoother with this time constant.
float SimulatedNoiseGateEffect::coefficient(Float64 milliseconds) const {
    return static_cast<float>(std::exp(-1000.0 / (milliseconds * sampleRate_)));
}

}  // namespace velunto

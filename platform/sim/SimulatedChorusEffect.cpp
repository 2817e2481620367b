#include "platform/sim/SimulatedChorusEffect.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace velunto {

namespace {
constexpr double kBaseDelaySeconds = 0.010;
constexpr double kMaxDepthSeconds = 0.010;
}  // namespace

SimulatedChorusEffect::SimulatedChorusEffect()
    : EffectAudioUnit(kDescription, kName, kSimulatedEffectVersion,
                      {{kRate, "Rate", 0.05f, 5.0f, 0.8f, "Hz"},
                       {kDepth, "Depth", 0.0f, 10.0f, 2.0f, "ms"},
                       {kMix, "Mix", 0.0f, 100.0f, 50.0f, "%"}}) {}

void SimulatedChorusEffect::allocate(Float64 sampleRate, UInt32 channels, UInt32 /*maxFrames*/) {
    sampleRate_ = sampleRate;
    const auto longest = static_cast<UInt32>(std::ceil((kBaseDelaySeconds + kMaxDepthSeconds) * sampleRate)) + 2;
    ringFrames_ = std::bit_ceil(longest);
    ring_.assign(static_cast<std::size_t>(channels) * ringFrames_, 0.0f);
}

void SimulatedChorusEffect::deallocate() {
    ring_ = {};
    ringFrames_ = 0;
}

void SimulatedChorusEffect::clear() {
    std::fill(ring_.begin(), ring_.end(), 0.0f);
    write_ = 0;
    phase_ = 0.0;
}

void SimulatedChorusEffect::render(float* const* channels, UInt32 channelCount, UInt32 frames) {
    const UInt32 mask = ringFrames_ - 1;
    const double step = parameter(kRate) / sampleRate_;
    const double base = kBaseDelaySeconds * sampleRate_;
    const double depth = parameter(kDepth) * 0.001 * sampleRate_;
    const float wet = parameter(kMix) / 100.0f;
    for (UInt32 i = 0; i < frames; ++i) {
        for (UInt32 c = 0; c < channelCount; ++c) {
            float* ring = ring_.data() + static_cast<std::size_t>(c) * ringFrames_;
            const float dry = channels[c][i];
            ring[write_] = dry;
            const double sway = 0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * (phase_ + 0.25 * c));
            const double position = write_ + ringFrames_ - (base + depth * sway);
            const double whole = std::floor(position);
            const auto index = static_cast<UInt32>(whole);
            const auto fraction = static_cast<float>(position - whole);
            const float delayed = ring[index & mask] * (1.0f - fraction) + ring[(index + 1) & mask] * fraction;
            channels[c][i] = dry * (1.0f - wet) + delayed * wet;
        }
        write_ = (write_ + 1) & mask;
        phase_ += step;
        if (phase_ >= 1.0) {
            phase_ -= 1.0;
        }
    }
}

}  // namespace velunto

#include "platform/sim/SimulatedDelayEffect.h"

#include <algorithm>
#include <cmath>

namespace velunto {

SimulatedDelayEffect::SimulatedDelayEffect()
    : EffectAudioUnit(kDescription, kName, kSimulatedEffectVersion,
                      {{kDelayFrames, "Delay", 0.0f, static_cast<float>(kMaxDelayFrames), 480.0f, "samples"},
                       {kLatencyReporting, "Reported Latency", 0.0f, 2.0f, 0.0f, "indexed"}}) {}

void SimulatedDelayEffect::allocate(Float64 /*sampleRate*/, UInt32 channels, UInt32 /*maxFrames*/) {
    ring_.assign(static_cast<std::size_t>(channels) * kRingFrames, 0.0f);
}

void SimulatedDelayEffect::deallocate() {
    ring_ = {};
}

void SimulatedDelayEffect::clear() {
    std::fill(ring_.begin(), ring_.end(), 0.0f);
    write_ = 0;
}

void SimulatedDelayEffect::render(float* const* channels, UInt32 channelCount, UInt32 frames) {
    constexpr UInt32 mask = kRingFrames - 1;
    const UInt32 delay = delayFrames();
    for (UInt32 c = 0; c < channelCount; ++c) {
        float* ring = ring_.data() + static_cast<std::size_t>(c) * kRingFrames;
        float* samples = channels[c];
        UInt32 write = write_;
        for (UInt32 i = 0; i < frames; ++i) {
            ring[write] = samples[i];
            samples[i] = ring[(write - delay) & mask];
            write = (write + 1) & mask;
        }
    }
    write_ = (write_ + frames) & mask;
}

Float64 SimulatedDelayEffect::reportedLatency(Float64 sampleRate) const {
    const Float64 seconds = delayFrames() / sampleRate;
    switch (std::lround(parameter(kLatencyReporting))) {
        case kReportHalfDelay:
            return seconds / 2.0;
        case kReportNoDelay:
            return 0.0;
        default:
            return seconds;
    }
}

UInt32 SimulatedDelayEffect::delayFrames() const {
    return static_cast<UInt32>(std::clamp(std::lround(parameter(kDelayFrames)), 0L, long{kMaxDelayFrames}));
}

}  // namespace velunto

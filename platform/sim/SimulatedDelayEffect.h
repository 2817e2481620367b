#pragma once

#include <vector>

#include "platform/audiounit/EffectAudioUnit.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {

// A pure delay, exact to the sample, whose reported latency can be made wrong on purpose: the
// stand-in for a plug-in that misreports its delay.
class SimulatedDelayEffect final : public EffectAudioUnit {
public:
    enum Parameter : AudioUnitParameterID {
        kDelayFrames = 0,      // samples, 0-24000 (rounded), default 480
        kLatencyReporting = 1  // a LatencyReporting value, default true
    };
    enum LatencyReporting { kReportTrueDelay = 0, kReportHalfDelay = 1, kReportNoDelay = 2 };

    static constexpr UInt32 kMaxDelayFrames = 24000;  // half a second: beyond what a latency measurement searches
    static constexpr AudioComponentDescription kDescription{kAudioUnitType_Effect, kSimulatedDelaySubType,
                                                            kSimulatedEffectManufacturer, 0, 0};
    static constexpr const char* kName = "Velunto Sim: Delay";

    SimulatedDelayEffect();

protected:
    void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) override;
    void deallocate() override;
    void clear() override;
    void render(float* const* channels, UInt32 channelCount, UInt32 frames) override;
    Float64 reportedLatency(Float64 sampleRate) const override;

private:
    static constexpr UInt32 kRingFrames = 32768;
    static_assert(kRingFrames > kMaxDelayFrames && (kRingFrames & (kRingFrames - 1)) == 0);

    UInt32 delayFrames() const;

    std::vector<float> ring_;  // kRingFrames per channel
    UInt32 write_ = 0;
};

}  // namespace velunto

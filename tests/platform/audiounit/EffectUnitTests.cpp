#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/sim/SimulatedChorusEffect.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedGainEffect.h"
#include "platform/sim/SimulatedNoiseGateEffect.h"
#include "platform/sim/SimulatedPolarityEffect.h"
#include "tests/platform/audiounit/AllocationCounter.h"
#include "tests/platform/audiounit/EffectUnitDriver.h"

namespace velunto {
namespace {

using namespace effecttest;

// Processes the whole signal in blocks; `beforeBlock(i)` runs before block i.
void processAll(AudioUnitBase& unit, Signal& signal, UInt32 block,
                const std::function<void(std::size_t)>& beforeBlock = {}) {
    for (std::size_t offset = 0, i = 0; offset < signal[0].size(); offset += block, ++i) {
        if (beforeBlock) {
            beforeBlock(i);
        }
        const auto frames = static_cast<UInt32>(std::min<std::size_t>(block, signal[0].size() - offset));
        ASSERT_EQ(processSpan(unit, signal, offset, frames), noErr);
    }
}

std::vector<float> noise(std::size_t frames, unsigned seed, float amplitude = 0.5f) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    std::vector<float> samples(frames);
    for (float& s : samples) {
        s = uniform(random);
    }
    return samples;
}

Float64 latency(AudioUnitBase& unit) {
    Float64 seconds = -1.0;
    UInt32 size = sizeof(seconds);
    EXPECT_EQ(unit.getProperty(kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &seconds, &size), noErr);
    return seconds;
}

void setBypass(AudioUnitBase& unit, UInt32 on) {
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &on, sizeof(on)), noErr);
}

TEST(EffectUnits, DelayIsSampleExactAndReportsItsLatencyInEachMode) {
    SimulatedDelayEffect delay;
    ASSERT_EQ(delay.setParameterValue(SimulatedDelayEffect::kDelayFrames, 1000.0f), noErr);
    prepare(delay, 44100.0, 2, 256);
    Signal signal{std::vector<float>(40000, 0.0f), noise(40000, 7)};  // longer than the ring: it wraps
    signal[0][37] = 1.0f;
    const std::vector<float> input = signal[1];
    processAll(delay, signal, 256);
    for (std::size_t n = 0; n < signal[0].size(); ++n) {
        ASSERT_EQ(signal[0][n], n == 1037 ? 1.0f : 0.0f) << "left, frame " << n;
        ASSERT_EQ(signal[1][n], n < 1000 ? 0.0f : input[n - 1000]) << "right, frame " << n;
    }

    EXPECT_DOUBLE_EQ(latency(delay), 1000.0 / 44100.0);
    delay.setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportHalfDelay);
    EXPECT_DOUBLE_EQ(latency(delay), 500.0 / 44100.0);
    delay.setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportNoDelay);
    EXPECT_EQ(latency(delay), 0.0);
    const Float64 seconds = 1.0;
    EXPECT_EQ(delay.setProperty(kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &seconds, sizeof(seconds)),
              kAudioUnitErr_PropertyNotWritable);
}

TEST(EffectUnits, GainScalesInDecibelsAndPolarityFlipsTheSign) {
    SimulatedGainEffect gain;
    gain.setParameterValue(SimulatedGainEffect::kGain, 20.0f);
    prepare(gain, 8000.0, 1);
    SimulatedPolarityEffect polarity;
    prepare(polarity, 384000.0, 2);
    const std::vector<float> input = noise(3000, 3, 0.05f);
    Signal louder{input};
    Signal flipped{input, input};
    processAll(gain, louder, 512);
    processAll(polarity, flipped, 512);
    for (std::size_t n = 0; n < input.size(); ++n) {
        ASSERT_FLOAT_EQ(louder[0][n], 10.0f * input[n]);
        ASSERT_EQ(flipped[0][n], -input[n]);
        ASSERT_EQ(flipped[1][n], -input[n]);
    }
}

TEST(EffectUnits, BypassFadesToTheUnchangedInputWithoutAClick) {
    SimulatedPolarityEffect polarity;  // the hardest case: bypass toggles between x and -x
    prepare(polarity, 48000.0, 1);
    std::vector<float> sine(48000);
    for (std::size_t n = 0; n < sine.size(); ++n) {
        sine[n] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * 100.0 * n / 48000.0));
    }
    Signal signal{sine};
    processAll(polarity, signal, 64, [&](std::size_t block) {
        if (block == 100 || block == 400) {
            setBypass(polarity, block == 100 ? 1 : 0);
        }
    });
    const std::size_t fade = 240;  // 5 ms
    float largestStep = 0.0f;
    for (std::size_t n = 1; n < sine.size(); ++n) {
        largestStep = std::max(largestStep, std::fabs(signal[0][n] - signal[0][n - 1]));
    }
    EXPECT_LT(largestStep, 0.02f) << "a sine step is at most 0.0066, a hard switch would jump up to 1";
    for (std::size_t n = 0; n < sine.size(); ++n) {
        if (n < 6400 || (n >= 6400 + fade && n < 25600) || n >= 25600 + fade) {
            const bool bypassed = n >= 6400 && n < 25600;
            ASSERT_EQ(signal[0][n], bypassed ? sine[n] : -sine[n]) << "frame " << n;
        }
    }
}

TEST(EffectUnits, FullStateRestoresParametersAndRefusesAnotherComponentsState) {
    SimulatedDelayEffect original;
    original.setParameterValue(SimulatedDelayEffect::kDelayFrames, 1234.0f);
    original.setParameterValue(SimulatedDelayEffect::kLatencyReporting, 2.0f);
    const auto state = original.fullState();
    ASSERT_TRUE(state.has_value());
    const auto& dictionary = state->get<PropertyListValue::Dictionary>();
    EXPECT_EQ(dictionary.at("type"), PropertyListValue(OSType{kAudioUnitType_Effect}));
    EXPECT_EQ(dictionary.at("manufacturer"), PropertyListValue(OSType{kSimulatedEffectManufacturer}));
    EXPECT_EQ(dictionary.at("name"), PropertyListValue("Velunto Sim: Delay"));

    SimulatedDelayEffect fresh;
    ASSERT_TRUE(fresh.setFullState(*state));
    EXPECT_EQ(fresh.parameterValue(SimulatedDelayEffect::kDelayFrames), 1234.0f);
    EXPECT_EQ(fresh.parameterValue(SimulatedDelayEffect::kLatencyReporting), 2.0f);
    EXPECT_EQ(fresh.fullState(), state);

    SimulatedGainEffect gain;
    gain.setParameterValue(SimulatedGainEffect::kGain, -12.0f);
    SimulatedDelayEffect other;
    EXPECT_FALSE(other.setFullState(*gain.fullState())) << "state of another subtype";
    EXPECT_FALSE(other.setFullState(PropertyListValue("not a dictionary")));
    auto malformed = *state;
    malformed.get<PropertyListValue::Dictionary>()["data"] = PropertyListValue::Dictionary{{"0", 5.0}, {"1", "two"}};
    EXPECT_FALSE(other.setFullState(malformed)) << "a value that is not a number";
    EXPECT_EQ(other.parameterValue(SimulatedDelayEffect::kDelayFrames), 480.0f) << "refused states change nothing";

    auto extended = *state;
    extended.get<PropertyListValue::Dictionary>()["data"] =
        PropertyListValue::Dictionary{{"0", 99999}, {"77", 1.0}, {"x", 2.0}};
    EXPECT_TRUE(other.setFullState(extended)) << "unknown ids are ignored";
    EXPECT_EQ(other.parameterValue(SimulatedDelayEffect::kDelayFrames), 24000.0f) << "clamped into range";
    EXPECT_EQ(other.parameterValue(77), std::nullopt);
    EXPECT_EQ(other.setParameterValue(77, 1.0f), kAudioUnitErr_InvalidParameter);
}

TEST(EffectUnits, FormatsAreCheckedAndFixedWhileInitialised) {
    SimulatedGainEffect gain;
    const AudioStreamBasicDescription mono = floatFormat(22050.0, 1);
    ASSERT_EQ(gain.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 0, &mono, sizeof(mono)), noErr);
    AudioStreamBasicDescription read{};
    UInt32 size = sizeof(read);
    ASSERT_EQ(gain.getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &read, &size), noErr);
    EXPECT_EQ(read.mChannelsPerFrame, 1u) << "both scopes share one format";
    EXPECT_EQ(read.mSampleRate, 22050.0);

    for (AudioStreamBasicDescription bad : {floatFormat(48000.0, 3), floatFormat(4000.0, 1), floatFormat(48000.0, 2)}) {
        if (bad.mChannelsPerFrame == 2) {
            bad.mFormatFlags &= ~UInt32{kAudioFormatFlagIsNonInterleaved};
        }
        EXPECT_EQ(gain.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &bad, sizeof(bad)),
                  kAudioUnitErr_FormatNotSupported);
    }
    ASSERT_EQ(gain.initialize(), noErr);
    EXPECT_EQ(gain.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &mono, sizeof(mono)),
              kAudioUnitErr_Initialized);
    Signal tooLong{std::vector<float>(4097)};
    EXPECT_EQ(processSpan(gain, tooLong, 0, 4097), kAudioUnitErr_TooManyFramesToProcess);
    std::vector<float> stale(64, 0.7f);
    AudioBufferList one{1, {{1, 64 * sizeof(float), stale.data()}}};
    AudioUnitRenderActionFlags flags = kAudioUnitRenderAction_OutputIsSilence;
    ASSERT_EQ(gain.process(&flags, AudioTimeStamp{}, 64, one), noErr);
    EXPECT_EQ(stale, std::vector<float>(64, 0.0f)) << "input flagged silent is read as zeros";
    Signal stereo{std::vector<float>(64), std::vector<float>(64)};
    EXPECT_EQ(processSpan(gain, stereo, 0, 64), kAudioUnitErr_InvalidParameter) << "two buffers for one channel";
}

TEST(EffectUnits, EveryEffectProcessesWithoutAllocatingAtAnyRateAndChannelCount) {
    const std::vector<std::function<std::unique_ptr<EffectAudioUnit>()>> makers{
        [] { return std::make_unique<SimulatedDelayEffect>(); }, [] { return std::make_unique<SimulatedGainEffect>(); },
        [] { return std::make_unique<SimulatedPolarityEffect>(); },
        [] { return std::make_unique<SimulatedNoiseGateEffect>(); },
        [] { return std::make_unique<SimulatedChorusEffect>(); }};
    for (const auto& make : makers) {
        for (const auto& [rate, channels] : {std::pair{8000.0, 1u}, std::pair{96000.0, 2u}, std::pair{384000.0, 2u}}) {
            auto unit = make();
            prepare(*unit, rate, channels, 512);
            Signal signal(channels, noise(512 * 40, 11));
            test::AllocationCounter counter;
            processAll(*unit, signal, 512, [&](std::size_t block) {
                if (block == 10 || block == 20) {
                    setBypass(*unit, block == 10 ? 1 : 0);
                }
                if (block == 30) {
                    unit->reset();
                }
            });
            EXPECT_EQ(counter.count(), 0u) << unit->name() << " at " << rate;
            for (const auto& channel : signal) {
                for (float s : channel) {
                    ASSERT_TRUE(std::isfinite(s)) << unit->name();
                }
            }
        }
    }
}

TEST(EffectUnits, NoiseGateSilencesQuietSignalsAndChorusDelaysItsWetPart) {
    SimulatedNoiseGateEffect gate;  // threshold -40 dB
    prepare(gate, 48000.0, 1);
    Signal quiet{noise(48000, 5, 0.005f)};  // about -46 dB peak
    Signal loud{noise(48000, 6, 0.1f)};
    const std::vector<float> loudInput = loud[0];
    processAll(gate, quiet, 480);
    processAll(gate, loud, 480);
    EXPECT_TRUE(std::all_of(quiet[0].begin(), quiet[0].end(), [](float s) { return s == 0.0f; }));
    EXPECT_NEAR(loud[0].back(), loudInput.back(), 1e-6f) << "open after the attack";

    SimulatedChorusEffect chorus;  // wet only and unmodulated: the 10 ms base delay alone
    chorus.setParameterValue(SimulatedChorusEffect::kMix, 100.0f);
    chorus.setParameterValue(SimulatedChorusEffect::kDepth, 0.0f);
    prepare(chorus, 48000.0, 2);
    Signal signal{noise(5000, 8), noise(5000, 9)};
    const Signal input = signal;
    processAll(chorus, signal, 1000);
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t n = 0; n < 5000; ++n) {
            ASSERT_EQ(signal[c][n], n < 480 ? 0.0f : input[c][n - 480]) << "channel " << c << ", frame " << n;
        }
    }
}

TEST(EffectUnits, AdoptedUnitsWorkThroughTheCInterfaceUntilDisposed) {
    EXPECT_EQ(AudioComponentRegistry::shared().adopt(nullptr), nullptr);
    AudioUnit unit = AudioComponentRegistry::shared().adopt(std::make_unique<SimulatedDelayEffect>());
    ASSERT_NE(unit, nullptr);
    std::weak_ptr<AudioUnitBase> object = AudioComponentRegistry::shared().unit(unit, nullptr);
    const AudioStreamBasicDescription mono = floatFormat(48000.0, 1);
    ASSERT_EQ(
        AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &mono, sizeof(mono)),
        noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);

    std::vector<float> samples(400, 0.0f);
    samples[0] = 1.0f;
    AudioBufferList list{1, {{1, 400 * sizeof(float), samples.data()}}};
    const AudioTimeStamp time{};
    ASSERT_EQ(AudioUnitProcess(unit, nullptr, &time, 400, &list), noErr);
    EXPECT_EQ(samples[0], 0.0f) << "the impulse is still in the delay line";
    EXPECT_EQ(AudioUnitReset(unit, kAudioUnitScope_Input, 0), kAudioUnitErr_InvalidScope);
    ASSERT_EQ(AudioUnitReset(unit, kAudioUnitScope_Global, 0), noErr);
    ASSERT_EQ(AudioUnitProcess(unit, nullptr, &time, 400, &list), noErr);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.0f; }))
        << "reset cleared the delay line";

    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    EXPECT_TRUE(object.expired());
    EXPECT_EQ(AudioUnitProcess(unit, nullptr, &time, 400, &list), kAudioComponentErr_InstanceInvalidated);
    EXPECT_EQ(AudioUnitProcess(nullptr, nullptr, &time, 400, &list), kAudioUnitErr_InvalidParameter);
}

}  // namespace
}  // namespace velunto

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "platform/avaudio/AVAudioUnit.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/lv2/LV2EffectAudioUnit.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "tests/platform/audiounit/AllocationCounter.h"
#include "tests/platform/lv2/LV2TestSupport.h"
#include "tests/support/ChildProcess.h"

namespace velunto {
namespace {

using namespace lv2test;

// dpl's ports
constexpr AudioUnitParameterID kLimiterEnable = 2;
constexpr AudioUnitParameterID kLimiterGain = 3;  // dB
constexpr AudioUnitParameterID kLimiterThreshold = 4;
constexpr AudioUnitParameterID kLimiterTruePeak = 6;  // toggled, integer
constexpr AudioUnitParameterID kAmpGain = 0;          // dB
constexpr const char* kDelay = "http://plugin.org.uk/swh-plugins/delay_n";
constexpr AudioUnitParameterID kDelayTime = 3;  // seconds

std::unique_ptr<LV2EffectAudioUnit> makeUnit(const char* uri) {
    const LV2PluginCatalog& catalog = LV2PluginCatalog::shared();
    const LV2PluginDescription* plugin = catalog.find(uri);
    return plugin == nullptr ? nullptr : catalog.makeUnit(*plugin);
}

Signal impulse(UInt32 channels, std::size_t length, std::size_t at, float height) {
    Signal signal(channels, std::vector<float>(length, 0.0f));
    for (auto& channel : signal) {
        channel[at] = height;
    }
    return signal;
}

Signal sine(UInt32 channels, std::size_t length, float amplitude) {
    Signal signal(channels, std::vector<float>(length));
    for (std::size_t i = 0; i < length; ++i) {
        const float value = amplitude * static_cast<float>(std::sin(2.0 * 3.141592653589793 * 440.0 * i / 48000.0));
        for (auto& channel : signal) {
            channel[i] = value;
        }
    }
    return signal;
}

float peak(const std::vector<float>& samples, std::size_t from) {
    float result = 0.0f;
    for (std::size_t i = from; i < samples.size(); ++i) {
        result = std::max(result, std::fabs(samples[i]));
    }
    return result;
}

// A copy of the dictionary in `value`, empty for anything else.
PropertyListValue::Dictionary dictionaryOf(const PropertyListValue& value) {
    const auto* dictionary = value.dictionary();
    return dictionary == nullptr ? PropertyListValue::Dictionary() : *dictionary;
}

std::string lv2State(const PropertyListValue& state) {
    const auto dictionary = dictionaryOf(state);
    const auto it = dictionary.find(LV2EffectAudioUnit::kLV2StateKey);
    return it == dictionary.end() || it->second.string() == nullptr ? std::string() : *it->second.string();
}

PropertyListValue withLV2State(const PropertyListValue& state, std::string text) {
    auto dictionary = dictionaryOf(state);
    dictionary.insert_or_assign(LV2EffectAudioUnit::kLV2StateKey, PropertyListValue(std::move(text)));
    return PropertyListValue(std::move(dictionary));
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(LV2EffectAudioUnit, AmpAppliesItsGainInDecibelsPerChannel) {
    auto unit = makeUnit(kAmp);
    if (!unit) {
        GTEST_SKIP() << kAmp << " is not installed (Debian package swh-lv2)";
    }
    const auto parameters = unit->parameters();
    ASSERT_EQ(parameters.size(), 1u);
    EXPECT_EQ(parameters[0].id, kAmpGain);
    EXPECT_FLOAT_EQ(parameters[0].minValue, -70.0f);
    EXPECT_FLOAT_EQ(parameters[0].maxValue, 70.0f);
    EXPECT_FALSE(unit->bypassesThroughEnablePort());

    prepare(*unit, 48000.0, 2, 512);
    EXPECT_EQ(unit->instanceCount(), 2u);  // a mono plug-in runs once per channel
    ASSERT_EQ(unit->setParameterValue(kAmpGain, 20.0f), noErr);
    Signal signal(2, std::vector<float>(1000));
    for (std::size_t i = 0; i < 1000; ++i) {
        signal[0][i] = 0.01f * static_cast<float>(i % 7);
        signal[1][i] = -0.02f;
    }
    const Signal input = signal;
    ASSERT_TRUE(processAll(*unit, signal, 512));
    for (std::size_t i = 0; i < 1000; ++i) {
        EXPECT_NEAR(signal[0][i], input[0][i] * 10.0f, 1e-5f) << i;
        EXPECT_NEAR(signal[1][i], input[1][i] * 10.0f, 1e-5f) << i;
    }
}

TEST(LV2EffectAudioUnit, InstantiatesThroughTheComponentRegistry) {
    const LV2PluginCatalog& catalog = LV2PluginCatalog::shared();
    VELUNTO_REQUIRE_LV2_PLUGIN(catalog, kLimiterMono);
    LV2PluginCatalog::registerInstalledPlugins();
    NSError error;
    const auto node = AVAudioUnit::make(catalog.find(kLimiterMono)->component, &error);
    ASSERT_NE(node, nullptr);
    auto* unit = dynamic_cast<LV2EffectAudioUnit*>(&node->unit());
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->plugin().uri, kLimiterMono);
    prepare(node->unit(), 48000.0, 1, 256);
    EXPECT_DOUBLE_EQ(node->latency(), 64.0 / 48000.0);
    Signal signal = impulse(1, 256, 0, 0.5f);
    ASSERT_EQ(processSpan(node->unit(), signal, 0, 256), noErr);
    EXPECT_EQ(peakIndex(signal[0]), 64u);
}

// dpl looks ahead: it reports a latency, and an impulse below the threshold comes out unchanged that
// many frames later, at any rate and from the first block on.
TEST(LV2EffectAudioUnit, ReportedLatencyIsTheRealDelayFromTheFirstBlock) {
    for (const Float64 rate : {48000.0, 44100.0, 96000.0}) {
        auto unit = makeUnit(kLimiterMono);
        if (!unit) {
            GTEST_SKIP() << kLimiterMono << " is not installed (Debian package x42-plugins)";
        }
        prepare(*unit, rate, 1, 4096);
        Float64 latency = -1.0;
        UInt32 size = sizeof(latency);
        ASSERT_EQ(unit->getProperty(kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &latency, &size), noErr);
        ASSERT_GT(latency, 0.0) << rate;

        Signal signal = impulse(1, 4096, 100, 0.5f);
        ASSERT_EQ(processSpan(*unit, signal, 0, 4096), noErr);
        const std::size_t at = peakIndex(signal[0]);
        EXPECT_EQ(static_cast<double>(at - 100), std::round(latency * rate)) << rate;
        EXPECT_NEAR(signal[0][at], 0.5f, 1e-4f) << rate;
    }
}

TEST(LV2EffectAudioUnit, StereoPluginOnMonoStreamTakesTheInputOnBothSidesAndMixesTheOutput) {
    auto unit = makeUnit(kLimiterStereo);
    if (!unit) {
        GTEST_SKIP() << kLimiterStereo << " is not installed (Debian package x42-plugins)";
    }
    prepare(*unit, 48000.0, 1, 1024);
    EXPECT_EQ(unit->instanceCount(), 1u);
    Signal signal = impulse(1, 1024, 10, 0.25f);
    ASSERT_EQ(processSpan(*unit, signal, 0, 1024), noErr);
    EXPECT_EQ(peakIndex(signal[0]), 10u + 64u);
    EXPECT_NEAR(signal[0][74], 0.25f, 1e-4f);
}

TEST(LV2EffectAudioUnit, PortsConformToTheirKindAndHostDrivenPortsAreNoParameters) {
    auto unit = makeUnit(kLimiterMono);
    if (!unit) {
        GTEST_SKIP() << kLimiterMono << " is not installed (Debian package x42-plugins)";
    }
    for (const AudioUnitParameterInfo& info : unit->parameters()) {
        EXPECT_NE(info.id, kLimiterEnable);
        if (info.id == kLimiterGain) {
            EXPECT_EQ(info.unit, "dB");  // units:db, defined in the units bundle
            EXPECT_EQ(info.minValue, -10.0f);
            EXPECT_EQ(info.maxValue, 30.0f);
        }
    }
    EXPECT_TRUE(unit->bypassesThroughEnablePort());
    ASSERT_EQ(unit->setParameterValue(kLimiterTruePeak, 0.7f), noErr);
    EXPECT_EQ(unit->parameterValue(kLimiterTruePeak), 1.0f);
    ASSERT_EQ(unit->setParameterValue(kLimiterTruePeak, 0.3f), noErr);
    EXPECT_EQ(unit->parameterValue(kLimiterTruePeak), 0.0f);
    ASSERT_EQ(unit->setParameterValue(kLimiterGain, 99.0f), noErr);
    EXPECT_EQ(unit->parameterValue(kLimiterGain), 30.0f);
    EXPECT_EQ(unit->setParameterValue(kLimiterGain, NAN), kAudioUnitErr_InvalidParameterValue);
    EXPECT_EQ(unit->setParameterValue(kLimiterEnable, 0.0f), kAudioUnitErr_InvalidParameter);

    LV2Port enumeration;
    enumeration.minimum = 0.0f;
    enumeration.maximum = 10.0f;
    enumeration.integer = true;
    enumeration.scalePoints = {0.0f, 2.0f, 5.0f};
    EXPECT_EQ(enumeration.conform(3.4f), 2.0f);
    EXPECT_EQ(enumeration.conform(3.6f), 5.0f);
    EXPECT_EQ(enumeration.conform(9.0f), 5.0f);
    LV2Port integer;
    integer.minimum = -4.0f;
    integer.maximum = 4.0f;
    integer.integer = true;
    EXPECT_EQ(integer.conform(-2.6f), -3.0f);
    EXPECT_EQ(integer.conform(7.0f), 4.0f);
}

TEST(LV2EffectAudioUnit, BypassDrivesTheEnablePortWhereThereIsOne) {
    auto unit = makeUnit(kLimiterMono);
    if (!unit) {
        GTEST_SKIP() << kLimiterMono << " is not installed (Debian package x42-plugins)";
    }
    prepare(*unit, 48000.0, 1, 512);
    ASSERT_EQ(unit->setParameterValue(kLimiterThreshold, 0.0f), noErr);
    ASSERT_EQ(unit->setParameterValue(kLimiterGain, 20.0f * std::log10(2.0f)), noErr);  // doubles the level

    Signal signal = sine(1, 24000, 0.1f);
    ASSERT_TRUE(processAll(*unit, signal, 512));
    EXPECT_NEAR(peak(signal[0], 12000), 0.2f, 0.005f);

    const UInt32 on = 1;
    ASSERT_EQ(unit->setProperty(kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &on, sizeof(on)), noErr);
    UInt32 value = 0;
    UInt32 size = sizeof(value);
    ASSERT_EQ(unit->getProperty(kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &value, &size), noErr);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(unit->controlPortValue(kLimiterEnable), 0.0f);
    signal = sine(1, 24000, 0.1f);
    ASSERT_TRUE(processAll(*unit, signal, 512));
    EXPECT_NEAR(peak(signal[0], 12000), 0.1f, 0.005f);
}

TEST(LV2EffectAudioUnit, HostBypassPassesTheInputForPluginsWithoutEnablePort) {
    auto unit = makeUnit(kAmp);
    if (!unit) {
        GTEST_SKIP() << kAmp << " is not installed (Debian package swh-lv2)";
    }
    prepare(*unit, 48000.0, 1, 512);
    ASSERT_EQ(unit->setParameterValue(kAmpGain, 20.0f), noErr);
    const UInt32 on = 1;
    ASSERT_EQ(unit->setProperty(kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &on, sizeof(on)), noErr);
    Signal signal = sine(1, 2048, 0.1f);
    const Signal input = signal;
    ASSERT_TRUE(processAll(*unit, signal, 512));
    for (std::size_t i = 480; i < 2048; ++i) {  // after the 5 ms fade
        ASSERT_EQ(signal[0][i], input[0][i]) << i;
    }
}

TEST(LV2EffectAudioUnit, FullStateRoundTripsParametersAndPluginState) {
    auto unit = makeUnit(kLimiterMono);
    if (!unit) {
        GTEST_SKIP() << kLimiterMono << " is not installed (Debian package x42-plugins)";
    }
    prepare(*unit, 48000.0, 1, 512);
    ASSERT_EQ(unit->setParameterValue(kLimiterGain, 12.5f), noErr);
    const auto state = unit->fullState();
    ASSERT_TRUE(state.has_value());
    const std::string text = lv2State(*state);
    ASSERT_NE(text.find("uiscale"), std::string::npos) << text;
    ASSERT_NE(text.find("\"1.0\""), std::string::npos) << text;
    // A state value only the plug-in keeps: restored into the instance, it must come back out of it.
    const PropertyListValue edited = withLV2State(*state, replaced(text, "\"1.0\"", "\"2.0\""));

    auto pending = makeUnit(kLimiterMono);
    ASSERT_TRUE(pending->setFullState(edited));
    EXPECT_EQ(pending->parameterValue(kLimiterGain), 12.5f);
    EXPECT_NE(lv2State(*pending->fullState()).find("\"2.0\""), std::string::npos);  // held until initialised
    prepare(*pending, 48000.0, 1, 512);
    EXPECT_NE(lv2State(*pending->fullState()).find("\"2.0\""), std::string::npos);  // saved by the instance

    auto running = makeUnit(kLimiterMono);
    prepare(*running, 48000.0, 1, 512);
    ASSERT_TRUE(running->setFullState(edited));
    const std::string saved = lv2State(*running->fullState());
    EXPECT_NE(saved.find("\"2.0\""), std::string::npos) << saved;
    EXPECT_EQ(saved.find("\"1.0\""), std::string::npos) << saved;
}

TEST(LV2EffectAudioUnit, RefusesStatesOfOtherPlugins) {
    auto limiter = makeUnit(kLimiterMono);
    auto stereo = makeUnit(kLimiterStereo);
    auto amp = makeUnit(kAmp);
    if (!limiter || !stereo || !amp) {
        GTEST_SKIP() << "needs swh-lv2 and x42-plugins";
    }
    ASSERT_EQ(amp->setParameterValue(kAmpGain, 3.0f), noErr);
    EXPECT_FALSE(limiter->setFullState(*amp->fullState()));

    const auto own = *limiter->fullState();
    auto data = dictionaryOf(own);
    auto values = dictionaryOf(data.at("data"));
    values.insert_or_assign(std::to_string(kLimiterGain), 7.0);
    data.insert_or_assign("data", PropertyListValue(values));
    const PropertyListValue changed(data);
    // Right codes, but the plug-in state of the stereo limiter: refused, and nothing changes.
    EXPECT_FALSE(limiter->setFullState(withLV2State(changed, lv2State(*stereo->fullState()))));
    EXPECT_FALSE(limiter->setFullState(withLV2State(changed, "not turtle at all <<")));
    auto wrongType = dictionaryOf(changed);
    wrongType.insert_or_assign(LV2EffectAudioUnit::kLV2StateKey, PropertyListValue(42));
    EXPECT_FALSE(limiter->setFullState(PropertyListValue(wrongType)));
    EXPECT_EQ(limiter->parameterValue(kLimiterGain), 0.0f);
    EXPECT_TRUE(limiter->setFullState(changed));
    EXPECT_EQ(limiter->parameterValue(kLimiterGain), 7.0f);
}

std::string statePath() {
    return ::testing::TempDir() + "lv2-limiter-state.plist";
}

// The output of a limiter with the given state for an impulse of 0.25, as "index value".
std::string responseWith(const PropertyListValue& state) {
    auto unit = makeUnit(kLimiterMono);
    if (!unit || !unit->setFullState(state)) {
        return "refused";
    }
    const AudioStreamBasicDescription f = floatFormat(48000.0, 1);
    UInt32 frames = 1024;
    unit->setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &f, sizeof(f));
    unit->setProperty(kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &frames, sizeof(frames));
    if (unit->initialize() != noErr) {
        return "failed";
    }
    Signal signal = impulse(1, 1024, 0, 0.25f);
    processSpan(*unit, signal, 0, 1024);
    const std::size_t at = peakIndex(signal[0]);
    std::ostringstream out;
    out << at << ' ' << signal[0][at] << ' ' << (lv2State(*unit->fullState()).find("\"2.0\"") != std::string::npos);
    return out.str();
}

TEST(LV2EffectAudioUnit, StateSavedInOneProcessRestoresInTheNext) {
    auto unit = makeUnit(kLimiterMono);
    if (!unit) {
        GTEST_SKIP() << kLimiterMono << " is not installed (Debian package x42-plugins)";
    }
    prepare(*unit, 48000.0, 1, 512);
    ASSERT_EQ(unit->setParameterValue(kLimiterGain, 6.0f), noErr);
    ASSERT_EQ(unit->setParameterValue(kLimiterThreshold, 0.0f), noErr);
    const auto original = *unit->fullState();
    const PropertyListValue state = withLV2State(original, replaced(lv2State(original), "\"1.0\"", "\"2.0\""));
    const Data bytes = PropertyListSerialization::binaryData(state);
    std::ofstream(statePath(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const std::string expected = responseWith(state);
    ASSERT_EQ(expected.substr(expected.size() - 1), "1");

    const std::string output = ::testing::TempDir() + "lv2-child-state.txt";
    ChildProcess child("/proc/self/exe",
                       {"--gtest_also_run_disabled_tests", "--gtest_filter=LV2ChildProcess.DISABLED_RestoresState"},
                       output);
    ASSERT_EQ(child.wait(), 0) << child.output();
    EXPECT_NE(child.output().find("RESPONSE " + expected + "\n"), std::string::npos)
        << "expected " << expected << " in\n"
        << child.output();
}

// Run by StateSavedInOneProcessRestoresInTheNext in a process of its own.
TEST(LV2ChildProcess, DISABLED_RestoresState) {
    std::ifstream file(statePath(), std::ios::binary);
    const Data bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto state = PropertyListSerialization::propertyList(bytes);
    ASSERT_TRUE(state.has_value());
    std::cout << "RESPONSE " << responseWith(*state) << "\n" << std::flush;
}

// swh's delay line clears its memory in activate().
TEST(LV2EffectAudioUnit, ResetClearsTheSignalHistory) {
    auto control = makeUnit(kDelay);
    auto reset = makeUnit(kDelay);
    if (!control || !reset) {
        GTEST_SKIP() << kDelay << " is not installed (Debian package swh-lv2)";
    }
    for (auto* unit : {control.get(), reset.get()}) {
        prepare(*unit, 48000.0, 1, 512);
        ASSERT_EQ(unit->setParameterValue(kDelayTime, 0.005f), noErr);  // 240 frames
        Signal first = impulse(1, 128, 100, 0.5f);
        ASSERT_EQ(processSpan(*unit, first, 0, 128), noErr);
        ASSERT_EQ(peak(first[0], 0), 0.0f);
    }
    reset->reset();
    Signal kept(1, std::vector<float>(512, 0.0f));
    Signal cleared = kept;
    ASSERT_EQ(processSpan(*control, kept, 0, 512), noErr);
    ASSERT_EQ(processSpan(*reset, cleared, 0, 512), noErr);
    const std::size_t delay = peakIndex(kept[0]) + 128 - 100;
    EXPECT_NEAR(static_cast<double>(delay), 240.0, 1.0);
    EXPECT_NEAR(peak(kept[0], 0), 0.5f, 1e-6f);
    EXPECT_EQ(peak(cleared[0], 0), 0.0f);

    // Processing goes on normally after the reset.
    Signal again = impulse(1, 512, 0, 0.5f);
    ASSERT_EQ(processSpan(*reset, again, 0, 512), noErr);
    EXPECT_NEAR(static_cast<double>(peakIndex(again[0])), 240.0, 1.0);
}

TEST(LV2EffectAudioUnit, AtomPortsGetBuffersLargeEnoughForThePlugin) {
    auto unit = makeUnit(kEqualizer);
    if (!unit) {
        GTEST_SKIP() << kEqualizer << " is not installed (Debian package x42-plugins)";
    }
    prepare(*unit, 48000.0, 1, 4096);
    Signal signal = sine(1, 9600, 0.3f);
    ASSERT_TRUE(processAll(*unit, signal, 4096));
    // Flat by default: a 440 Hz tone keeps its level.
    EXPECT_NEAR(peak(signal[0], 4800), 0.3f, 0.03f);
}

TEST(LV2EffectAudioUnit, RenderAllocatesNothing) {
    for (const char* uri : {kAmp, kLimiterMono, kLimiterStereo}) {
        auto unit = makeUnit(uri);
        if (!unit) {
            GTEST_SKIP() << uri << " is not installed (Debian package " << packageOf(uri) << ")";
        }
        prepare(*unit, 48000.0, 2, 512);
        Signal signal = sine(2, 512 * 40, 0.2f);
        const AudioUnitParameterID parameter = unit->parameters().front().id;
        test::AllocationCounter counter;
        for (std::size_t block = 0; block < 40; ++block) {
            unit->setParameterValue(parameter, static_cast<float>(block % 3));
            ASSERT_EQ(processSpan(*unit, signal, block * 512, 512), noErr);
        }
        EXPECT_EQ(counter.count(), 0u) << uri;
    }
}

TEST(LV2EffectAudioUnit, StateChangesWhileTheAudioThreadRuns) {
    auto unit = makeUnit(kLimiterMono);
    if (!unit) {
        GTEST_SKIP() << kLimiterMono << " is not installed (Debian package x42-plugins)";
    }
    prepare(*unit, 48000.0, 1, 256);
    const auto state = *unit->fullState();
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    std::atomic<bool> failed{false};
    std::thread audio([&] {
        Signal signal = sine(1, 256, 0.2f);
        while (!stop.load()) {
            if (processSpan(*unit, signal, 0, 256) != noErr || !std::isfinite(signal[0][0])) {
                failed = true;
            }
            blocks.fetch_add(1);
        }
    });
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(unit->setFullState(
            withLV2State(state, replaced(lv2State(state), "\"1.0\"", i % 2 ? "\"2.0\"" : "\"1.0\""))));
        EXPECT_FALSE(lv2State(*unit->fullState()).empty());
        unit->reset();
    }
    while (blocks.load() < 100) {
        std::this_thread::yield();
    }
    stop = true;
    audio.join();
    EXPECT_FALSE(failed.load());
    EXPECT_NE(lv2State(*unit->fullState()).find("\"2.0\""), std::string::npos);  // the last one (i = 49)
}

TEST(LV2EffectAudioUnit, EditorNeedsAnX11UIAndAParentWindow) {
    auto amp = makeUnit(kAmp);
    auto limiter = makeUnit(kLimiterMono);
    if (!amp || !limiter) {
        GTEST_SKIP() << "needs swh-lv2 and x42-plugins";
    }
    EXPECT_FALSE(amp->hasCustomView());
    EXPECT_EQ(amp->createEditor(0x1234), nullptr);
    EXPECT_TRUE(limiter->hasCustomView());
    EXPECT_EQ(limiter->createEditor(0), nullptr);
}

}  // namespace
}  // namespace velunto

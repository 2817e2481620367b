#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

#include "app/processing/LatencyMeter.h"
#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/sim/SimulatedPolarityEffect.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

std::vector<float> noise(std::size_t count, float amplitude, unsigned seed = 7) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-amplitude, amplitude);
    std::vector<float> s(count);
    for (float& v : s)
        v = distribution(generator);
    return s;
}

// The correlation as its definition states it, in double precision.
std::pair<std::uint32_t, double> directLag(const std::vector<float>& x, const std::vector<float>& y,
                                           std::uint32_t maxLag) {
    std::uint32_t best = 0;
    double bestMagnitude = -1;
    for (std::uint32_t k = 0; k <= maxLag; ++k) {
        double r = 0;
        for (std::size_t n = 0; n < x.size(); ++n)
            r += static_cast<double>(y[k + n]) * x[n];
        if (std::abs(r) > bestMagnitude) {
            bestMagnitude = std::abs(r);
            best = k;
        }
    }
    double ex = 0, ey = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        ex += static_cast<double>(x[n]) * x[n];
        ey += static_cast<double>(y[best + n]) * y[best + n];
    }
    return {best, bestMagnitude / std::sqrt(ex * ey)};
}

std::vector<float> delayed(const std::vector<float>& x, std::size_t delay, std::size_t tail, float gain = 1) {
    std::vector<float> y(x.size() + tail, 0.0f);
    for (std::size_t n = 0; n < x.size() && n + delay < y.size(); ++n)
        y[n + delay] = gain * x[n];
    return y;
}

TEST(LatencyMeterFindLag, AgreesWithTheDirectSum) {
    const auto x = noise(3000, 0.3f);
    const auto echo = noise(3500, 0.05f, 99);
    for (std::size_t d : {0u, 1u, 137u, 499u, 500u}) {
        for (float gain : {1.0f, -0.5f}) {
            auto y = delayed(x, d, 500, gain);
            for (std::size_t n = 0; n < y.size(); ++n)
                y[n] += echo[n];  // not a clean copy
            const auto [lag, correlation] = LatencyMeter::findLag(x, y, 500);
            const auto [directK, directCorrelation] = directLag(x, y, 500);
            SCOPED_TRACE(testing::Message() << "delay " << d << " gain " << gain);
            EXPECT_EQ(lag, d);
            EXPECT_EQ(lag, directK);
            EXPECT_NEAR(correlation, directCorrelation, 1e-4);
            EXPECT_GT(correlation, 0.9);
        }
    }
    EXPECT_EQ(LatencyMeter::findLag(x, std::vector<float>(3499, 0.1f), 500), (std::pair<std::uint32_t, double>{0, 0.0}))
        << "too short";
    EXPECT_EQ(LatencyMeter::findLag(x, std::vector<float>(3500, 0.0f), 500).second, 0.0) << "silence";
    auto poisoned = delayed(x, 10, 500);
    poisoned[700] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(LatencyMeter::findLag(x, poisoned, 500).second, 0.0) << "NaN is no correlation";
}

TEST(LatencyMeterFindLag, TheFirstOfEquallyStrongLagsWins) {
    std::vector<float> x(64, 0.0f);
    x[0] = 1;
    std::vector<float> y(64 + 32, 0.0f);
    y[5] = 1;
    y[9] = -1;  // lag 9 as strong as lag 5
    EXPECT_EQ(LatencyMeter::findLag(x, y, 32).first, 5u);
}

TEST(LatencyMeterValidity, TheBlockSizeToleranceAndTheEffectiveLatency) {
    PluginLatencyMeasurement m;
    m.blockFrames = 512;
    for (std::uint32_t live : {461u, 512u, 563u})
        EXPECT_TRUE(LatencyMeter::isMeasurementValid(m, live)) << live;
    for (std::uint32_t live : {0u, 460u, 564u})
        EXPECT_FALSE(LatencyMeter::isMeasurementValid(m, live)) << live;
    m.blockFrames = 16;
    for (std::uint32_t live : {14u, 18u})
        EXPECT_TRUE(LatencyMeter::isMeasurementValid(m, live)) << live;
    for (std::uint32_t live : {13u, 19u})
        EXPECT_FALSE(LatencyMeter::isMeasurementValid(m, live)) << live;

    registerSimulatedEffects();
    auto unit = AVAudioUnit::make(SimulatedDelayEffect::kDescription);
    unit->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 960);
    unit->unit().setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportNoDelay);
    std::map<std::string, PluginLatencyMeasurement> stored;
    EXPECT_EQ(LatencyMeter::effectivePluginLatency(nullptr, stored, 512, false), 0.0);
    EXPECT_EQ(LatencyMeter::effectivePluginLatency(unit.get(), stored, 512, false), 0.0) << "its own report";
    PluginLatencyMeasurement measured{0.02, 0.001, 0, 512, 0.99, Date::now()};
    stored[LatencyMeter::measurementKey(SimulatedDelayEffect::kDescription)] = measured;
    EXPECT_EQ(LatencyMeter::effectivePluginLatency(unit.get(), stored, 512, false), 0.02);
    EXPECT_EQ(LatencyMeter::effectivePluginLatency(unit.get(), stored, 512, true), 0.001);
    EXPECT_EQ(LatencyMeter::effectivePluginLatency(unit.get(), stored, 1024, false), 0.0) << "another block size";
}

// What the meter needs from the capture engine, with a recording chosen by the test.
struct FakeRecorder : PreProcessingRecorder {
    std::uint32_t renderFrameCount() const override { return blockFrames; }
    void recordPreProcessing(double seconds, std::weak_ptr<PreProcessingRecordingRequester> requester,
                             Completion completion) override {
        ++requests;
        EXPECT_EQ(seconds, 4.0);
        if (refuse) {
            if (auto r = requester.lock())
                r->recordingRefused(PreProcessingRecordingRequester::kRecordingAbandonedMessage);
            return;
        }
        DispatchQueue::main().async([completion, samples = samples] { completion(samples); });
    }

    std::uint32_t blockFrames = 512;
    bool refuse = false;
    std::optional<std::vector<float>> samples = noise(192000, 0.2f);
    int requests = 0;
};

// A unit that misbehaves the same way whether bypassed or not.
class MisbehavingUnit : public AudioUnitBase {
public:
    enum class Output { noise, notANumber, silence };
    explicit MisbehavingUnit(Output output) : output_(output) {}
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* data, UInt32* size) override {
        return id == kAudioUnitProperty_Latency ? answerProperty(Float64{0}, data, size)
                                                : kAudioUnitErr_InvalidProperty;
    }
    OSStatus setProperty(AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, const void*, UInt32) override {
        return noErr;
    }
    OSStatus initialize() override { return noErr; }
    OSStatus uninitialize() override { return noErr; }
    OSStatus start() override { return noErr; }
    OSStatus stop() override { return noErr; }
    OSStatus process(AudioUnitRenderActionFlags*, const AudioTimeStamp&, UInt32 frames, AudioBufferList& io) override {
        auto* out = static_cast<float*>(io.mBuffers[0].mData);
        for (UInt32 i = 0; i < frames; ++i)
            out[i] = output_ == Output::noise        ? distribution_(generator_)
                     : output_ == Output::notANumber ? std::numeric_limits<float>::quiet_NaN()
                                                     : 0.0f;
        return noErr;
    }

private:
    Output output_;
    std::mt19937 generator_{3};
    std::uniform_real_distribution<float> distribution_{-0.5f, 0.5f};
};

class LatencyMeterTest : public ::testing::Test {
protected:
    void SetUp() override { registerSimulatedEffects(); }
    void TearDown() override {
        for (AudioComponent c : extras)
            AudioComponentRegistry::shared().unregisterComponent(c);
    }
    std::shared_ptr<AVAudioUnit> delayUnit(float frames) {
        auto unit = AVAudioUnit::make(SimulatedDelayEffect::kDescription);
        unit->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, frames);
        unit->unit().setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportHalfDelay);
        return unit;
    }
    std::shared_ptr<AVAudioUnit> misbehaving(OSType subType, MisbehavingUnit::Output output) {
        const AudioComponentDescription d{kAudioUnitType_Effect, subType, 'Test', 0, 0};
        extras.push_back(AudioComponentRegistry::shared().registerComponent(
            d, "Schlecht", "Test", [output] { return std::make_unique<MisbehavingUnit>(output); }));
        return AVAudioUnit::make(d);
    }
    LatencyMeter::State measure(const std::shared_ptr<AVAudioUnit>& unit) {
        meter->measure(recorder, unit, [this](const PluginLatencyMeasurement& m) { delivered.push_back(m); });
        time.runUntilIdle();
        return meter->state.value();
    }

    VirtualTime time;
    LogCapture logs;
    FakeRecorder recorder;
    std::shared_ptr<LatencyMeter> meter = LatencyMeter::make();
    std::vector<PluginLatencyMeasurement> delivered;
    std::vector<AudioComponent> extras;
};

TEST_F(LatencyMeterTest, APureDelayIsMeasuredAtItsTrueLengthWhateverItReports) {
    for (float d : {0.0f, 1000.0f, 14400.0f}) {
        delivered.clear();
        const auto state = measure(delayUnit(d));
        ASSERT_EQ(state.kind(), LatencyMeter::State::Kind::done) << d << ": " << state.message();
        const auto& m = *state.measurement();
        EXPECT_EQ(m.activeSeconds, d / 48000.0);
        EXPECT_EQ(m.bypassedSeconds, 0.0);
        EXPECT_EQ(m.reportedSeconds, d / 2 / 48000.0);
        EXPECT_EQ(m.blockFrames, 512);
        EXPECT_GT(m.confidence, 0.99);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(delivered[0], m);
    }
    EXPECT_TRUE(logs.contains("LatencyMeter",
                              "Blockgröße 512, gemessen: aktiv 20.833333 ms (Korrelation 1.000000), "
                              "Bypass 0.000000 ms (Korrelation 1.000000), gemeldet 10.416667 ms"))
        << "the live unit's settings travel to the private instance";
}

TEST_F(LatencyMeterTest, PolarityInversionIsMeasuredLikeAnyOtherEffect) {
    const auto state = measure(AVAudioUnit::make(SimulatedPolarityEffect::kDescription));
    ASSERT_EQ(state.kind(), LatencyMeter::State::Kind::done) << state.message();
    EXPECT_EQ(state.measurement()->activeSeconds, 0.0);
    EXPECT_GT(state.measurement()->confidence, 0.99);
}

TEST_F(LatencyMeterTest, WhatCannotBeMeasuredFailsWithTheReason) {
    const std::string unsure =
        "Messung unsicher (Ein- und Ausgang zu verschieden). Bitte deutlich sprechen und erneut messen.";
    EXPECT_EQ(measure(delayUnit(20000)), LatencyMeter::State::failed(unsure)) << "beyond the lags searched";
    EXPECT_EQ(measure(misbehaving('noiz', MisbehavingUnit::Output::noise)), LatencyMeter::State::failed(unsure))
        << "even bypassed, the output is unlike the input";
    EXPECT_EQ(measure(misbehaving('nann', MisbehavingUnit::Output::notANumber)), LatencyMeter::State::failed(unsure));
    EXPECT_EQ(measure(misbehaving('shsh', MisbehavingUnit::Output::silence)), LatencyMeter::State::failed(unsure));
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(logs.count("LatencyMeter", "Messung fehlgeschlagen: " + unsure), 4u);
}

TEST_F(LatencyMeterTest, TheRecordingMustExistAndBeLoudEnough) {
    const auto unit = delayUnit(480);
    recorder.blockFrames = 0;
    EXPECT_EQ(measure(unit), LatencyMeter::State::failed("Kein Audio am Eingang. Läuft Velunto?"));
    EXPECT_EQ(recorder.requests, 0);

    recorder.blockFrames = 512;
    recorder.refuse = true;
    EXPECT_EQ(measure(unit), LatencyMeter::State::failed("Aufnahme abgebrochen. Läuft der Eingang?"));

    recorder.refuse = false;
    recorder.samples = std::nullopt;
    EXPECT_EQ(measure(unit), LatencyMeter::State::failed("Aufnahme abgebrochen. Läuft der Eingang?"));

    const std::size_t instances = AudioComponentRegistry::shared().instanceCount();
    recorder.samples = noise(192000, 0.008f);  // RMS 0.0046
    EXPECT_EQ(measure(unit), LatencyMeter::State::failed("Zu leise. Bitte während der Messung normal sprechen."));
    recorder.samples->assign(192000, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(measure(unit), LatencyMeter::State::failed("Zu leise. Bitte während der Messung normal sprechen."));
    EXPECT_EQ(AudioComponentRegistry::shared().instanceCount(), instances) << "no second instance";
}

TEST_F(LatencyMeterTest, AMeasurementInProgressIgnoresAnotherStart) {
    const auto unit = delayUnit(480);
    meter->measure(recorder, unit, [](const PluginLatencyMeasurement&) {});
    EXPECT_TRUE(meter->isBusy());
    meter->measure(recorder, unit, [](const PluginLatencyMeasurement&) {});
    EXPECT_EQ(recorder.requests, 1);
    time.runUntilIdle();
    EXPECT_EQ(meter->state.value().kind(), LatencyMeter::State::Kind::done);
}

TEST_F(LatencyMeterTest, ASecondInstanceThatCannotBeMadeFailsTheMeasurement) {
    const AudioComponentDescription d{kAudioUnitType_Effect, 'once', 'Test', 0, 0};
    int made = 0;
    extras.push_back(AudioComponentRegistry::shared().registerComponent(
        d, "Einmalig", "Test", [&made]() -> std::unique_ptr<AudioUnitBase> {
            if (made++ > 0)
                return nullptr;
            return std::make_unique<MisbehavingUnit>(MisbehavingUnit::Output::silence);
        }));
    const auto state = measure(AVAudioUnit::make(d));
    EXPECT_EQ(state.kind(), LatencyMeter::State::Kind::failed);
    EXPECT_TRUE(state.message().starts_with("Plugin-Instanz für die Messung fehlgeschlagen: ")) << state.message();
}

// An installed LV2 plug-in through the same measurement: x42's limiter looks 64 frames ahead at 48 kHz
// and says so; below its threshold it is a pure delay.
TEST_F(LatencyMeterTest, AnLV2LimitersLookAheadIsMeasuredAtWhatItReports) {
    LV2PluginCatalog::registerInstalledPlugins();
    const LV2PluginDescription* limiter = LV2PluginCatalog::shared().find("http://gareus.org/oss/lv2/dpl#mono");
    if (limiter == nullptr)
        GTEST_SKIP() << "x42-plugins is not installed";
    const auto live = AVAudioUnit::make(limiter->component);
    ASSERT_EQ(live->unit().initialize(), noErr) << "as in the capture graph: its report comes from running it";
    const auto state = measure(live);
    ASSERT_EQ(state.kind(), LatencyMeter::State::Kind::done) << state.message();
    EXPECT_EQ(state.measurement()->activeSeconds, 64 / 48000.0);
    EXPECT_EQ(state.measurement()->reportedSeconds, 64 / 48000.0);
    EXPECT_GT(state.measurement()->confidence, 0.99);
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <vector>

#include "app/audio/CaptureEngine.h"
#include "platform/avaudio/AVAudioMixerNode.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedEffects.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

SimulatedDeviceDescription inputDevice(std::string uid, double rate = 48000, UInt32 channels = 1) {
    SimulatedDeviceDescription d;
    d.name = "Mic " + uid;
    d.uid = std::move(uid);
    d.inputChannels = channels;
    d.nominalSampleRate = rate;
    d.availableSampleRates = {48000.0, 44100.0};
    d.signal = SimulatedSignal::sineWave(1000, 0.5);
    return d;
}

std::vector<float> drain(RingBuffer* ring) {
    std::vector<float> out(RingBufferAvailableToRead(ring));
    RingBufferRead(ring, out.data(), out.size());
    return out;
}

std::shared_ptr<AVAudioUnit> effect(OSType subtype) {
    registerSimulatedEffects();
    return AVAudioUnit::make({kAudioUnitType_Effect, subtype, kSimulatedEffectManufacturer, 0, 0});
}

struct Refusals : PreProcessingRecordingRequester {
    std::vector<std::string> messages;
    void recordingRefused(const std::string& message) override { messages.push_back(message); }
};

// Frequency from interpolated rising zero crossings.
double frequency(const std::vector<float>& x, double rate) {
    std::vector<double> crossings;
    for (std::size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < 0 && x[i] >= 0)
            crossings.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
    if (crossings.size() < 2)
        return 0;
    return (static_cast<double>(crossings.size()) - 1) * rate / (crossings.back() - crossings.front());
}

class CaptureEngineTest : public ::testing::Test {
protected:
    CaptureEngineTest() {
        hardware.plug(inputDevice("sim.mic"));
        capture->onStatusChange = [this](const EngineStatus& s) { statuses.push_back(s); };
    }
    ~CaptureEngineTest() override {
        capture.reset();
        for (RingBuffer* ring : {main, analysis, monitor})
            RingBufferFree(ring);
    }

    std::size_t builds(const std::string& uid, long attempt) const {
        return logs.count("CaptureEngine", "Baue Eingang auf: " + uid + ", Versuch " + std::to_string(attempt));
    }

    // Records 0.1 s before the plug-in and compares it with what reached the ring meanwhile.
    void expectRingHoldsRecordingTimes(float sign) {
        drain(main);
        std::optional<std::vector<float>> recorded;
        capture->recordPreProcessing(0.1, {}, [&](std::optional<std::vector<float>> s) { recorded = std::move(s); });
        time.advance(500ms);
        ASSERT_TRUE(recorded);
        const auto played = drain(main);
        ASSERT_GE(played.size(), recorded->size());
        for (std::size_t i = 0; i < recorded->size(); ++i)
            ASSERT_EQ(played[i], sign * (*recorded)[i]) << i;
    }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    RingBuffer* main = RingBufferCreate(1 << 18);
    RingBuffer* analysis = RingBufferCreate(1 << 18);
    RingBuffer* monitor = RingBufferCreate(1 << 18);
    std::shared_ptr<AVAudioMixerNode> eq = std::make_shared<AVAudioMixerNode>();  // a pass-through stand-in
    std::shared_ptr<CaptureEngine> capture = std::make_shared<CaptureEngine>(main, analysis, monitor, eq);
    std::vector<EngineStatus> statuses;
};

TEST_F(CaptureEngineTest, StartsAreDebouncedAndBlocksReachAllThreeRings) {
    capture->start("a");
    time.advance(50ms);
    capture->start("b");
    time.advance(50ms);
    capture->start("sim.mic");
    time.advance(149ms);
    EXPECT_TRUE(statuses.empty());
    time.advance(1ms);
    EXPECT_EQ(builds("sim.mic", 1), 1u);
    EXPECT_EQ(logs.entries("CaptureEngine").size(), 1u) << "no build for a or b";
    ASSERT_EQ(statuses, (std::vector<EngineStatus>{EngineStatus::starting(), EngineStatus::running()}));

    time.advance(11ms);  // one 512-frame cycle
    EXPECT_EQ(capture->renderFrameCount(), 512u);
    const auto a = drain(main), b = drain(analysis), c = drain(monitor);
    ASSERT_EQ(a.size(), 512u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_NE(a[100], 0.0f);
}

TEST_F(CaptureEngineTest, StartWithoutDeviceStops) {
    capture->start(std::nullopt);
    time.advance(200ms);
    EXPECT_EQ(statuses, std::vector<EngineStatus>{EngineStatus::stopped()});
}

TEST_F(CaptureEngineTest, UnknownDeviceIsTriedThreeTimesThenRecoversWhenItAppears) {
    capture->start("sim.later");
    time.advance(150ms);
    EXPECT_EQ(builds("sim.later", 1), 1u);
    time.advance(999ms);
    EXPECT_EQ(builds("sim.later", 2), 0u);
    time.advance(1ms);
    EXPECT_EQ(builds("sim.later", 2), 1u);
    time.advance(1s);
    EXPECT_EQ(builds("sim.later", 3), 1u);
    time.advance(5s);
    EXPECT_EQ(builds("sim.later", 4), 0u);
    const std::string message = "Eingangsgerät sim.later nicht gefunden.";
    EXPECT_EQ(logs.count("CaptureEngine", "CaptureEngine-Aufbau fehlgeschlagen: " + message), 3u);
    EXPECT_EQ(statuses, (std::vector<EngineStatus>{EngineStatus::starting(), EngineStatus::starting(),
                                                   EngineStatus::starting(), EngineStatus::error(message)}));

    hardware.plug(inputDevice("sim.later"));
    capture->start("sim.later");
    time.advance(200ms);
    EXPECT_EQ(capture->status(), EngineStatus::running());
}

TEST_F(CaptureEngineTest, ADeviceWithoutInputsCannotBeSetOnTheInputUnit) {
    SimulatedDeviceDescription speakers;
    speakers.name = speakers.uid = "sim.speakers";
    speakers.outputChannels = 2;
    hardware.plug(speakers);
    capture->start("sim.speakers");
    time.advance(3s);
    EXPECT_EQ(capture->status(), EngineStatus::error("Eingangsgerät konnte nicht gesetzt werden."));
    EXPECT_EQ(
        logs.count("DeviceManager",
                   "AudioUnitSetProperty(kAudioOutputUnitProperty_CurrentDevice) [input] failed: OSStatus -10851"),
        3u);
    EXPECT_EQ(builds("sim.speakers", 3), 1u);
}

TEST_F(CaptureEngineTest, StopCancelsAPendingRetry) {
    capture->start("sim.nothing");
    time.advance(150ms);
    capture->stop();
    time.advance(5s);
    EXPECT_EQ(builds("sim.nothing", 2), 0u);
    EXPECT_EQ(capture->status(), EngineStatus::stopped());
}

TEST_F(CaptureEngineTest, ConfigurationChangesRebuildOnlyWhenTheEngineLostItsDevice) {
    capture->start("sim.mic");
    time.advance(200ms);
    ASSERT_EQ(capture->status(), EngineStatus::running());

    // The engine survives on the same device: nothing happens.
    NotificationCenter::defaultCenter().post(
        Notification{AVAudioEngine::kConfigurationChangeNotification, capture->engine().get()});
    time.advance(1s);
    EXPECT_EQ(builds("sim.mic", 1), 1u);
    EXPECT_EQ(logs.count("CaptureEngine", "AVAudioEngineConfigurationChange (Eingang) empfangen, baue Graph neu auf."),
              0u);

    // A rate change stops the engine: rebuilt on the same device, at the new rate, still 48 kHz out.
    ASSERT_TRUE(hardware.setNominalSampleRate("sim.mic", 44100));
    time.advance(1s);
    EXPECT_EQ(logs.count("CaptureEngine", "AVAudioEngineConfigurationChange (Eingang) empfangen, baue Graph neu auf."),
              1u);
    EXPECT_EQ(builds("sim.mic", 1), 2u);
    EXPECT_EQ(capture->status(), EngineStatus::running());

    // The device dies: the engine no longer starts on it, every attempt fails until the error; back
    // again, a start recovers.
    ASSERT_TRUE(hardware.kill("sim.mic"));
    time.advance(5s);
    EXPECT_EQ(capture->status(), EngineStatus::error("The operation couldn’t be completed. "
                                                     "(com.apple.coreaudio.avfaudio error 560227702.)"));
    EXPECT_EQ(builds("sim.mic", 3), 1u);
    hardware.unplug("sim.mic");
    hardware.plug(inputDevice("sim.mic"));
    capture->start("sim.mic");
    time.advance(200ms);
    EXPECT_EQ(capture->status(), EngineStatus::running());
}

TEST_F(CaptureEngineTest, RecordingTakesExactlyTheRequestedSamplesBeforeThePlugIn) {
    capture->start("sim.mic");
    time.advance(200ms);
    capture->setPluginUnit(effect(kSimulatedPolaritySubType));
    time.advance(200ms);
    ASSERT_EQ(capture->status(), EngineStatus::running()) << capture->status().message();
    drain(main);

    std::optional<std::vector<float>> recorded;
    int calls = 0;
    auto refusals = std::make_shared<Refusals>();
    capture->recordPreProcessing(4.0, refusals, [&](std::optional<std::vector<float>> samples) {
        recorded = std::move(samples);
        ++calls;
    });
    time.advance(5s);
    ASSERT_EQ(calls, 1);
    ASSERT_TRUE(recorded);
    ASSERT_EQ(recorded->size(), 192000u);
    // The rings hold the inverted signal from the same block on; the recording the signal as the
    // microphone gave it.
    const auto played = drain(main);
    ASSERT_GE(played.size(), recorded->size());
    for (std::size_t i = 0; i < recorded->size(); ++i)
        ASSERT_EQ(played[i], -(*recorded)[i]) << i;
    EXPECT_GT(*std::max_element(recorded->begin(), recorded->end()), 0.49f);
    EXPECT_TRUE(refusals->messages.empty());

    // A stop ends a running recording with nothing; a stopped engine refuses at once.
    calls = 0;
    capture->recordPreProcessing(4.0, refusals, [&](std::optional<std::vector<float>> samples) {
        recorded = std::move(samples);
        ++calls;
    });
    capture->stop();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(recorded);
    capture->recordPreProcessing(1.0, refusals, [&](std::optional<std::vector<float>>) { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(refusals->messages, std::vector<std::string>{"Aufnahme abgebrochen. Läuft der Eingang?"});
}

TEST_F(CaptureEngineTest, ReplacingThePlugInRewiresTheGraphOnTheSameDevice) {
    capture->start("sim.mic");
    time.advance(200ms);
    auto polarity = effect(kSimulatedPolaritySubType);
    capture->setPluginUnit(polarity);
    time.advance(200ms);
    ASSERT_EQ(capture->status(), EngineStatus::running());
    EXPECT_TRUE(capture->engine()->isAttached(polarity.get()));
    expectRingHoldsRecordingTimes(-1.0f);

    capture->setPluginUnit(nullptr);
    time.advance(200ms);
    EXPECT_FALSE(capture->engine()->isAttached(polarity.get()));
    expectRingHoldsRecordingTimes(1.0f);
    EXPECT_EQ(builds("sim.mic", 1), 3u);
}

// A plug-in chosen while the pipeline is paused waits for the next start: the microphone stays off.
TEST_F(CaptureEngineTest, APlugInChosenWhileStoppedDoesNotStartTheMicrophone) {
    capture->start("sim.mic");
    time.advance(200ms);
    capture->stop();
    auto polarity = effect(kSimulatedPolaritySubType);
    capture->setPluginUnit(polarity);
    time.advance(1s);
    EXPECT_EQ(capture->status(), EngineStatus::stopped());
    EXPECT_EQ(builds("sim.mic", 1), 1u);

    capture->start("sim.mic");
    time.advance(200ms);
    ASSERT_EQ(capture->status(), EngineStatus::running());
    EXPECT_TRUE(capture->engine()->isAttached(polarity.get()));
}

TEST_F(CaptureEngineTest, AStereoDeviceAt44100ArrivesAsMono48000AtThePitchItHad) {
    hardware.plug(inputDevice("sim.usb", 44100, 2));
    capture->start("sim.usb");
    time.advance(1150ms);
    drain(main);
    time.advance(1s);
    const auto samples = drain(main);
    EXPECT_NEAR(static_cast<double>(samples.size()), 48000.0, 600.0);
    EXPECT_NEAR(frequency(samples, 48000.0), 1000.0, 0.5);
    EXPECT_NEAR(*std::max_element(samples.begin(), samples.end()), 0.5f, 0.01f);
}

}  // namespace

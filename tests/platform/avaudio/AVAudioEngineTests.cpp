#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/avaudio/AVAudioEngine.h"
#include "platform/avaudio/AVAudioSinkNode.h"
#include "platform/avaudio/AVAudioSourceNode.h"
#include "platform/avaudio/AVAudioUnit.h"
#include "platform/avaudio/AVAudioUnitEQ.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

const AVAudioFormat kMono48k(48000, 1);

// Renders `input` offline through the given unit (or none) in blocks of `block` frames.
std::vector<float> renderOffline(const std::vector<float>& input, const std::shared_ptr<AVAudioNode>& unit,
                                 UInt32 block) {
    AVAudioEngine engine;
    EXPECT_TRUE(engine.enableManualRenderingMode(AVAudioEngineManualRenderingMode::offline, kMono48k, block));
    std::size_t position = 0;
    auto source = std::make_shared<AVAudioSourceNode>(
        kMono48k, [&](bool&, const AudioTimeStamp&, UInt32 frames, AudioBufferList* out) -> OSStatus {
            auto* samples = static_cast<float*>(out->mBuffers[0].mData);
            for (UInt32 i = 0; i < frames; ++i, ++position)
                samples[i] = position < input.size() ? input[position] : 0;
            return 0;
        });
    engine.attach(source);
    if (unit) {
        engine.attach(unit);
        engine.connect(source, unit, kMono48k);
        engine.connect(unit, engine.mainMixerNode(), kMono48k);
    } else {
        engine.connect(source, engine.mainMixerNode(), kMono48k);
    }
    AVAudioPCMBuffer buffer(kMono48k, block);
    NSError error;
    EXPECT_EQ(engine.renderOffline(block, buffer, &error), AVAudioEngineManualRenderingStatus::cannotDoInCurrentContext)
        << "not started";
    EXPECT_TRUE(engine.start(&error)) << error.localizedDescription;
    EXPECT_EQ(engine.renderOffline(block + 1, buffer), AVAudioEngineManualRenderingStatus::cannotDoInCurrentContext);
    std::vector<float> output;
    while (output.size() < input.size()) {
        const auto n = static_cast<UInt32>(std::min<std::size_t>(block, input.size() - output.size()));
        EXPECT_EQ(engine.renderOffline(n, buffer), AVAudioEngineManualRenderingStatus::success);
        const auto* rendered = static_cast<const float*>(buffer.audioBufferList()->mBuffers[0].mData);
        output.insert(output.end(), rendered, rendered + n);
    }
    engine.stop();
    if (unit)
        engine.detach(unit);
    return output;
}

double rms(const std::vector<float>& x, std::size_t from) {
    double sum = 0;
    for (std::size_t i = from; i < x.size(); ++i)
        sum += double{x[i]} * x[i];
    return std::sqrt(sum / static_cast<double>(x.size() - from));
}

TEST(AVAudioEngine, OfflineRenderingRunsTheChainAndAUnitCanBeRenderedAgain) {
    registerSimulatedEffects();
    auto delay = AVAudioUnit::make(SimulatedDelayEffect::kDescription);
    ASSERT_TRUE(delay);
    delay->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 1234);
    std::vector<float> impulse(8000, 0.0f);
    impulse[10] = 1.0f;
    for (int round = 0; round < 2; ++round) {
        const auto out = renderOffline(impulse, delay, 256);
        ASSERT_EQ(out.size(), impulse.size());
        const auto peak = std::max_element(out.begin(), out.end()) - out.begin();
        EXPECT_EQ(peak, 10 + 1234) << "round " << round;
        EXPECT_FLOAT_EQ(out[static_cast<std::size_t>(peak)], 1.0f);
    }
    EXPECT_EQ(renderOffline(impulse, nullptr, 100), impulse);
}

TEST(AVAudioUnit, InstantiationCompletesOnAnotherThread) {
    registerSimulatedEffects();
    struct Result {
        std::mutex mutex;
        std::condition_variable done;
        int calls = 0;
        std::shared_ptr<AVAudioUnit> unit;
        std::optional<NSError> error;
        std::thread::id thread;
    };
    auto instantiate = [](const AudioComponentDescription& description) {
        auto result = std::make_shared<Result>();
        AVAudioUnit::instantiate(description, 0, [result](std::shared_ptr<AVAudioUnit> unit, std::optional<NSError> e) {
            std::lock_guard lock(result->mutex);
            result->unit = std::move(unit);
            result->error = std::move(e);
            result->thread = std::this_thread::get_id();
            ++result->calls;
            result->done.notify_all();
        });
        std::unique_lock lock(result->mutex);
        result->done.wait_for(lock, 10s, [&] { return result->calls > 0; });
        return result;
    };
    auto found = instantiate(SimulatedDelayEffect::kDescription);
    ASSERT_EQ(found->calls, 1);
    ASSERT_TRUE(found->unit);
    EXPECT_FALSE(found->error);
    EXPECT_NE(found->thread, std::this_thread::get_id());
    EXPECT_NEAR(found->unit->latency(), 480 / 48000.0, 1e-9);
    EXPECT_EQ(found->unit->audioComponentDescription().componentSubType, UInt32{kSimulatedDelaySubType});

    auto missing = instantiate({kAudioUnitType_Effect, 'none', 'none', 0, 0});
    ASSERT_EQ(missing->calls, 1);
    EXPECT_FALSE(missing->unit);
    ASSERT_TRUE(missing->error);
    EXPECT_FALSE(missing->error->localizedDescription.empty());
}

TEST(AVAudioEngine, EQNodeShapesTheSignalAsItsBandsSay) {
    auto eq = std::make_shared<AVAudioUnitEQ>(5);
    auto& band = eq->bands()[2];
    band.setFilterType(AVAudioUnitEQFilterType::parametric);
    band.setFrequency(1000);
    band.setBandwidth(1.0f);
    band.setGain(6.0f);
    band.setBypass(false);
    std::vector<float> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / 48000));
    auto out = renderOffline(sine, eq, 512);
    EXPECT_NEAR(20 * std::log10(rms(out, 4800) / rms(sine, 4800)), 6.0, 0.1);
    EXPECT_NEAR(eq->magnitudeResponseDB(1000), 6.0, 0.01);

    eq->setBypass(true);
    out = renderOffline(sine, eq, 512);
    EXPECT_NEAR(20 * std::log10(rms(out, 4800) / rms(sine, 4800)), 0.0, 0.01);
}

TEST(AVAudioEngine, InputChainTapAndConfigurationChange) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = mic.uid = "sim.mic";
    mic.inputChannels = 2;
    mic.nominalSampleRate = 44100;
    mic.bufferFrameSize = 441;
    mic.signal = SimulatedSignal::sineWave(500, 0.5);
    const AudioObjectID device = hardware.plug(mic);

    auto engine = std::make_shared<AVAudioEngine>();
    auto input = engine->inputNode();
    ASSERT_EQ(AudioUnitSetProperty(input->audioUnit(), kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                                   0, &device, sizeof device),
              0);
    EXPECT_EQ(input->inputFormat(0), AVAudioFormat(44100, 2));
    auto mixer = std::make_shared<AVAudioMixerNode>();
    std::size_t received = 0;
    auto sink = std::make_shared<AVAudioSinkNode>([&](const AudioTimeStamp&, UInt32 frames, const AudioBufferList*) {
        received += frames;
        return OSStatus{0};
    });
    engine->connect(input, mixer, input->inputFormat(0));
    engine->connect(mixer, sink, kMono48k);
    std::vector<std::size_t> tapSizes;
    mixer->installTap(0, 4096, std::nullopt, [&](AVAudioPCMBuffer& buffer, const AudioTimeStamp&) {
        tapSizes.push_back(buffer.frameLength());
    });

    int changes = 0;
    auto token =
        NotificationCenter::defaultCenter().addObserver(AVAudioEngine::kConfigurationChangeNotification, engine.get(),
                                                        std::nullopt, [&](const Notification&) { ++changes; });
    NSError error;
    ASSERT_TRUE(engine->start(&error)) << error.localizedDescription;
    time.advance(1s);
    EXPECT_NEAR(static_cast<double>(received), 48000, 600);
    EXPECT_GE(tapSizes.size(), 10u);
    for (auto n : tapSizes)
        EXPECT_EQ(n, 4096u);
    mixer->removeTap(0);
    const auto taps = tapSizes.size();
    time.advance(1s);
    EXPECT_EQ(tapSizes.size(), taps) << "no delivery after removeTap";

    ASSERT_TRUE(hardware.kill("sim.mic"));
    time.advance(10ms);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(engine->isRunning());
    NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace

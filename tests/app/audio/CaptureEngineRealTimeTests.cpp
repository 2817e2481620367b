#include <gtest/gtest.h>

#include <chrono>

#include "app/audio/CaptureEngine.h"
#include "platform/avaudio/AVAudioUnitEQ.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/sim/SimulatedGainEffect.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

// The capture graph on the device's real thread, the recording tap on its own, the main run loop on
// the test's thread: blocks arrive in the rings, a recording completes, stop ends it all.
TEST(CaptureEngineRealTime, BuildsRecordsAndStopsAcrossThreads) {
    MainRunLoop::attachCurrentThread();
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = mic.uid = "rt.capture";
    mic.inputChannels = 2;
    mic.nominalSampleRate = 44100;
    mic.bufferFrameSize = 256;
    mic.signal = SimulatedSignal::sineWave(300, 0.5);
    hardware.plug(mic);

    RingBuffer* rings[3] = {RingBufferCreate(1 << 17), RingBufferCreate(1 << 17), RingBufferCreate(1 << 17)};
    auto eq = std::make_shared<AVAudioUnitEQ>(5);
    eq->bands()[1].setBypass(false);
    eq->bands()[1].setGain(3);
    auto capture = std::make_shared<CaptureEngine>(rings[0], rings[1], rings[2], eq);
    registerSimulatedEffects();
    capture->setPluginUnit(AVAudioUnit::make(SimulatedGainEffect::kDescription));
    capture->start("rt.capture");
    for (int i = 0; i < 500 && capture->status() != EngineStatus::running(); ++i)
        MainRunLoop::runFor(10ms);
    ASSERT_EQ(capture->status(), EngineStatus::running());

    std::optional<std::vector<float>> recorded;
    bool done = false;
    capture->recordPreProcessing(0.2, {}, [&](std::optional<std::vector<float>> samples) {
        recorded = std::move(samples);
        done = true;
    });
    for (int i = 0; i < 1000 && !done; ++i) {
        MainRunLoop::runFor(10ms);
        eq->bands()[1].setGain(static_cast<float>(i % 7));  // parameter changes while the graph renders
    }
    ASSERT_TRUE(done);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->size(), 9600u);
    EXPECT_GT(RingBufferAvailableToRead(rings[0]), 9000u);
    EXPECT_GT(capture->renderFrameCount(), 0u);

    capture->stop();
    const auto filled = RingBufferAvailableToRead(rings[0]);
    MainRunLoop::runFor(50ms);
    EXPECT_EQ(RingBufferAvailableToRead(rings[0]), filled) << "nothing written after stop";
    capture.reset();
    for (RingBuffer* ring : rings)
        RingBufferFree(ring);
}

}  // namespace

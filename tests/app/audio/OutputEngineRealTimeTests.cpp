#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/audio/OutputEngine.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

OSStatus produce(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                 AudioBufferList*, const AudioTimeStamp*, void* ring) {
    const AudioBuffer& b = in->mBuffers[0];
    RingBufferWrite(static_cast<RingBuffer*>(ring), static_cast<const float*>(b.mData), b.mDataByteSize / 4);
    return 0;
}

// The capture side and the output device each on their own real thread, the engine started and
// stopped from a third: the signal arrives, and stop really stops the render callback.
TEST(OutputEngineRealTime, PlaysWhatAnotherThreadProducesAndStopsCleanly) {
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = mic.uid = "rt.mic";
    mic.inputChannels = 1;
    mic.bufferFrameSize = 128;
    mic.driftPPM = 300;
    mic.signal = SimulatedSignal::sineWave(440, 0.5);
    SimulatedDeviceDescription feed;
    feed.name = feed.uid = "rt.feed";
    feed.outputChannels = 2;
    feed.nominalSampleRate = 44100;
    feed.bufferFrameSize = 147;
    const AudioObjectID micID = hardware.plug(mic);
    hardware.plug(feed);

    std::atomic<std::uint64_t> audible{0}, cycles{0};
    hardware.setOutputObserver("rt.feed", [&](double, const float* s, std::uint32_t frames, std::uint32_t channels) {
        std::uint64_t n = 0;
        for (std::uint32_t i = 0; i < frames; ++i)
            n += s[i * channels] != 0.0f;
        audible += n;
        ++cycles;
    });

    RingBuffer* ring = RingBufferCreate(16384);
    auto engine = std::make_shared<OutputEngine>(ring);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(micID, produce, ring, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(micID, proc), 0);

    for (int round = 0; round < 3; ++round) {
        engine->start("rt.feed");
        ASSERT_EQ(engine->status(), EngineStatus::running());
        const auto target = audible.load() + 4410;
        for (int i = 0; i < 5000 && audible < target; ++i)
            std::this_thread::sleep_for(1ms);
        EXPECT_GE(audible.load(), target) << "round " << round;
        engine->stop();
        const auto after = cycles.load();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(cycles.load(), after) << "no output cycle once the engine has stopped";
    }
    AudioDeviceDestroyIOProcID(micID, proc);
    engine.reset();
    RingBufferFree(ring);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

struct Capture {
    std::vector<float> input;        // first channel of every input buffer
    std::vector<double> inputTimes;  // input sample time per call
    std::vector<UInt32> frames;
    float outputValue = 0.25f;
    std::atomic<int> calls{0};
};

OSStatus captureProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp* inTime,
                     AudioBufferList* out, const AudioTimeStamp*, void* data) {
    auto& c = *static_cast<Capture*>(data);
    if (in->mNumberBuffers > 0) {
        const auto* s = static_cast<const float*>(in->mBuffers[0].mData);
        const UInt32 ch = in->mBuffers[0].mNumberChannels;
        const UInt32 n = in->mBuffers[0].mDataByteSize / sizeof(float) / ch;
        for (UInt32 i = 0; i < n; ++i)
            c.input.push_back(s[i * ch]);
        c.frames.push_back(n);
    }
    for (UInt32 b = 0; b < out->mNumberBuffers; ++b) {
        auto* d = static_cast<float*>(out->mBuffers[b].mData);
        for (UInt32 i = 0; i < out->mBuffers[b].mDataByteSize / sizeof(float); ++i)
            d[i] = c.outputValue;
    }
    c.inputTimes.push_back(inTime->mSampleTime);
    ++c.calls;
    return 0;
}

SimulatedDeviceDescription device(std::string uid, UInt32 in, UInt32 out, double rate, UInt32 frames, double ppm) {
    SimulatedDeviceDescription d;
    d.name = uid;
    d.uid = std::move(uid);
    d.inputChannels = in;
    d.outputChannels = out;
    d.nominalSampleRate = rate;
    d.bufferFrameSize = frames;
    d.driftPPM = ppm;
    return d;
}

TEST(AudioDeviceIO, CyclesFollowTheDeviceClockAndCarryAContinuousSignal) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    auto description = device("sim.in", 2, 0, 44100, 441, 100);
    description.signal = SimulatedSignal::sineWave(1000, 0.5);
    const AudioObjectID id = hardware.plug(description);
    Capture capture;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(id, captureProc, &capture, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(id, proc), 0);
    time.advance(10s);
    ASSERT_EQ(AudioDeviceStop(id, proc), 0);

    // 10 s of a clock 100 ppm fast, in cycles of 441 frames.
    const double expected = 10 * 44100 * (1 + 100e-6) / 441;
    EXPECT_NEAR(capture.calls.load(), expected, 1.0);
    for (UInt32 n : capture.frames)
        ASSERT_EQ(n, 441u);
    for (std::size_t i = 1; i < capture.inputTimes.size(); ++i)
        ASSERT_EQ(capture.inputTimes[i] - capture.inputTimes[i - 1], 441.0);
    // The sine runs on without a seam from buffer to buffer.
    const double t0 = capture.inputTimes.front();
    for (std::size_t i = 0; i < capture.input.size(); i += 97)
        ASSERT_NEAR(capture.input[i], 0.5 * std::sin(2 * std::numbers::pi * 1000 * (t0 + i) / 44100), 1e-4) << i;

    // Stopped means stopped.
    const int calls = capture.calls;
    time.advance(1s);
    EXPECT_EQ(capture.calls, calls);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(id, proc), 0);
}

TEST(AudioDeviceIO, OutputsOfAllProcsAreMixedAndRecorded) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    const AudioObjectID id = hardware.plug(device("sim.out", 0, 2, 48000, 256, 0));
    ASSERT_TRUE(hardware.recordToMemory("sim.out", 1024));
    Capture a, b;
    b.outputValue = 0.5f;
    AudioDeviceIOProcID pa = nullptr, pb = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(id, captureProc, &a, &pa), 0);
    ASSERT_EQ(AudioDeviceCreateIOProcID(id, captureProc, &b, &pb), 0);
    ASSERT_EQ(AudioDeviceStart(id, pa), 0);
    ASSERT_EQ(AudioDeviceStart(id, pb), 0);
    time.advance(100ms);
    auto recorded = hardware.recording("sim.out");
    ASSERT_EQ(recorded.size(), 2048u);
    for (float s : recorded)
        ASSERT_FLOAT_EQ(s, 0.75f);

    AudioDeviceDestroyIOProcID(id, pb);  // destroying stops it
    time.advance(100ms);
    recorded = hardware.recording("sim.out");
    EXPECT_FLOAT_EQ(recorded.back(), 0.25f);
    AudioDeviceDestroyIOProcID(id, pa);
}

TEST(AudioDeviceIO, UnplugAndDeathStopTheCycles) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    const AudioObjectID id = hardware.plug(device("sim.out", 0, 2, 48000, 512, 0));
    const AudioObjectID other = hardware.plug(device("sim.other", 0, 2, 48000, 512, 0));
    Capture capture, second;
    AudioDeviceIOProcID proc = nullptr, otherProc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(id, captureProc, &capture, &proc), 0);
    ASSERT_EQ(AudioDeviceCreateIOProcID(other, captureProc, &second, &otherProc), 0);
    ASSERT_EQ(AudioDeviceStart(id, proc), 0);
    ASSERT_EQ(AudioDeviceStart(other, otherProc), 0);
    time.advance(50ms);
    ASSERT_GT(capture.calls, 0);

    ASSERT_TRUE(hardware.unplug("sim.out"));
    ASSERT_TRUE(hardware.kill("sim.other"));
    const int calls = capture.calls, otherCalls = second.calls;
    time.advance(1s);
    EXPECT_EQ(capture.calls, calls);
    EXPECT_EQ(second.calls, otherCalls);
    EXPECT_EQ(AudioDeviceStop(id, proc), 0) << "stopping on a vanished device is not an error";
    EXPECT_EQ(AudioDeviceStart(id, proc), kAudioHardwareBadObjectError);
    EXPECT_NE(AudioDeviceStart(other, otherProc), 0) << "a dead device does not start";
}

TEST(AudioDeviceIO, RealThreadsStopReturnsOnlyWhenTheProcIsDone) {
    SimulatedAudioHardware hardware;
    const AudioObjectID id = hardware.plug(device("sim.real", 1, 2, 48000, 64, 0));
    Capture capture;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(id, captureProc, &capture, &proc), 0);
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(AudioDeviceStart(id, proc), 0);
        const int before = capture.calls;
        for (int i = 0; i < 2000 && capture.calls < before + 5; ++i)
            std::this_thread::sleep_for(1ms);
        ASSERT_GE(capture.calls, before + 5) << "cycles run on the device's own thread";
        ASSERT_EQ(AudioDeviceStop(id, proc), 0);
        const int after = capture.calls;
        std::this_thread::sleep_for(10ms);
        EXPECT_EQ(capture.calls, after);
    }
    EXPECT_EQ(AudioDeviceDestroyIOProcID(id, proc), 0);
}

}  // namespace

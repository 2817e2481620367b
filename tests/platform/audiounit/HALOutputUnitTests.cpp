#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audiounit/AudioUnit.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "tests/platform/audiounit/SignalMeasure.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

SimulatedDeviceDescription outputDevice(const std::string& uid, UInt32 channels, double rate) {
    SimulatedDeviceDescription d;
    d.name = d.uid = uid;
    d.outputChannels = channels;
    d.nominalSampleRate = rate;
    d.bufferFrameSize = 512;
    return d;
}

// The render callback's side: a sine or a per-channel ramp, non-interleaved, with a record of the calls.
struct Client {
    double rate = 48000;
    bool sine = false;
    std::vector<UInt32> frames;
    std::vector<double> sampleTimes;
    std::vector<UInt64> hostTimes;
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    std::atomic<bool> calledAfterStop{false};
    std::mutex mutex;
    std::condition_variable called;

    float value(double frame, UInt32 channel) const {
        return sine ? test::sineSample(1000, rate, frame) : static_cast<float>((channel + 1) / 10.0 + frame / 1e6);
    }

    static OSStatus render(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32, UInt32 n,
                           AudioBufferList* data) {
        auto* self = static_cast<Client*>(refCon);
        if (self->stopped) {
            self->calledAfterStop = true;
        }
        self->frames.push_back(n);
        self->sampleTimes.push_back(time->mSampleTime);
        self->hostTimes.push_back(time->mHostTime);
        for (UInt32 c = 0; c < data->mNumberBuffers; ++c) {
            for (UInt32 f = 0; f < n; ++f) {
                static_cast<float*>(data->mBuffers[c].mData)[f] = self->value(time->mSampleTime + f, c);
            }
        }
        std::lock_guard lock(self->mutex);
        ++self->calls;
        self->called.notify_all();
        return noErr;
    }
};

// What the output engine does: find the component, make an instance, set it up, initialise it.
AudioUnit makeUnit(AudioObjectID device, Client& client, UInt32 maxFramesPerSlice = 4096) {
    const AudioComponentDescription hal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                        kAudioUnitManufacturer_Apple, 0, 0};
    AudioUnit unit = nullptr;
    if (AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &hal), &unit) != noErr) {
        return nullptr;
    }
    const UInt32 off = 0;
    const AudioStreamBasicDescription format{client.rate, kAudioFormatLinearPCM, 0x29, 4, 1, 4, 2, 32, 0};
    const AURenderCallbackStruct callback{&Client::render, &client};
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &off, 4), noErr);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &device, 4),
              noErr);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &format, 40),
              noErr);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, &callback,
                                   sizeof(callback)),
              noErr);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0,
                                   &maxFramesPerSlice, 4),
              noErr);
    EXPECT_EQ(AudioUnitInitialize(unit), noErr);
    return unit;
}

TEST(HALOutputUnit, AtTheDeviceRateEachCycleRendersItsFramesAndTheyReachTheDeviceChannelByChannel) {
    for (const UInt32 deviceChannels : {2u, 1u, 3u}) {
        SCOPED_TRACE(deviceChannels);
        VirtualTime time;
        SimulatedAudioHardware hardware;
        const AudioObjectID device = hardware.plug(outputDevice("sim.out", deviceChannels, 48000));
        hardware.recordToMemory("sim.out", 48000);
        Client client;
        AudioUnit unit = makeUnit(device, client, 256);
        ASSERT_NE(unit, nullptr);
        ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
        time.advance(100ms);
        ASSERT_EQ(AudioComponentInstanceDispose(unit), noErr);

        // Each 512-frame cycle is two render calls of 256 frames, on one timeline.
        const std::vector<float> recording = hardware.recording("sim.out");
        ASSERT_EQ(client.frames.size(), 2 * hardware.cycleCount("sim.out"));
        ASSERT_EQ(recording.size(), client.frames.size() * 256 * deviceChannels);
        for (std::size_t i = 0; i < client.frames.size(); ++i) {
            ASSERT_EQ(client.frames[i], 256u);
            ASSERT_EQ(client.sampleTimes[i], 256.0 * i);
            ASSERT_EQ(client.hostTimes[i], client.hostTimes[i - i % 2]) << "a cycle's calls share its time";
        }
        for (std::size_t f = 0; f < recording.size() / deviceChannels; ++f) {
            const float left = client.value(f, 0);
            const float right = client.value(f, 1);
            const std::vector<float> expected = deviceChannels == 1   ? std::vector{(left + right) / 2}
                                                : deviceChannels == 2 ? std::vector{left, right}
                                                                      : std::vector{left, right, 0.0f};
            for (UInt32 c = 0; c < deviceChannels; ++c) {
                ASSERT_FLOAT_EQ(recording[f * deviceChannels + c], expected[c]) << "frame " << f << " channel " << c;
            }
        }
    }
}

TEST(HALOutputUnit, AtAnotherRateEveryCycleRendersItsShareAndTheSineKeepsItsPitch) {
    for (const auto& [clientRate, deviceRate] : {std::pair{48000.0, 44100.0}, std::pair{44100.0, 48000.0}}) {
        SCOPED_TRACE(testing::Message() << clientRate << " -> " << deviceRate);
        VirtualTime time;
        SimulatedAudioHardware hardware;
        const AudioObjectID device = hardware.plug(outputDevice("sim.other", 2, deviceRate));
        hardware.recordToMemory("sim.other", 96000);
        Client client;
        client.rate = clientRate;
        client.sine = true;
        AudioUnit unit = makeUnit(device, client);
        ASSERT_NE(unit, nullptr);
        ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
        time.advance(1s);
        ASSERT_EQ(AudioComponentInstanceDispose(unit), noErr);

        const std::vector<float> recording = hardware.recording("sim.other");
        const double deviceFrames = static_cast<double>(recording.size()) / 2;
        EXPECT_NEAR(deviceFrames, deviceRate, 512);
        double rendered = 0;
        double inCycle = 0;
        for (std::size_t i = 0; i < client.frames.size(); ++i) {
            ASSERT_EQ(client.sampleTimes[i], rendered);
            rendered += client.frames[i];
            inCycle += client.frames[i];
            if (i + 1 == client.frames.size() || client.hostTimes[i + 1] != client.hostTimes[i]) {
                ASSERT_NEAR(inCycle, 512 * clientRate / deviceRate, 1.0) << "the cycle ending with call " << i;
                inCycle = 0;
            }
        }
        EXPECT_NEAR(rendered, deviceFrames * clientRate / deviceRate, 2);
        const std::vector<float> settled(recording.begin() + 9000, recording.end());
        EXPECT_NEAR(test::measuredFrequency(settled, 2, 0, deviceRate), 1000.0, 0.5);
        EXPECT_NEAR(test::measuredFrequency(settled, 2, 1, deviceRate), 1000.0, 0.5);
    }
}

TEST(HALOutputUnit, AChangeOfTheDeviceRateSilencesTheUnitUntilItIsInitialisedAgain) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription description = outputDevice("sim.var", 2, 48000);
    description.availableSampleRates = {44100, 48000};
    const AudioObjectID device = hardware.plug(description);
    Client client;
    client.sine = true;
    AudioUnit unit = makeUnit(device, client);
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
    time.advance(100ms);
    ASSERT_TRUE(hardware.setNominalSampleRate("sim.var", 44100));
    time.advance(20ms);  // the rate listener runs
    hardware.recordToMemory("sim.var", 44100);
    time.advance(200ms);
    const std::vector<float> afterChange = hardware.recording("sim.var");
    ASSERT_FALSE(afterChange.empty());
    EXPECT_EQ(afterChange, std::vector<float>(afterChange.size(), 0.0f));

    ASSERT_EQ(AudioUnitUninitialize(unit), noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    ASSERT_EQ(AudioOutputUnitStart(unit), noErr);
    hardware.recordToMemory("sim.var", 44100);
    time.advance(500ms);
    const std::vector<float> reinitialised = hardware.recording("sim.var");
    const std::vector<float> settled(reinitialised.begin() + 2 * 4410, reinitialised.end());
    EXPECT_NEAR(test::measuredFrequency(settled, 2, 0, 44100), 1000.0, 0.5);
    ASSERT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

TEST(HALOutputUnit, AfterStopReturnsTheRenderCallbackIsNeverCalledAgain) {
    SimulatedAudioHardware hardware;  // real device threads
    const AudioObjectID device = hardware.plug(outputDevice("sim.rt", 2, 48000));
    Client stopping;
    Client witness;  // a second unit on the same device shows that its cycles go on
    AudioUnit first = makeUnit(device, stopping);
    AudioUnit second = makeUnit(device, witness);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(AudioOutputUnitStart(first), noErr);
    ASSERT_EQ(AudioOutputUnitStart(second), noErr);
    const auto waitForCalls = [](Client& client, int count) {
        std::unique_lock lock(client.mutex);
        return client.called.wait_for(lock, 10s, [&] { return client.calls >= count; });
    };
    ASSERT_TRUE(waitForCalls(stopping, 5));
    ASSERT_EQ(AudioOutputUnitStop(first), noErr);
    stopping.stopped = true;
    ASSERT_TRUE(waitForCalls(witness, witness.calls + 10));
    EXPECT_FALSE(stopping.calledAfterStop);
    EXPECT_EQ(AudioComponentInstanceDispose(first), noErr);
    EXPECT_EQ(AudioComponentInstanceDispose(second), noErr);
}

TEST(HALOutputUnit, PropertiesAnswerWithTheDocumentedStatusCodes) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    const AudioObjectID speakers = hardware.plug(outputDevice("sim.spk", 2, 44100));
    SimulatedDeviceDescription mic = outputDevice("sim.mic", 0, 48000);
    mic.inputChannels = 1;
    const AudioObjectID microphone = hardware.plug(mic);
    const AudioComponentDescription hal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                        kAudioUnitManufacturer_Apple, 0, 0};
    AudioUnit unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &hal), &unit), noErr);
    AudioObjectID current = 0;
    AudioStreamBasicDescription deviceFormat{};
    UInt32 size = 4;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, 0, 0, &current, &size), noErr);
    EXPECT_EQ(current, speakers) << "the default output device";
    size = 40;
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat, 2, 0, &deviceFormat, &size), noErr);
    EXPECT_EQ(deviceFormat.mSampleRate, 44100.0);
    EXPECT_EQ(deviceFormat.mChannelsPerFrame, 2u);

    const UInt32 one = 1;
    const AudioObjectID unknown = 4711;
    const AudioStreamBasicDescription good{48000, kAudioFormatLinearPCM, 0x29, 4, 1, 4, 2, 32, 0};
    const AudioStreamBasicDescription int16{48000, kAudioFormatLinearPCM, 0x0C, 4, 1, 4, 2, 16, 0};
    const AudioStreamBasicDescription slow{7999, kAudioFormatLinearPCM, 0x29, 4, 1, 4, 2, 32, 0};
    const AudioStreamBasicDescription nine{48000, kAudioFormatLinearPCM, 0x29, 4, 1, 4, 9, 32, 0};
    struct Case {
        AudioUnitPropertyID id;
        AudioUnitScope scope;
        AudioUnitElement element;
        const void* data;
        UInt32 size;
        OSStatus expected;
    };
    for (const Case& c : {
             Case{kAudioOutputUnitProperty_EnableIO, 1, 1, &one, 4, kAudioUnitErr_InvalidPropertyValue},
             Case{kAudioOutputUnitProperty_EnableIO, 2, 0, &one, 3, kAudioUnitErr_InvalidParameter},
             Case{kAudioOutputUnitProperty_EnableIO, 0, 0, &one, 4, kAudioUnitErr_InvalidScope},
             Case{kAudioOutputUnitProperty_EnableIO, 1, 0, &one, 4, kAudioUnitErr_InvalidElement},
             Case{kAudioOutputUnitProperty_CurrentDevice, 0, 0, &unknown, 4, kAudioHardwareBadObjectError},
             Case{kAudioOutputUnitProperty_CurrentDevice, 0, 0, &microphone, 4, kAudioUnitErr_InvalidPropertyValue},
             Case{kAudioUnitProperty_StreamFormat, 1, 0, &int16, 40, kAudioUnitErr_FormatNotSupported},
             Case{kAudioUnitProperty_StreamFormat, 1, 0, &slow, 40, kAudioUnitErr_FormatNotSupported},
             Case{kAudioUnitProperty_StreamFormat, 1, 0, &nine, 40, kAudioUnitErr_FormatNotSupported},
             Case{kAudioUnitProperty_StreamFormat, 1, 0, &good, 39, kAudioUnitErr_InvalidParameter},
             Case{kAudioUnitProperty_StreamFormat, 1, 1, &good, 40, kAudioUnitErr_InvalidElement},
             Case{kAudioUnitProperty_StreamFormat, 2, 0, &good, 40, kAudioUnitErr_PropertyNotWritable},
             Case{kAudioUnitProperty_BypassEffect, 0, 0, &one, 4, kAudioUnitErr_InvalidProperty},
         }) {
        EXPECT_EQ(AudioUnitSetProperty(unit, c.id, c.scope, c.element, c.data, c.size), c.expected)
            << "property " << c.id << " scope " << c.scope << " element " << c.element << " size " << c.size;
    }
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);

    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, 1, 0, &good, 40), noErr);
    ASSERT_EQ(AudioUnitInitialize(unit), noErr);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, 1, 0, &good, 40), kAudioUnitErr_Initialized);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, 0, 0, &speakers, 4),
              kAudioUnitErr_Initialized);
    Float64 latency = 0;
    size = sizeof(latency);
    ASSERT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_Latency, 0, 0, &latency, &size), noErr);
    EXPECT_GT(latency, 0.0) << "48 kHz onto a 44.1 kHz device";
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

}  // namespace
}  // namespace velunto

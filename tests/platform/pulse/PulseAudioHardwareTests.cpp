#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/oslog/LogCapture.h"
#include "platform/pulse/PulseAudioDevice.h"
#include "platform/pulse/PulseAudioHardware.h"
#include "platform/pulse/PulseVirtualMicrophone.h"
#include "tests/support/PulseServer.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <class T>
T read(AudioObjectID object, AudioObjectPropertyAddress where) {
    T value{};
    UInt32 size = sizeof(T);
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value), 0);
    return value;
}

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    auto owned = CFOwned<CFStringRef>::adopt(read<CFStringRef>(object, address(selector)));
    return stringFromCFString(owned.get()).value_or("<none>");
}

UInt32 channels(AudioObjectID object, AudioObjectPropertyScope scope) {
    auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(object, &where, 0, nullptr, &size), 0);
    std::vector<std::max_align_t> storage(size / sizeof(std::max_align_t) + 1);
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, storage.data()), 0);
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    UInt32 total = 0;
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b)
        total += list->mBuffers[b].mNumberChannels;
    return total;
}

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Keeps the first channel of what a device delivers, in memory taken before the I/O starts.
struct Recording {
    std::vector<float> samples = std::vector<float>(48000 * 10);
    std::atomic<std::size_t> count{0};
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<bool> timesContinuous{true};
    std::atomic<std::size_t> firstSound{SIZE_MAX};  // where the first sound came
    double nextInputTime = -1;

    // real-time
    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                         const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*, void* client) {
        auto* self = static_cast<Recording*>(client);
        const auto& buffer = input->mBuffers[0];
        const UInt32 channels = buffer.mNumberChannels;
        const UInt32 frames = buffer.mDataByteSize / (sizeof(float) * channels);
        if (self->nextInputTime >= 0 && inputTime->mSampleTime != self->nextInputTime)
            self->timesContinuous = false;
        self->nextInputTime = inputTime->mSampleTime + frames;
        std::size_t at = self->count.load(std::memory_order_relaxed);
        const auto* data = static_cast<const float*>(buffer.mData);
        for (UInt32 f = 0; f < frames && at < self->samples.size(); ++f) {
            if (self->firstSound.load(std::memory_order_relaxed) == SIZE_MAX && std::abs(data[f * channels]) > 1e-3f)
                self->firstSound.store(at, std::memory_order_relaxed);
            self->samples[at++] = data[f * channels];
        }
        self->count.store(at, std::memory_order_release);
        ++self->cycles;
        return 0;
    }

    // Frames recorded since the first sound.
    std::size_t sounding() const {
        const std::size_t first = firstSound.load();
        return first == SIZE_MAX ? 0 : count.load() - first;
    }

    std::vector<float> last(std::size_t frames) const {
        const std::size_t end = count.load(std::memory_order_acquire);
        const std::size_t begin = end > frames ? end - frames : 0;
        return {samples.begin() + static_cast<std::ptrdiff_t>(begin),
                samples.begin() + static_cast<std::ptrdiff_t>(end)};
    }
};

// Plays a sine on every channel.
struct Tone {
    double frequency = 1000;
    double rate = 48000;
    double phase = 0;

    // real-time
    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                         AudioBufferList* output, const AudioTimeStamp*, void* client) {
        auto* self = static_cast<Tone*>(client);
        auto& buffer = output->mBuffers[0];
        const UInt32 channels = buffer.mNumberChannels;
        const UInt32 frames = buffer.mDataByteSize / (sizeof(float) * channels);
        auto* data = static_cast<float*>(buffer.mData);
        for (UInt32 f = 0; f < frames; ++f) {
            const auto value = static_cast<float>(0.5 * std::sin(self->phase));
            self->phase += 2 * std::numbers::pi * self->frequency / self->rate;
            for (UInt32 c = 0; c < channels; ++c)
                data[f * channels + c] = value;
        }
        self->phase = std::fmod(self->phase, 2 * std::numbers::pi);
        return 0;
    }
};

// Frequency from rising zero crossings; the longest run of (near) silent samples and the share of
// samples in such runs; the RMS.
struct Analysis {
    double frequency = 0;
    std::size_t longestSilence = 0;
    double silentShare = 0;
    double rms = 0;
};

Analysis analyse(const std::vector<float>& samples, double rate) {
    Analysis result;
    std::size_t first = 0, last = 0, crossings = 0, silence = 0, silent = 0;
    double energy = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings++ == 0)
                first = i;
            last = i;
        }
        silence = std::abs(samples[i]) < 1e-4 ? silence + 1 : 0;
        silent += silence >= 4 ? (silence == 4 ? 4 : 1) : 0;  // runs of four or more: a sine never has them
        result.longestSilence = std::max(result.longestSilence, silence);
        energy += double{samples[i]} * samples[i];
    }
    if (crossings > 1)
        result.frequency = static_cast<double>(crossings - 1) * rate / static_cast<double>(last - first);
    result.rms = samples.empty() ? 0 : std::sqrt(energy / static_cast<double>(samples.size()));
    result.silentShare = samples.empty() ? 1 : static_cast<double>(silent) / static_cast<double>(samples.size());
    return result;
}

class PulseAudioHardwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseServer::available())
            GTEST_SKIP() << "pulseaudio is not installed";
        server = std::make_unique<PulseServer>();
        ASSERT_TRUE(server->ready()) << server->log();
        std::string error;
        hardware = PulseAudioHardware::connect(3s, &error);
        ASSERT_TRUE(hardware) << error;
    }
    void TearDown() override {
        hardware.reset();
        server.reset();
    }

    AudioObjectID id(const std::string& uid) { return hardware->deviceID(uid).value_or(kAudioObjectUnknown); }

    std::unique_ptr<PulseServer> server;
    std::unique_ptr<PulseAudioHardware> hardware;
};

}  // namespace

TEST_F(PulseAudioHardwareTest, PublishesTheServersSourcesAndSinksWithTheirFacts) {
    EXPECT_EQ(hardware->serverDescription().rfind("PulseAudio ", 0), 0u) << hardware->serverDescription();
    const AudioObjectID speakers = id("speakers");
    const AudioObjectID monitor = id("speakers.monitor");
    const AudioObjectID sine = id("sine");
    ASSERT_NE(speakers, kAudioObjectUnknown);
    ASSERT_NE(monitor, kAudioObjectUnknown);
    ASSERT_NE(sine, kAudioObjectUnknown);

    EXPECT_EQ(readString(speakers, kAudioObjectPropertyName), "Lautsprecher");
    EXPECT_EQ(readString(speakers, kAudioDevicePropertyDeviceUID), "speakers");
    EXPECT_EQ(channels(speakers, kAudioObjectPropertyScopeOutput), 2u);
    EXPECT_EQ(channels(speakers, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_EQ(channels(sine, kAudioObjectPropertyScopeInput), 1u);
    EXPECT_EQ(read<Float64>(sine, address(kAudioDevicePropertyNominalSampleRate)), 48000.0);
    EXPECT_EQ(read<UInt32>(speakers, address(kAudioDevicePropertyTransportType)),
              static_cast<UInt32>(kAudioDeviceTransportTypeVirtual));
    EXPECT_EQ(read<UInt32>(sine, address(kAudioDevicePropertyBufferFrameSize)), 192u);
    EXPECT_EQ(read<UInt32>(speakers, address(kAudioDevicePropertyIsHidden)), 0u);
    EXPECT_EQ(read<UInt32>(monitor, address(kAudioDevicePropertyIsHidden)), 1u);
    EXPECT_EQ(
        read<UInt32>(monitor, address(kAudioDevicePropertyDeviceCanBeDefaultDevice, kAudioObjectPropertyScopeInput)),
        0u);

    EXPECT_EQ(read<AudioObjectID>(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice)), sine);
    EXPECT_EQ(read<AudioObjectID>(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice)),
              speakers);
}

TEST_F(PulseAudioHardwareTest, FollowsDevicesThatComeAndGoAndTheServersDefaults) {
    std::atomic<int> listChanges{0};
    std::atomic<int> deaths{0};
    auto onList =
        makeAudioObjectPropertyListenerBlock([&](UInt32, const AudioObjectPropertyAddress*) { ++listChanges; });
    auto onDeath = makeAudioObjectPropertyListenerBlock([&](UInt32, const AudioObjectPropertyAddress*) { ++deaths; });
    const auto devicesAddress = address(kAudioHardwarePropertyDevices);
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, &devicesAddress, std::nullopt, onList), 0);

    const std::string module = PulseServer::output(
        "pactl load-module module-null-sink sink_name=extra sink_properties=device.description=Extra");
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(hardware->waitForDevice("extra", 5s));
    const AudioObjectID extra = id("extra");
    EXPECT_EQ(readString(extra, kAudioObjectPropertyName), "Extra");
    EXPECT_GE(listChanges.load(), 2) << "the sink and its monitor";
    const auto alive = address(kAudioDevicePropertyDeviceIsAlive);
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(extra, &alive, std::nullopt, onDeath), 0);

    ASSERT_EQ(PulseServer::run("pactl set-default-sink extra"), 0);
    const auto defaultOutput = [] {
        return read<AudioObjectID>(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice));
    };
    EXPECT_TRUE(eventually([&] { return defaultOutput() == extra; }));

    ASSERT_EQ(PulseServer::run("pactl unload-module " + module), 0);
    EXPECT_TRUE(eventually([&] { return !hardware->deviceID("extra").has_value(); }));
    EXPECT_TRUE(eventually([&] { return deaths.load() == 1; }));
    EXPECT_TRUE(eventually([&] { return defaultOutput() == id("speakers"); })) << "the server's new default";
    AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &devicesAddress, std::nullopt, onList);
}

struct Recorded {
    Analysis lastSecond;
    bool timesContinuous = false;
    UInt32 latency = 0;
    UInt32 safetyOffset = 0;
};

// Records a source through an I/O proc of our own until it has sounded for `seconds`.
Recorded record(AudioObjectID source, double seconds) {
    auto recording = std::make_unique<Recording>();
    Recorded result;
    AudioDeviceIOProcID proc = nullptr;
    EXPECT_EQ(AudioDeviceCreateIOProcID(source, &Recording::proc, recording.get(), &proc), 0);
    EXPECT_EQ(AudioDeviceStart(source, proc), 0);
    const auto frames = static_cast<std::size_t>(seconds * 48000);
    EXPECT_TRUE(eventually([&] { return recording->sounding() >= frames; }, 15s));
    EXPECT_EQ(read<UInt32>(source, address(kAudioDevicePropertyDeviceIsRunning)), 1u);
    result.latency = read<UInt32>(source, address(kAudioDevicePropertyLatency, kAudioObjectPropertyScopeInput));
    result.safetyOffset =
        read<UInt32>(source, address(kAudioDevicePropertySafetyOffset, kAudioObjectPropertyScopeInput));
    AudioDeviceStop(source, proc);
    AudioDeviceDestroyIOProcID(source, proc);
    EXPECT_EQ(read<UInt32>(source, address(kAudioDevicePropertyDeviceIsRunning)), 0u);
    result.lastSecond = analyse(recording->last(48000), 48000);
    result.timesContinuous = recording->timesContinuous.load();
    return result;
}

TEST_F(PulseAudioHardwareTest, RecordsAQuickSourceWithLowLatencyAndNoGaps) {
    const Recorded mic = record(id("mic"), 2);
    EXPECT_NEAR(mic.lastSecond.frequency, 1000.0, 10.0);
    EXPECT_GT(mic.lastSecond.rms, 0.05);
    // A loaded machine may drop a piece now and then; nothing more.
    EXPECT_LT(mic.lastSecond.silentShare, 0.01);
    EXPECT_LT(mic.lastSecond.longestSilence, 960u);
    EXPECT_TRUE(mic.timesContinuous);
    EXPECT_EQ(mic.safetyOffset, 192u + 144u) << "a piece of 4 ms as it arrives, and 3 ms for jitter";
    EXPECT_EQ(mic.latency, 96u) << "half the piece the source keeps";
}

TEST_F(PulseAudioHardwareTest, ASourceThatAnswersInLargePiecesIsRecordedWithALargerMargin) {
    const Recorded sine = record(id("sine"), 4);
    EXPECT_NEAR(sine.lastSecond.frequency, 440.0, 4.4);
    EXPECT_LT(sine.lastSecond.silentShare, 0.01);
    EXPECT_GT(sine.safetyOffset, 48000u);
    EXPECT_GT(sine.latency, 48000u / 2) << "half of what it granted";
}

TEST_F(PulseAudioHardwareTest, WhatIsPlayedIntoTheFeedComesOutOfTheVirtualMicrophone) {
    const PulseVirtualMicrophone::Names names{"app.velunto.mic.feed", "Velunto Mic (Einspeisung)", "app.velunto.mic",
                                              "Velunto Mic"};
    std::string error;
    auto microphone = PulseVirtualMicrophone::install(*hardware, names, 5s, &error);
    ASSERT_TRUE(microphone) << error;
    EXPECT_EQ(microphone->modulesLoaded(), 2u);
    const AudioObjectID feed = id("app.velunto.mic.feed");
    const AudioObjectID mic = id("app.velunto.mic");
    EXPECT_EQ(readString(feed, kAudioObjectPropertyName), "Velunto Mic (Einspeisung)");
    EXPECT_EQ(readString(mic, kAudioObjectPropertyName), "Velunto Mic");
    EXPECT_EQ(read<UInt32>(feed, address(kAudioDevicePropertyIsHidden)), 1u);
    EXPECT_EQ(read<UInt32>(mic, address(kAudioDevicePropertyIsHidden)), 0u);
    EXPECT_EQ(channels(mic, kAudioObjectPropertyScopeInput), 2u);

    Tone tone;
    Recording recording;
    AudioDeviceIOProcID player = nullptr;
    AudioDeviceIOProcID recorder = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(feed, &Tone::proc, &tone, &player), 0);
    ASSERT_EQ(AudioDeviceCreateIOProcID(mic, &Recording::proc, &recording, &recorder), 0);
    ASSERT_EQ(AudioDeviceStart(feed, player), 0);
    ASSERT_EQ(AudioDeviceStart(mic, recorder), 0);
    // The last two of four seconds: the stream clocks have settled.
    EXPECT_TRUE(eventually([&] { return recording.sounding() >= 48000 * 4; }, 12s));
    AudioDeviceStop(mic, recorder);
    AudioDeviceStop(feed, player);
    AudioDeviceDestroyIOProcID(mic, recorder);
    AudioDeviceDestroyIOProcID(feed, player);

    const Analysis heard = analyse(recording.last(48000 * 2), 48000);
    EXPECT_NEAR(heard.frequency, 1000.0, 10.0);
    EXPECT_NEAR(heard.rms, 0.5 / std::numbers::sqrt2, 0.02) << "unchanged level";
    EXPECT_LT(heard.silentShare, 0.01) << "the two clocks stay in step; frames missed: played "
                                       << hardware->device("app.velunto.mic.feed")->missedFrames() << ", recorded "
                                       << hardware->device("app.velunto.mic")->missedFrames();
    EXPECT_LT(heard.longestSilence, 960u);
}

TEST_F(PulseAudioHardwareTest, TheVirtualMicrophoneIsReusedAndOnlyItsMakerRemovesIt) {
    const PulseVirtualMicrophone::Names names{"app.velunto.mic.feed", "Velunto Mic (Einspeisung)", "app.velunto.mic",
                                              "Velunto Mic"};
    auto first = PulseVirtualMicrophone::install(*hardware, names, 5s);
    ASSERT_TRUE(first);
    auto second = PulseVirtualMicrophone::install(*hardware, names, 5s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->modulesLoaded(), 0u);
    second.reset();
    EXPECT_NE(PulseServer::output("pactl list short sources").find("app.velunto.mic\t"), std::string::npos);
    first.reset();
    EXPECT_EQ(PulseServer::output("pactl list short sources").find("app.velunto.mic"), std::string::npos);
    EXPECT_EQ(PulseServer::output("pactl list short sinks").find("app.velunto.mic.feed"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return !hardware->deviceID("app.velunto.mic").has_value(); }));
}

TEST_F(PulseAudioHardwareTest, ALostServerTakesItsDevicesAlongAndAReturningOneBringsItsOwn) {
    const AudioObjectID sine = id("sine");
    ASSERT_NE(sine, kAudioObjectUnknown);
    std::atomic<int> reconnected{0};
    hardware->setReconnectHandler([&] {
        ++reconnected;
        EXPECT_TRUE(hardware->isConnected());
    });
    LogCapture log;

    server.reset();  // killed, its folder gone
    EXPECT_TRUE(eventually([&] { return hardware->deviceUIDs().empty(); }));
    const auto alive = address(kAudioDevicePropertyDeviceIsAlive);
    UInt32 value = 1;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(sine, &alive, 0, nullptr, &size, &value), kAudioHardwareBadObjectError);
    EXPECT_FALSE(hardware->isConnected());
    EXPECT_TRUE(log.contains("PulseAudio", "Verbindung zum Tonserver verloren; seine Geräte sind fort."));

    server = std::make_unique<PulseServer>();  // a new server where the environment points
    ASSERT_TRUE(server->ready());
    EXPECT_TRUE(eventually([&] { return hardware->deviceID("sine").has_value(); }, 10s));
    EXPECT_EQ(reconnected.load(), 1);
    EXPECT_NE(id("sine"), kAudioObjectUnknown);
    EXPECT_NE(id("sine"), sine) << "a new object";
    EXPECT_TRUE(log.contains("PulseAudio", "Tonserver wieder verbunden, 6 Geräte"));
    EXPECT_EQ(read<AudioObjectID>(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice)),
              id("sine"));
    hardware->setReconnectHandler(nullptr);
}

TEST(PulseAudioHardwareConnectTest, NoServerMeansNoHardwareAndAReason) {
    setenv("PULSE_SERVER", "unix:/nonexistent/velunto/native", 1);
    std::string error;
    EXPECT_EQ(PulseAudioHardware::connect(2s, &error), nullptr);
    EXPECT_FALSE(error.empty());
    unsetenv("PULSE_SERVER");
}

TEST(PulseDeviceInfoTest, TransportTypeFromTheDevicesProperties) {
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("usb", "headset", "sound", "module-alsa-card.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeUSB));
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("bluetooth", "headset", "sound", "module-bluez5-device.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeBluetooth));
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("pci", "internal", "sound", "module-alsa-card.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeBuiltIn));
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("", "", "abstract", "module-null-sink.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeVirtual));
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("", "", "filter", "module-remap-source.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeVirtual));
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("", "", "", "module-combine-sink.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeAggregate));
    EXPECT_EQ(PulseDeviceInfo::transportTypeFor("", "", "sound", "module-alsa-card.c"),
              static_cast<UInt32>(kAudioDeviceTransportTypeUnknown));
}

TEST(PulseDeviceInfoTest, CyclesLastAboutFourMillisecondsInWholeSixteens) {
    EXPECT_EQ(PulseAudioDevice::cycleFrames(48000), 192u);
    EXPECT_EQ(PulseAudioDevice::cycleFrames(44100), 176u);
    EXPECT_EQ(PulseAudioDevice::cycleFrames(96000), 384u);
    EXPECT_EQ(PulseAudioDevice::cycleFrames(16000), 64u);
    EXPECT_EQ(PulseAudioDevice::cycleFrames(8000), 32u);
    EXPECT_EQ(PulseAudioDevice::cycleFrames(1000), 16u);
}

TEST(PulseVirtualMicrophoneTest, QuotesArgumentsForBothOfTheServersParsers) {
    EXPECT_EQ(PulseVirtualMicrophone::quoted("Velunto Mic (Einspeisung)"), "\"Velunto Mic (Einspeisung)\"");
    EXPECT_EQ(PulseVirtualMicrophone::quoted("a\"b"), "\"a\\\\\\\"b\"");
}

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <vector>

#include "app/audio/OutputEngine.h"
#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

const std::string kNotFoundPrefix = "Ausgabegerät ";

SimulatedDeviceDescription outputDevice(std::string uid) {
    SimulatedDeviceDescription d;
    d.name = "Feed " + uid;
    d.uid = std::move(uid);
    d.outputChannels = 2;
    d.availableSampleRates = {48000.0, 44100.0};
    return d;
}

// A stand-in for the hardware-output unit whose start or read-back can be made to fail.
class ScriptedOutputUnit : public AudioUnitBase {
public:
    static inline OSStatus startStatus = 0;
    static inline std::optional<AudioObjectID> reportedDevice;

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void* out, UInt32* size) override {
        if (id != kAudioOutputUnitProperty_CurrentDevice || *size < 4)
            return kAudioUnitErr_InvalidProperty;
        const AudioObjectID value = reportedDevice.value_or(device_);
        std::memcpy(out, &value, 4);
        *size = 4;
        return 0;
    }
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, const void* data, UInt32) override {
        if (id == kAudioOutputUnitProperty_CurrentDevice)
            std::memcpy(&device_, data, 4);
        return 0;
    }
    OSStatus initialize() override { return 0; }
    OSStatus uninitialize() override { return 0; }
    OSStatus start() override { return startStatus; }
    OSStatus stop() override { return 0; }

private:
    AudioObjectID device_ = 0;
};

class OutputEngineTest : public ::testing::Test {
protected:
    OutputEngineTest() {
        hardware.plug(outputDevice("sim.feed"));
        engine->onStatusChange = [this](const EngineStatus& s) { statuses.push_back(s); };
    }
    ~OutputEngineTest() override {
        engine.reset();
        RingBufferFree(ring);
    }

    void fillRing(std::size_t count, float first = 1.0f) {
        std::vector<float> values(count);
        std::iota(values.begin(), values.end(), first);
        RingBufferWrite(ring, values.data(), count);
    }

    // Swaps the hardware-output component for a scripted one while it lives.
    struct ScriptedComponent {
        ScriptedComponent() {
            auto& registry = AudioComponentRegistry::shared();
            registry.unregisterComponent(registry.halOutputComponent());
            const AudioComponentDescription d{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                              kAudioUnitManufacturer_Apple, 0, 0};
            component =
                registry.registerComponent(d, "Scripted", [] { return std::make_unique<ScriptedOutputUnit>(); });
        }
        ~ScriptedComponent() {
            AudioComponentRegistry::shared().unregisterComponent(component);
            AudioComponentRegistry::shared().registerHALOutput();
            ScriptedOutputUnit::startStatus = 0;
            ScriptedOutputUnit::reportedDevice.reset();
        }
        AudioComponent component;
    };

    void expectFailedStart(const std::string& message) {
        ASSERT_EQ(statuses, (std::vector<EngineStatus>{EngineStatus::starting(), EngineStatus::error(message)}));
        EXPECT_TRUE(logs.contains("OutputEngine", "OutputEngine-Start fehlgeschlagen: " + message));
        EXPECT_FALSE(engine->hasOutputUnit());
        EXPECT_FALSE(engine->listenedDeviceID());
        EXPECT_EQ(AudioComponentRegistry::shared().instanceCount(), 0u) << "the unit was disposed of";
    }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    RingBuffer* ring = RingBufferCreate(16384);
    std::shared_ptr<OutputEngine> engine = std::make_shared<OutputEngine>(ring);
    std::vector<EngineStatus> statuses;
};

TEST_F(OutputEngineTest, PlaysTheNewestSamplesOnEveryChannel) {
    fillRing(5000);
    ASSERT_TRUE(hardware.recordToMemory("sim.feed", 4096));
    engine->start("sim.feed");
    ASSERT_EQ(statuses, (std::vector<EngineStatus>{EngineStatus::starting(), EngineStatus::running()}));
    EXPECT_EQ(RingBufferAvailableToRead(ring), 960u) << "trimmed to the target before starting";
    EXPECT_EQ(engine->listenedDeviceID(), hardware.deviceID("sim.feed"));

    time.advance(5ms);  // not yet a whole cycle of 512 frames
    time.advance(20ms);
    const auto recorded = hardware.recording("sim.feed");
    ASSERT_GE(recorded.size(), 2u * 960);
    // The oldest 4040 samples were discarded. 960 are less than a callback's 512 plus the band's lower
    // edge, so each callback reads one sample less and repeats its last one: 511 played and the 511th
    // again, then the remaining 449 and the last one again, then silence.
    for (std::size_t i = 0; i < 511; ++i) {
        ASSERT_EQ(recorded[2 * i], 4041.0f + static_cast<float>(i)) << i;
        ASSERT_EQ(recorded[2 * i + 1], recorded[2 * i]);
    }
    EXPECT_EQ(recorded[2 * 511], 4551.0f);
    for (std::size_t i = 512; i < 961; ++i)
        ASSERT_EQ(recorded[2 * i], 4040.0f + static_cast<float>(i)) << i;
    EXPECT_EQ(recorded[2 * 961], 5000.0f);
    EXPECT_EQ(recorded[2 * 962], 0.0f);
    EXPECT_TRUE(logs.entries().empty());

    // Going away while playing leaves nothing behind that still calls back.
    engine.reset();
    time.advance(100ms);
    EXPECT_EQ(AudioComponentRegistry::shared().instanceCount(), 0u);
}

TEST_F(OutputEngineTest, UnknownDeviceFailsWithItsUID) {
    engine->start("no.such.device");
    expectFailedStart(kNotFoundPrefix + "no.such.device nicht gefunden.");
    EXPECT_EQ(engine->currentDeviceUID(), "no.such.device");
}

TEST_F(OutputEngineTest, StopReportsStoppedAlwaysAndLaterNotificationsDoNothing) {
    engine->stop();
    ASSERT_EQ(statuses, std::vector<EngineStatus>{EngineStatus::stopped()});
    engine->start("sim.feed");
    engine->stop();
    EXPECT_EQ(engine->currentDeviceUID(), "sim.feed") << "kept after stop";
    statuses.clear();
    ASSERT_TRUE(hardware.setNominalSampleRate("sim.feed", 44100.0));
    ASSERT_TRUE(hardware.unplug("sim.feed"));
    time.advance(1s);
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(logs.entries().empty());
}

TEST_F(OutputEngineTest, DeviceChangesRestartAndLossEndsInNotFoundUntilReplugged) {
    engine->start("sim.feed");
    statuses.clear();
    ASSERT_TRUE(hardware.setNominalSampleRate("sim.feed", 44100.0));
    time.advance(10ms);
    EXPECT_EQ(statuses, (std::vector<EngineStatus>{EngineStatus::starting(), EngineStatus::running()}));
    EXPECT_EQ(logs.count("OutputEngine", "Ausgabegerät geändert oder entfernt, starte Ausgabe neu."), 1u);

    statuses.clear();
    ASSERT_TRUE(hardware.unplug("sim.feed"));
    time.advance(10ms);
    const std::string message = kNotFoundPrefix + "sim.feed nicht gefunden.";
    EXPECT_EQ(statuses, (std::vector<EngineStatus>{EngineStatus::starting(), EngineStatus::error(message)}));
    EXPECT_EQ(logs.entries("DeviceManager").size(), 0u) << "tearing down the old unit raised no failure";
    EXPECT_FALSE(engine->hasOutputUnit());

    hardware.plug(outputDevice("sim.feed"));
    hardware.recordToMemory("sim.feed", 1024);
    fillRing(1000, 0.5f);
    engine->start("sim.feed");
    EXPECT_EQ(engine->status(), EngineStatus::running());
    time.advance(20ms);
    EXPECT_EQ(hardware.recording("sim.feed").front(), 40.5f) << "plays again, from the trimmed ring";
}

TEST_F(OutputEngineTest, MissingComponentAndFailingSetUpSteps) {
    {
        auto& registry = AudioComponentRegistry::shared();
        registry.unregisterComponent(registry.halOutputComponent());
        engine->start("sim.feed");
        registry.registerHALOutput();
    }
    expectFailedStart("Ausgabe auf Gerät sim.feed konnte nicht eingerichtet werden.");
    EXPECT_TRUE(logs.contains("OutputEngine", "AudioComponentFindNext(HALOutput) fand keine Komponente."));

    // A device without outputs cannot be the unit's current device.
    SimulatedDeviceDescription mic;
    mic.name = "Mic";
    mic.uid = "sim.mic";
    mic.inputChannels = 1;
    hardware.plug(mic);
    statuses.clear();
    logs.clear();
    engine->start("sim.mic");
    expectFailedStart("Ausgabe auf Gerät sim.mic konnte nicht eingerichtet werden.");
    const auto failures = logs.entries("DeviceManager");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].message.rfind("AudioUnitSetProperty(kAudioOutputUnitProperty_CurrentDevice) [output] failed: "
                                        "OSStatus ",
                                        0),
              0u);
}

TEST_F(OutputEngineTest, UnitThatReportsAnotherDeviceOrDoesNotStart) {
    ScriptedComponent scripted;
    ScriptedOutputUnit::reportedDevice = 4242;
    engine->start("sim.feed");
    expectFailedStart("Ausgabe auf Gerät sim.feed konnte nicht eingerichtet werden.");
    EXPECT_TRUE(logs.entries("DeviceManager").empty()) << "a mismatch has no status line";

    ScriptedOutputUnit::reportedDevice.reset();
    ScriptedOutputUnit::startStatus = kAudioUnitErr_CannotDoInCurrentContext;
    statuses.clear();
    logs.clear();
    engine->start("sim.feed");
    expectFailedStart("Ausgabe konnte nicht gestartet werden.");
    EXPECT_TRUE(logs.contains("DeviceManager", "AudioOutputUnitStart [output] failed: OSStatus -10863"));
}

}  // namespace

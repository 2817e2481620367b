#include <gtest/gtest.h>

#include <chrono>

#include "app/audio/AppState.h"
#include "app/settings/SettingsKey.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

SimulatedDeviceDescription device(std::string name, std::string uid, UInt32 in, UInt32 out,
                                  UInt32 transport = kAudioDeviceTransportTypeBuiltIn) {
    SimulatedDeviceDescription d;
    d.name = std::move(name);
    d.uid = std::move(uid);
    d.inputChannels = in;
    d.outputChannels = out;
    d.transportType = transport;
    d.signal = SimulatedSignal::sineWave(440, 0.3);
    return d;
}

SimulatedDeviceDescription feedDevice() {
    auto d = device("Velunto Mic (Einspeisung)", "app.velunto.mic.feed", 0, 2, kAudioDeviceTransportTypeVirtual);
    d.hidden = true;
    return d;
}

std::vector<std::string> uids(const std::vector<AudioDeviceInfo>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices)
        out.push_back(d.uid);
    return out;
}

class AppStateTest : public ::testing::Test {
protected:
    void plugStandard(bool feed = true) {
        hardware.plug(device("Eingebautes Mikrofon", "builtin.mic", 1, 0));
        hardware.plug(device("Eingebaute Lautsprecher", "builtin.speakers", 0, 2));
        hardware.plug(device("USB Kopfhörer", "usb.phones", 0, 2, kAudioDeviceTransportTypeUSB));
        if (feed)
            hardware.plug(feedDevice());
    }
    std::shared_ptr<AppState> launch() {
        auto state = AppState::make(defaults);
        time.advance(500ms);
        return state;
    }

    // Selects the built-in delay effect and waits for it to load.
    std::shared_ptr<AVAudioUnit> loadSimulatedDelay(PluginHost& host) {
        for (const auto& plugin : host.availablePlugins.value())
            if (plugin.componentDescription.componentSubType == kSimulatedDelaySubType)
                host.selectPlugin(plugin);
        time.advance(1s);
        return host.loadedUnit.value();
    }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
};

TEST_F(AppStateTest, FirstLaunchPlaysIntoTheFeedDevice) {
    plugStandard();
    auto state = launch();
    EXPECT_TRUE(state->isRunning.value());
    EXPECT_EQ(state->outputDeviceUID.value(), "app.velunto.mic.feed");
    EXPECT_FALSE(state->outputDeviceMissing.value());
    EXPECT_EQ(state->deviceManager().resolvedDeviceUID.value(), "builtin.mic");
    EXPECT_EQ(state->captureStatus.value(), EngineStatus::running());
    EXPECT_EQ(state->outputStatus.value(), EngineStatus::running());
    EXPECT_EQ(state->overallStatus(), EngineStatus::running());
    // Listen-back never offers the feed device, the virtual mic, a loop-back or a private aggregate.
    hardware.plug(device("Velunto Mic", "app.velunto.mic", 2, 0, kAudioDeviceTransportTypeVirtual));
    hardware.plug(device("BlackHole 2ch", "bh", 2, 2, kAudioDeviceTransportTypeVirtual));
    hardware.plug(device("Privat", "CADefaultDeviceAggregate-7", 0, 2));
    time.runUntilIdle();
    EXPECT_EQ(uids(state->monitorDevices.value()), (std::vector<std::string>{"builtin.speakers", "usb.phones"}));
}

TEST_F(AppStateTest, FallbackOutputAndMissingOutput) {
    plugStandard(false);
    hardware.plug(device("BlackHole 2ch", "BlackHole2ch_UID", 2, 2, kAudioDeviceTransportTypeVirtual));
    auto state = launch();
    EXPECT_EQ(state->outputDeviceUID.value(), "BlackHole2ch_UID");
    EXPECT_FALSE(state->outputDeviceMissing.value());
    EXPECT_EQ(state->outputStatus.value(), EngineStatus::running());
    state.reset();

    ASSERT_TRUE(hardware.unplug("BlackHole2ch_UID"));
    state = launch();
    EXPECT_EQ(state->outputDeviceUID.value(), std::nullopt);
    EXPECT_TRUE(state->outputDeviceMissing.value());
    EXPECT_TRUE(logs.contains("AppState", "Weder Velunto Mic noch BlackHole 2ch gefunden."));
    EXPECT_EQ(state->outputStatus.value(), EngineStatus::stopped());
    EXPECT_EQ(state->captureStatus.value(), EngineStatus::running()) << "capture runs for listen-back";
    EXPECT_EQ(state->overallStatus(), EngineStatus::starting());
}

// A fixed microphone dies in place: the capture gives up after its retries. Unplugged and plugged in
// again under the same UID, it resolves to no change, yet the capture runs on it again.
TEST_F(AppStateTest, ACaptureThatGaveUpRunsAgainWhenItsDeviceIsBack) {
    plugStandard();
    hardware.plug(device("USB-Mikrofon", "usb.mic", 1, 0, kAudioDeviceTransportTypeUSB));
    auto state = launch();
    state->deviceManager().setMode(InputMode::fixed("usb.mic"));
    time.advance(500ms);
    ASSERT_EQ(state->captureStatus.value(), EngineStatus::running());
    ASSERT_TRUE(hardware.kill("usb.mic"));
    time.advance(5s);
    ASSERT_TRUE(state->captureStatus.value().isError());
    EXPECT_EQ(state->deviceManager().resolvedDeviceUID.value(), "usb.mic") << "a dead device stays listed";

    ASSERT_TRUE(hardware.unplug("usb.mic"));
    hardware.plug(device("USB-Mikrofon", "usb.mic", 1, 0, kAudioDeviceTransportTypeUSB));
    time.advance(1s);
    EXPECT_EQ(state->deviceManager().resolvedDeviceUID.value(), "usb.mic");
    EXPECT_EQ(state->captureStatus.value(), EngineStatus::running());
    EXPECT_EQ(state->overallStatus(), EngineStatus::running());
}

TEST_F(AppStateTest, ToggleRunningStoresTheFlagAndSurvivesARestart) {
    plugStandard();
    auto state = launch();
    state->toggleRunning();
    time.runUntilIdle();
    EXPECT_FALSE(state->isRunning.value());
    EXPECT_EQ(defaults->boolean(rawValue(SettingsKey::isRunning)), false);
    EXPECT_EQ(state->captureStatus.value(), EngineStatus::stopped());
    EXPECT_EQ(state->outputStatus.value(), EngineStatus::stopped());
    EXPECT_EQ(state->overallStatus(), EngineStatus::stopped());

    state->setMonitorDeviceUID("usb.phones");
    state.reset();
    state = launch();
    EXPECT_FALSE(state->isRunning.value()) << "the stored flag, read at the next launch";
    EXPECT_EQ(state->monitorDeviceUID.value(), "usb.phones");
    EXPECT_EQ(state->captureStatus.value(), EngineStatus::stopped());

    state->toggleRunning();
    time.advance(500ms);
    EXPECT_EQ(defaults->boolean(rawValue(SettingsKey::isRunning)), true);
    EXPECT_EQ(state->overallStatus(), EngineStatus::running());
}

TEST_F(AppStateTest, ListenBackFollowsTheChoiceAndWarnsAboutBuiltInSpeakers) {
    plugStandard();
    auto state = launch();
    state->setMonitoring(true);
    time.runUntilIdle();
    ASSERT_TRUE(state->monitorDeviceToUse());
    EXPECT_EQ(state->monitorDeviceToUse()->uid, "builtin.speakers") << "the system's default output";
    EXPECT_EQ(state->monitorEngine().status(), EngineStatus::running());
    EXPECT_EQ(state->monitorEngine().currentDeviceUID(), "builtin.speakers");
    EXPECT_TRUE(state->showsMonitorFeedbackWarning());

    state->setMonitorDeviceUID("usb.phones");
    EXPECT_EQ(state->monitorEngine().currentDeviceUID(), "usb.phones");
    EXPECT_FALSE(state->showsMonitorFeedbackWarning());
    EXPECT_EQ(defaults->string(rawValue(SettingsKey::monitorDeviceUID)), "usb.phones");

    // The chosen device goes: listen-back falls back to the default output.
    ASSERT_TRUE(hardware.unplug("usb.phones"));
    time.advance(100ms);
    EXPECT_EQ(state->monitorDeviceToUse()->uid, "builtin.speakers");
    state->setMonitoring(false);
    EXPECT_EQ(state->monitorEngine().status(), EngineStatus::stopped());
}

TEST_F(AppStateTest, ACaptureErrorIsTheOverallErrorWhileTheOutputRuns) {
    plugStandard();
    auto state = launch();
    ASSERT_TRUE(hardware.kill("builtin.mic"));
    time.advance(5s);
    EXPECT_TRUE(state->captureStatus.value().isError());
    EXPECT_EQ(state->outputStatus.value(), EngineStatus::running());
    EXPECT_EQ(state->overallStatus(), state->captureStatus.value());
}

}  // namespace

TEST_F(AppStateTest, TheEqualiserFollowsTheResolvedInputDevice) {
    plugStandard();
    hardware.plug(device("USB-Mikrofon", "usb.mic", 1, 0, kAudioDeviceTransportTypeUSB));
    EQSettings usb = defaultEQSettings();
    usb.bands[2].gain = 9;
    SettingsStore(defaults).saveEQSettingsByDevice({{"usb.mic", usb}});
    auto state = launch();
    DeviceEQ& eq = state->deviceEQ();
    EXPECT_EQ(eq.deviceUID.value(), "builtin.mic");
    EXPECT_EQ(eq.deviceName.value(), "Eingebautes Mikrofon");
    EXPECT_EQ(eq.settings.value(), defaultEQSettings());

    ASSERT_TRUE(hardware.setDefaultInput("usb.mic"));
    time.advance(500ms);
    EXPECT_EQ(eq.deviceUID.value(), "usb.mic");
    EXPECT_EQ(eq.node()->bands()[2].gain(), 9.0f);

    auto edited = usb;
    edited.bands[4].gain = -2;
    eq.setSettings(edited);
    ASSERT_TRUE(hardware.setDefaultInput("builtin.mic"));  // within the save delay
    time.advance(500ms);
    EXPECT_EQ(eq.deviceUID.value(), "builtin.mic");
    EXPECT_EQ(eq.node()->bands()[2].gain(), 0.0f);
    EXPECT_EQ(SettingsStore(defaults).loadEQSettingsByDevice(),
              (std::map<std::string, EQSettings>{{"usb.mic", edited}}));

    ASSERT_TRUE(hardware.unplug("builtin.mic"));
    ASSERT_TRUE(hardware.unplug("usb.mic"));
    time.advance(500ms);
    EXPECT_EQ(eq.deviceUID.value(), std::nullopt);
}

TEST_F(AppStateTest, TheLatencyAddsDeviceFramesFillTargetAndPlugin) {
    auto mic = device("Mikrofon", "lat.mic", 1, 0);
    mic.inputLatency = 32;
    hardware.plug(mic);
    hardware.plug(feedDevice());
    auto state = launch();
    EXPECT_DOUBLE_EQ(*state->latencyMilliseconds.value(), 32 / 48.0 + 512 / 48.0 + 20.0 + 512 / 48.0);  // 42.0
    state->setVideoOffsetMilliseconds(-100);
    EXPECT_EQ(state->videoDelayMilliseconds(), 0.0);
    state->setVideoOffsetMilliseconds(8);
    EXPECT_DOUBLE_EQ(state->videoDelayMilliseconds(), 50.0);
    EXPECT_EQ(defaults->integer("app.velunto.videoOffsetMilliseconds"), 8);

    // A plug-in that reports 10 ms of its 20 ms, then a measurement that knows better.
    PluginHost& host = state->pluginHost();
    const auto unit = loadSimulatedDelay(host);
    ASSERT_TRUE(unit);
    EXPECT_EQ(state->captureEngine().pluginUnit(), unit);
    unit->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 960);
    unit->unit().setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportHalfDelay);
    state->updateLatency();
    EXPECT_DOUBLE_EQ(*state->latencyMilliseconds.value(), 42.0 + 10.0);

    const std::string key = LatencyMeter::measurementKey(unit->audioComponentDescription());
    state->setMeasurement(key, PluginLatencyMeasurement{0.020, 0.001, 0.010, 512, 0.99, Date::now()});
    EXPECT_DOUBLE_EQ(*state->latencyMilliseconds.value(), 42.0 + 20.0);
    EXPECT_EQ(SettingsStore(defaults).loadPluginLatencyMeasurements().count(key), 1u);
    host.setBypassed(true);
    time.runUntilIdle();
    EXPECT_DOUBLE_EQ(*state->latencyMilliseconds.value(), 42.0 + 1.0);
    EXPECT_TRUE(unit->shouldBypassEffect());
    state->setMeasurement(key, std::nullopt);
    EXPECT_DOUBLE_EQ(*state->latencyMilliseconds.value(), 42.0 + 10.0) << "the plug-in's own report again";

    ASSERT_TRUE(hardware.unplug("lat.mic"));
    time.advance(1s);
    EXPECT_EQ(state->latencyMilliseconds.value(), std::nullopt);
    EXPECT_EQ(state->videoDelayMilliseconds(), 8.0) << "the offset alone";
}

TEST_F(AppStateTest, AMisreportingDelayIsMeasuredFromTheLiveVoiceAndUsedForTheLatency) {
    auto mic = device("Mikrofon", "voice.mic", 1, 0);
    mic.signal = SimulatedSignal::whiteNoise(0.3);
    hardware.plug(mic);
    hardware.plug(feedDevice());
    auto state = launch();
    PluginHost& host = state->pluginHost();
    const auto unit = loadSimulatedDelay(host);
    ASSERT_TRUE(unit);
    unit->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 2400);
    unit->unit().setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportNoDelay);
    state->updateLatency();
    const double withoutPlugin = *state->latencyMilliseconds.value();

    const std::string key = LatencyMeter::measurementKey(unit->audioComponentDescription());
    state->latencyMeter().measure(state->captureEngine(), unit,
                                  [&](const PluginLatencyMeasurement& m) { state->setMeasurement(key, m); });
    EXPECT_EQ(state->latencyMeter().state.value().kind(), LatencyMeter::State::Kind::recording);
    time.advance(5s);
    const auto& result = state->latencyMeter().state.value();
    ASSERT_EQ(result.kind(), LatencyMeter::State::Kind::done) << result.message();
    EXPECT_EQ(result.measurement()->activeSeconds, 0.05);
    EXPECT_EQ(result.measurement()->reportedSeconds, 0.0);
    EXPECT_EQ(result.measurement()->blockFrames, 512);
    EXPECT_DOUBLE_EQ(*state->latencyMilliseconds.value(), withoutPlugin + 50.0);
    EXPECT_EQ(SettingsStore(defaults).loadPluginLatencyMeasurements().at(key), *result.measurement());
}

TEST_F(AppStateTest, AMeasurementWhoseRecordingARebuildAbandonsFailsAndKeepsTheStoredOnes) {
    plugStandard();
    hardware.plug(device("USB-Mikrofon", "usb.mic", 1, 0, kAudioDeviceTransportTypeUSB));
    auto state = launch();
    const auto unit = loadSimulatedDelay(state->pluginHost());
    ASSERT_TRUE(unit);
    const std::string key = LatencyMeter::measurementKey(unit->audioComponentDescription());
    const PluginLatencyMeasurement earlier{0.01, 0, 0.01, 512, 0.9, Date::now()};
    state->setMeasurement(key, earlier);
    state->latencyMeter().measure(state->captureEngine(), unit,
                                  [&](const PluginLatencyMeasurement& m) { state->setMeasurement(key, m); });
    time.advance(1s);
    ASSERT_TRUE(hardware.setDefaultInput("usb.mic"));  // the capture graph is rebuilt on the new device
    time.advance(5s);
    EXPECT_EQ(state->latencyMeter().state.value(),
              LatencyMeter::State::failed("Aufnahme abgebrochen. Läuft der Eingang?"));
    EXPECT_EQ(state->pluginLatencyMeasurements.value().at(key), earlier);
}

namespace {

// A window as the application state sees it; close() behaves like the user's click.
struct FakeWindow : NSWindowController {
    int shown = 0;
    bool visible = false;
    void showWindow() override {
        ++shown;
        visible = true;
    }
    bool isWindowVisible() const override { return visible; }
    void close() override {
        if (visible && onClose)
            onClose();
        visible = false;
    }
};

TEST_F(AppStateTest, WindowsAreMadeOnceAndTheEQWindowRunsTheAnalyserWhileOnScreen) {
    plugStandard();
    auto state = launch();
    state->openEQWindow();  // without a user interface nothing opens
    EXPECT_EQ(state->eqWindowController(), nullptr);
    EXPECT_EQ(state->spectrumAnalyzer().clientCount(), 0);

    std::vector<std::string> titles;
    std::vector<std::shared_ptr<FakeWindow>> windows;
    state->makeWindowController = [&](AppState::AuxiliaryWindow, const std::string& title) {
        titles.push_back(title);
        windows.push_back(std::make_shared<FakeWindow>());
        return windows.back();
    };
    state->openEQWindow();
    state->openEQWindow();  // brought forward again: still one window, one analyser client
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]->shown, 2);
    EXPECT_EQ(state->spectrumAnalyzer().clientCount(), 1);

    EQSettings edited = state->deviceEQ().settings.value();
    edited.bands[1].gain = -4;
    state->deviceEQ().setSettings(edited);
    windows[0]->close();
    EXPECT_EQ(state->spectrumAnalyzer().clientCount(), 0);
    EXPECT_EQ(SettingsStore(defaults).loadEQSettingsByDevice().at("builtin.mic"), edited)
        << "stored at the close, not half a second later";

    state->openEQWindow();  // reopened: the same controller
    EXPECT_EQ(windows.size(), 1u);
    EXPECT_EQ(state->spectrumAnalyzer().clientCount(), 1);
    state->openPriorityWindow();
    state->openLatencyWindow();
    state->openLatencyWindow();
    EXPECT_EQ(titles, (std::vector<std::string>{"EQ", "Prioritätenliste", "Latenz messen"}));
    EXPECT_EQ(windows[2]->shown, 2);
    EXPECT_EQ(state->latencyWindowController(), windows[2]);
}

}  // namespace

#include <gtest/gtest.h>

#include <QLocale>
#include <chrono>
#include <string>
#include <vector>

#include "app/audio/AppState.h"
#include "app/settings/SettingsKey.h"
#include "app/ui/LatencyMeterModel.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"
#include "tests/support/SimulatedDevices.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

using State = LatencyMeter::State;

SimulatedDeviceDescription microphone(std::string name, std::string uid, std::uint32_t block = 512) {
    auto d = simulatedDevice(std::move(name), std::move(uid), 1, 0, SimulatedSignal::whiteNoise(0.3));
    d.bufferFrameSize = block;
    return d;
}

constexpr auto feedDevice = simulatedFeedDevice;

std::vector<std::string> values(const std::vector<LatencyValueRow>& rows) {
    std::vector<std::string> out;
    for (const auto& row : rows)
        out.push_back(row.value);
    return out;
}

class LatencyMeterModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::German));
        hardware.plug(microphone("Mikrofon", "voice.mic"));
        hardware.plug(feedDevice());
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    void launch() {
        state = AppState::make(defaults);
        time.advance(1s);
        model = std::make_unique<LatencyMeterModel>(*state);
        model->onChange = [this] { ++changes; };
    }
    // Loads the built-in delay: 10 ms long, reporting half of it.
    std::shared_ptr<AVAudioUnit> loadDelay() {
        PluginHost& host = state->pluginHost();
        for (const auto& plugin : host.availablePlugins.value())
            if (plugin.componentDescription.componentSubType == kSimulatedDelaySubType)
                host.selectPlugin(plugin);
        time.advance(1s);
        auto unit = host.loadedUnit.value();
        if (unit) {
            unit->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 960);
            unit->unit().setParameterValue(SimulatedDelayEffect::kLatencyReporting,
                                           SimulatedDelayEffect::kReportHalfDelay);
        }
        return unit;
    }
    std::string keyOf(const std::shared_ptr<AVAudioUnit>& unit) {
        return LatencyMeter::measurementKey(unit->audioComponentDescription());
    }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    std::shared_ptr<AppState> state;
    std::unique_ptr<LatencyMeterModel> model;
    int changes = 0;
};

TEST_F(LatencyMeterModelTest, WithoutAPluginThereIsNothingToMeasure) {
    launch();
    EXPECT_EQ(model->title(), "Kein Plugin");
    EXPECT_EQ(LatencyMeterModel::explanation(),
              "Sprich nach dem Start etwa 4 Sekunden ganz normal. Velunto schickt die Aufnahme im Hintergrund durch "
              "eine zweite Instanz des Plugins, einmal aktiv und einmal im Bypass, und misst den Versatz. Der "
              "laufende Call wird nicht gestört.");
    const auto rows = model->rows();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], (LatencyValueRow{"Vom Plugin gemeldet", "–", false}));
    EXPECT_EQ(rows[1], (LatencyValueRow{"Gemessen, aktiv", "–", false}));
    EXPECT_EQ(rows[2], (LatencyValueRow{"Gemessen, Bypass", "–", false}));
    EXPECT_EQ(rows[3], (LatencyValueRow{"Blockgröße live / Messung", "512 / –", false}));
    EXPECT_EQ(rows[4], (LatencyValueRow{"Verwendet", "0,0 ms", true}));
    EXPECT_EQ(model->statusLine(), std::nullopt);
    EXPECT_EQ(model->blockSizeWarning(), std::nullopt);
    EXPECT_FALSE(model->canStartMeasurement());
    EXPECT_FALSE(model->canDiscardMeasurement());

    model->startMeasurement();
    time.advance(5s);
    EXPECT_EQ(state->latencyMeter().state.value(), State::idle()) << "nothing happens without a plug-in";
}

TEST_F(LatencyMeterModelTest, ValuesFollowThePluginTheStoredMeasurementTheBypassAndTheLocale) {
    launch();
    const auto unit = loadDelay();
    ASSERT_TRUE(unit);
    EXPECT_GT(changes, 0) << "the view hears about the loaded plug-in";
    EXPECT_EQ(model->title(), "Velunto Sim: Delay");
    EXPECT_EQ(values(model->rows()), (std::vector<std::string>{"10,0 ms", "–", "–", "512 / –", "10,0 ms"}));
    EXPECT_TRUE(model->canStartMeasurement());
    EXPECT_FALSE(model->canDiscardMeasurement());

    changes = 0;
    state->setMeasurement(keyOf(unit), PluginLatencyMeasurement{0.0123, 0.00104, 0.010, 480, 0.99, Date::now()});
    time.runUntilIdle();
    EXPECT_GT(changes, 0);
    EXPECT_EQ(values(model->rows()), (std::vector<std::string>{"10,0 ms", "12,3 ms", "1,0 ms", "512 / 480", "12,3 ms"}))
        << "480 frames hold for a live block of 512";
    EXPECT_EQ(model->blockSizeWarning(), std::nullopt);
    EXPECT_TRUE(model->canDiscardMeasurement());

    state->pluginHost().setBypassed(true);
    time.runUntilIdle();
    EXPECT_EQ(model->rows()[4].value, "1,0 ms (Bypass)");

    QLocale::setDefault(QLocale(QLocale::English));
    EXPECT_EQ(values(model->rows()),
              (std::vector<std::string>{"10.0 ms", "12.3 ms", "1.0 ms", "512 / 480", "1.0 ms (Bypass)"}));
    EXPECT_EQ(LatencyMeterModel::formatMilliseconds(1.23456), "1,234.6 ms");
    EXPECT_EQ(LatencyMeterModel::formatMilliseconds(std::nullopt), "–");
}

TEST_F(LatencyMeterModelTest, AMeasurementRunsFromTheWindowAndIsStoredAndUsed) {
    launch();
    const auto unit = loadDelay();
    ASSERT_TRUE(unit);
    const PluginLatencyMeasurement stale{0.5, 0.5, 0.005, 256, 0.9, Date::now()};
    state->setMeasurement(keyOf(unit), stale);
    ASSERT_TRUE(model->blockSizeWarning()) << "measured at 256, live 512";

    model->startMeasurement();
    EXPECT_EQ(model->statusLine(),
              (LatencyStatusLine{"mic.fill", "Aufnahme läuft – bitte sprechen …", TextColorRole::red, false}));
    EXPECT_FALSE(model->canStartMeasurement());
    EXPECT_FALSE(model->canDiscardMeasurement()) << "not while a measurement runs";
    EXPECT_EQ(model->blockSizeWarning(), std::nullopt) << "hidden while recording";
    model->startMeasurement();  // ignored while busy

    time.advance(6s);
    ASSERT_EQ(state->latencyMeter().state.value().kind(), State::Kind::done)
        << state->latencyMeter().state.value().message();
    const auto line = model->statusLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->symbolName, "checkmark.circle");
    EXPECT_EQ(line->color, TextColorRole::green);
    EXPECT_TRUE(line->text.starts_with("Gemessen, Übereinstimmung "));
    EXPECT_TRUE(line->text.ends_with(" %. Wird für Latenzanzeige und Video-Verzögerung verwendet."));

    const auto stored = SettingsStore(defaults).loadPluginLatencyMeasurements();
    ASSERT_EQ(stored.count(keyOf(unit)), 1u);
    EXPECT_EQ(stored.at(keyOf(unit)).activeSeconds, 0.02);
    EXPECT_EQ(values(model->rows()),
              (std::vector<std::string>{"10,0 ms", "20,0 ms", "0,0 ms", "512 / 512", "20,0 ms"}));
    EXPECT_EQ(model->blockSizeWarning(), std::nullopt);
    EXPECT_TRUE(model->canStartMeasurement());
    EXPECT_TRUE(model->canDiscardMeasurement());
}

TEST_F(LatencyMeterModelTest, StatusLinesByTheMetersState) {
    launch();
    auto& meter = state->latencyMeter().state;
    meter.set(State::analyzing());
    EXPECT_EQ(model->statusLine(), (LatencyStatusLine{"", "Berechne …", TextColorRole::primary, true}));
    EXPECT_FALSE(model->canStartMeasurement());

    PluginLatencyMeasurement measurement{0.01, 0, 0.01, 512, 0.875, Date::now()};
    meter.set(State::done(measurement));
    EXPECT_EQ(
        model->statusLine(),
        (LatencyStatusLine{"checkmark.circle",
                           "Gemessen, Übereinstimmung 88 %. Wird für Latenzanzeige und Video-Verzögerung verwendet.",
                           TextColorRole::green, false}));
    measurement.confidence = 0.125;  // halves away from zero, not to even
    meter.set(State::done(measurement));
    EXPECT_EQ(model->statusLine()->text,
              "Gemessen, Übereinstimmung 13 %. Wird für Latenzanzeige und Video-Verzögerung verwendet.");

    meter.set(State::failed("Zu leise. Bitte während der Messung normal sprechen."));
    EXPECT_EQ(model->statusLine(),
              (LatencyStatusLine{"exclamationmark.triangle", "Zu leise. Bitte während der Messung normal sprechen.",
                                 TextColorRole::orange, false}));
    changes = 0;
    time.runUntilIdle();
    EXPECT_GT(changes, 0) << "every change of the meter reaches the view";
}

TEST_F(LatencyMeterModelTest, WithoutInputAMeasurementFailsAtOnce) {
    defaults->set(rawValue(SettingsKey::isRunning), PropertyListValue(false));
    launch();
    ASSERT_TRUE(loadDelay());
    EXPECT_EQ(model->rows()[3].value, "– / –") << "no block rendered yet";
    EXPECT_TRUE(model->canStartMeasurement());
    model->startMeasurement();
    EXPECT_EQ(model->statusLine(),
              (LatencyStatusLine{"exclamationmark.triangle", "Kein Audio am Eingang. Läuft Velunto?",
                                 TextColorRole::orange, false}));
    EXPECT_TRUE(model->canStartMeasurement()) << "a failed measurement can be retried";
}

TEST_F(LatencyMeterModelTest, AnotherBlockSizeFallsBackToTheReportAndDiscardingKeepsTheDoneLine) {
    hardware.plug(microphone("Kleiner Puffer", "small.mic", 256));
    launch();
    const auto unit = loadDelay();
    ASSERT_TRUE(unit);
    const PluginLatencyMeasurement measured{0.02, 0.001, 0.01, 512, 0.97, Date::now()};
    state->setMeasurement(keyOf(unit), measured);
    state->latencyMeter().state.set(State::done(measured));
    EXPECT_EQ(model->rows()[4].value, "20,0 ms");

    std::string blockSizeAtLastChange;
    model->onChange = [&] { blockSizeAtLastChange = model->rows()[3].value; };
    ASSERT_TRUE(hardware.setDefaultInput("small.mic"));
    time.advance(2s);
    EXPECT_EQ(blockSizeAtLastChange, "256 / 512") << "the view hears about the new block size";
    EXPECT_EQ(values(model->rows()), (std::vector<std::string>{"10,0 ms", "20,0 ms", "1,0 ms", "256 / 512", "10,0 ms"}))
        << "the plug-in's own report is used";
    EXPECT_EQ(model->blockSizeWarning(),
              (LatencyStatusLine{"info.circle",
                                 "Die Blockgröße hat sich seit der Messung geändert (anderes Eingangsgerät?). "
                                 "Verwendet wird die Selbstauskunft – bitte neu messen.",
                                 TextColorRole::secondary, false}));
    EXPECT_TRUE(model->canDiscardMeasurement());

    const auto doneLine = model->statusLine();
    model->discardMeasurement();
    EXPECT_TRUE(SettingsStore(defaults).loadPluginLatencyMeasurements().empty());
    EXPECT_EQ(values(model->rows()), (std::vector<std::string>{"10,0 ms", "–", "–", "256 / –", "10,0 ms"}));
    EXPECT_EQ(model->blockSizeWarning(), std::nullopt);
    EXPECT_FALSE(model->canDiscardMeasurement());
    EXPECT_EQ(model->statusLine(), doneLine) << "the done line stays until the next measurement";
    EXPECT_EQ(state->latencyMeter().state.value(), State::done(measured));
}

}  // namespace

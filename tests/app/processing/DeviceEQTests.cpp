#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "app/processing/DeviceEQ.h"
#include "app/settings/SettingsKey.h"
#include "platform/dispatch/VirtualTime.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

AudioDeviceInfo mic(std::string uid, std::string name = "Mikrofon") {
    return AudioDeviceInfo{kAudioObjectUnknown, std::move(uid), std::move(name)};
}

EQSettings voiceSettings() {
    EQSettings s = defaultEQSettings();
    s.bands[0].isEnabled = true;
    s.bands[0].frequency = 120;
    s.bands[2].gain = 6;
    s.bands[2].q = 2;
    s.bands[4].gain = -3;
    return s;
}

EQSettings podcastSettings() {
    EQSettings s = defaultEQSettings();
    s.bands[1].type = EQBandType::lowShelf;
    s.bands[1].gain = 4;
    s.bands[3].frequency = 5000;
    s.bands[3].gain = 2.5;
    s.bands[3].q = 0.7;
    return s;
}

class DeviceEQTest : public ::testing::Test {
protected:
    std::map<std::string, EQSettings> stored() const { return store.loadEQSettingsByDevice(); }
    bool anythingStored() const { return defaults->object(rawValue(SettingsKey::eqSettingsByDevice)).has_value(); }

    // The unit's bands read back as the settings they were given (types mapped back, cut gain 0).
    void expectUnitMatches(const EQSettings& settings) {
        auto& unit = *eq->node();
        EXPECT_EQ(unit.bypass(), !settings.isEnabled);
        for (std::size_t i = 0; i < settings.bands.size() && i < 5; ++i) {
            const EQBand& band = settings.bands[i];
            const auto& unitBand = unit.bands()[i];
            SCOPED_TRACE(i);
            EXPECT_EQ(unitBand.frequency(), static_cast<float>(band.frequency));
            EXPECT_EQ(unitBand.gain(), hasGain(band.type) ? static_cast<float>(band.gain) : 0.0f);
            EXPECT_FLOAT_EQ(unitBand.bandwidth(), static_cast<float>(DeviceEQ::bandwidthOctaves(band.q)));
            EXPECT_EQ(unitBand.bypass(), !band.isEnabled);
        }
    }

    VirtualTime time;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    SettingsStore store{defaults};
    std::shared_ptr<DeviceEQ> eq = DeviceEQ::make(store);
};

TEST_F(DeviceEQTest, ANewDeviceRunsTheDefaultsAndNothingIsWrittenUntilAnEdit) {
    eq->switchToDevice(mic("usb.mic", "USB-Mikrofon"));
    time.advance(2s);
    EXPECT_EQ(eq->settings.value(), defaultEQSettings());
    EXPECT_EQ(eq->deviceUID.value(), "usb.mic");
    EXPECT_EQ(eq->deviceName.value(), "USB-Mikrofon");
    auto& lowCut = eq->node()->bands()[0];
    EXPECT_EQ(lowCut.filterType(), AVAudioUnitEQFilterType::highPass);
    EXPECT_EQ(lowCut.frequency(), 80.0f);
    EXPECT_TRUE(lowCut.bypass());
    EXPECT_EQ(eq->node()->bands()[4].filterType(), AVAudioUnitEQFilterType::highShelf);
    EXPECT_EQ(eq->node()->globalGain(), 0.0f);
    EXPECT_FALSE(anythingStored());

    auto edited = eq->settings.value();
    edited.bands[2].gain = 3;
    eq->setSettings(edited);
    EXPECT_EQ(eq->node()->bands()[2].gain(), 3.0f) << "applied at once";
    time.advance(499ms);
    EXPECT_FALSE(anythingStored()) << "saved only after half a second";
    time.advance(1ms);
    EXPECT_EQ(stored(), (std::map<std::string, EQSettings>{{"usb.mic", edited}}));
}

TEST_F(DeviceEQTest, TheFilterTypesAndBandwidthsReachTheUnit) {
    EQSettings s;
    s.bands = {{true, EQBandType::bell, 1000, 5, 1.0},
               {true, EQBandType::lowShelf, 100, 3, 0.2},
               {true, EQBandType::highShelf, 8000, -4, 10},
               {true, EQBandType::lowCut, 60, 6, 0.7},
               {true, EQBandType::highCut, 15000, 6, 0.7}};
    eq->setSettings(s);
    const auto& bands = eq->node()->bands();
    EXPECT_EQ(bands[0].filterType(), AVAudioUnitEQFilterType::parametric);
    EXPECT_EQ(bands[1].filterType(), AVAudioUnitEQFilterType::lowShelf);
    EXPECT_EQ(bands[2].filterType(), AVAudioUnitEQFilterType::highShelf);
    EXPECT_EQ(bands[3].filterType(), AVAudioUnitEQFilterType::highPass);
    EXPECT_EQ(bands[4].filterType(), AVAudioUnitEQFilterType::lowPass);
    EXPECT_NEAR(bands[0].bandwidth(), 1.3885, 1e-4);
    EXPECT_NEAR(bands[1].bandwidth(), 4.7529, 1e-4);
    EXPECT_NEAR(bands[2].bandwidth(), 0.1442, 1e-4);
    EXPECT_EQ(bands[0].gain(), 5.0f);
    EXPECT_EQ(bands[2].gain(), -4.0f);
    EXPECT_EQ(bands[3].gain(), 0.0f) << "a cut band ignores its stored +6 dB";
    EXPECT_EQ(bands[4].gain(), 0.0f);
}

TEST_F(DeviceEQTest, EachDeviceGetsItsOwnSettingsBackExactly) {
    store.saveEQSettingsByDevice({{"a", voiceSettings()}, {"b", podcastSettings()}});
    eq->switchToDevice(mic("a"));
    EXPECT_EQ(eq->settings.value(), voiceSettings());
    expectUnitMatches(voiceSettings());
    eq->switchToDevice(mic("b"));
    EXPECT_EQ(eq->settings.value(), podcastSettings());
    expectUnitMatches(podcastSettings());
    eq->switchToDevice(mic("a"));
    expectUnitMatches(voiceSettings());
    EXPECT_EQ(eq->node()->bands()[1].filterType(), AVAudioUnitEQFilterType::parametric);

    eq->switchToDevice(std::nullopt);
    EXPECT_EQ(eq->deviceUID.value(), std::nullopt);
    EXPECT_EQ(eq->settings.value(), defaultEQSettings());
    time.advance(2s);
    EXPECT_EQ(stored().size(), 2u) << "loading never saves";
}

TEST_F(DeviceEQTest, AnEditFollowedBySwitchWithinTheDelayIsStoredUnderTheOldDevice) {
    eq->switchToDevice(mic("a"));
    auto edited = eq->settings.value();
    edited.bands[3].gain = -6;
    eq->setSettings(edited);
    time.advance(200ms);
    eq->switchToDevice(mic("b"));
    EXPECT_EQ(stored(), (std::map<std::string, EQSettings>{{"a", edited}})) << "written at the switch";
    EXPECT_EQ(eq->settings.value(), defaultEQSettings());
    time.advance(2s);
    EXPECT_EQ(stored(), (std::map<std::string, EQSettings>{{"a", edited}})) << "not again, not under b";
}

TEST_F(DeviceEQTest, ABurstOfEditsWritesOnceHalfASecondAfterTheLast) {
    eq->switchToDevice(mic("a"));
    auto edited = eq->settings.value();
    for (int step = 1; step <= 4; ++step) {
        edited.bands[2].gain = step;
        eq->setSettings(edited);
        time.advance(100ms);
    }
    time.advance(399ms);
    EXPECT_FALSE(anythingStored());
    time.advance(1ms);
    EXPECT_EQ(stored().at("a").bands[2].gain, 4);
    defaults->removeObject(rawValue(SettingsKey::eqSettingsByDevice));
    time.advance(2s);
    EXPECT_FALSE(anythingStored()) << "the earlier, cancelled saves never run";
}

TEST_F(DeviceEQTest, ReResolvingTheSameDeviceOnlyUpdatesItsName) {
    store.saveEQSettingsByDevice({{"a", voiceSettings()}});
    eq->switchToDevice(mic("a", "Alt"));
    auto edited = voiceSettings();
    edited.bands[1].gain = 2;
    eq->setSettings(edited);
    eq->switchToDevice(mic("a", "Neu"));
    EXPECT_EQ(eq->deviceName.value(), "Neu");
    EXPECT_EQ(eq->settings.value(), edited) << "not reloaded";
    EXPECT_EQ(stored().at("a"), voiceSettings()) << "the pending save is not flushed";
    time.advance(500ms);
    EXPECT_EQ(stored().at("a"), edited);
}

TEST_F(DeviceEQTest, SwitchingOffBypassesTheUnitAndKeepsTheBands) {
    eq->switchToDevice(mic("a"));
    eq->setSettings(voiceSettings());
    const double at1k = eq->node()->magnitudeResponseDB(1000);
    auto off = voiceSettings();
    off.isEnabled = false;
    eq->setSettings(off);
    EXPECT_TRUE(eq->node()->bypass());
    expectUnitMatches(off);
    eq->setSettings(voiceSettings());
    EXPECT_FALSE(eq->node()->bypass());
    EXPECT_DOUBLE_EQ(eq->node()->magnitudeResponseDB(1000), at1k);
}

TEST_F(DeviceEQTest, AnEqualValueNeitherTouchesTheUnitNorSaves) {
    eq->switchToDevice(mic("a"));
    eq->node()->bands()[2].setGain(5);  // a change the settings don't know about
    eq->setSettings(defaultEQSettings());
    EXPECT_EQ(eq->node()->bands()[2].gain(), 5.0f);
    time.advance(2s);
    EXPECT_FALSE(anythingStored());
}

TEST_F(DeviceEQTest, EditsWithoutAnInputDeviceApplyButAreNeverStored) {
    eq->switchToDevice(std::nullopt);
    eq->setSettings(voiceSettings());
    expectUnitMatches(voiceSettings());
    time.advance(2s);
    EXPECT_FALSE(anythingStored());
}

TEST_F(DeviceEQTest, AnUnreadableMapGivesDefaultsAndIsReplacedByTheNextSave) {
    defaults->set(rawValue(SettingsKey::eqSettingsByDevice), PropertyListValue(Data{'{', '"', 'a'}));
    eq->switchToDevice(mic("a"));
    EXPECT_EQ(eq->settings.value(), defaultEQSettings());
    eq->setSettings(podcastSettings());
    time.advance(500ms);
    EXPECT_EQ(stored(), (std::map<std::string, EQSettings>{{"a", podcastSettings()}}));
}

TEST_F(DeviceEQTest, AbsurdBandsNeverPutNaNIntoTheUnit) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EQSettings s;
    s.bands = {{true, EQBandType::bell, 0, nan, -1},
               {true, EQBandType::lowShelf, nan, 1e9, 0},
               {true, EQBandType::highCut, -50, 3, nan},
               {true, EQBandType::bell, 1e12, -1e9, 1e-12}};
    for (int i = 0; i < 6; ++i)
        s.bands.push_back({true, EQBandType::bell, 300, 40, 1});  // ten in all: the last five are ignored
    store.saveEQSettingsByDevice({{"b", podcastSettings()}});
    eq->switchToDevice(mic("a"));
    eq->setSettings(s);
    for (const auto& band : eq->node()->bands()) {
        EXPECT_TRUE(std::isfinite(band.frequency()));
        EXPECT_TRUE(std::isfinite(band.gain()));
        EXPECT_TRUE(std::isfinite(band.bandwidth()));
    }
    EXPECT_EQ(eq->node()->bands()[4].gain(), 24.0f) << "the fifth band, clamped by the unit";
    for (double f : {20.0, 100.0, 1000.0, 10000.0})
        EXPECT_TRUE(std::isfinite(eq->node()->magnitudeResponseDB(f))) << f;

    time.advance(500ms);
    EXPECT_EQ(stored(), (std::map<std::string, EQSettings>{{"b", podcastSettings()}}))
        << "a value JSON cannot hold is not written, and the other devices' entries survive";

    const float before = eq->node()->bands()[4].gain();
    eq->setSettings(EQSettings{true, {}});  // no bands: the unit keeps what it had
    EXPECT_EQ(eq->node()->bands()[4].gain(), before);
    time.advance(500ms);
    EXPECT_EQ(stored().at("a"), (EQSettings{true, {}})) << "stored as given";
    EXPECT_EQ(stored().at("b"), podcastSettings());
}

}  // namespace

#include "app/settings/SettingsStore.h"
#include "platform/oslog/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>
#include <set>
#include <string>

#include <unistd.h>

namespace velunto {
namespace {

Data bytes(const std::string& text) {
    return Data(text.begin(), text.end());
}

std::string text(const std::optional<Data>& data) {
    return data ? std::string(data->begin(), data->end()) : "(none)";
}

class SettingsStoreTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    SettingsStore store{defaults};

    void storeText(SettingsKey key, const std::string& json) {
        defaults->set(rawValue(key), PropertyListValue(bytes(json)));
    }
    std::string storedText(SettingsKey key) const { return text(defaults->data(rawValue(key))); }
};

TEST_F(SettingsStoreTest, FreshInstallationReadsEveryDefault) {
    LogCapture log;
    EXPECT_EQ(store.loadInputMode(), InputMode::systemDefault());
    EXPECT_TRUE(store.loadDevicePriority().empty());
    EXPECT_TRUE(store.loadEQSettingsByDevice().empty());
    EXPECT_TRUE(store.loadPluginLatencyMeasurements().empty());
    EXPECT_FALSE(store.loadPauseShortcut().has_value());
    EXPECT_EQ(store.loadCameraSelection(), CameraSelection::automatic());
    EXPECT_FALSE(store.loadPluginComponent().has_value());
    EXPECT_FALSE(defaults->boolean("app.velunto.bypass"));
    EXPECT_TRUE(store.loadIsRunning());
    EXPECT_EQ(defaults->integer("app.velunto.videoOffsetMilliseconds"), 0);
    EXPECT_FALSE(defaults->string("app.velunto.monitorDeviceUID").has_value());
    EXPECT_TRUE(log.entries().empty());
}

TEST_F(SettingsStoreTest, KeysAreDistinctAndNamedAfterTheirCase) {
    std::set<std::string> seen;
    for (SettingsKey key : allSettingsKeys) {
        EXPECT_EQ(rawValue(key).rfind("app.velunto.", 0), 0u) << rawValue(key);
        seen.insert(rawValue(key));
    }
    EXPECT_EQ(seen.size(), 12u);
    EXPECT_EQ(rawValue(SettingsKey::eqSettingsByDevice), "app.velunto.eqSettingsByDevice");
    EXPECT_EQ(rawValue(SettingsKey::pauseShortcut), "app.velunto.pauseShortcut");
}

TEST_F(SettingsStoreTest, IsRunningConvertsOnlyBooleans) {
    const std::string key = rawValue(SettingsKey::isRunning);
    defaults->set(key, PropertyListValue(false));
    EXPECT_FALSE(store.loadIsRunning());
    defaults->set(key, PropertyListValue(true));
    EXPECT_TRUE(store.loadIsRunning());
    defaults->set(key, PropertyListValue(std::int64_t{0}));
    EXPECT_FALSE(store.loadIsRunning());
    defaults->set(key, PropertyListValue(std::string("no")));
    EXPECT_TRUE(store.loadIsRunning());  // a string does not convert
    defaults->set(key, PropertyListValue(std::int64_t{2}));
    EXPECT_TRUE(store.loadIsRunning());
    defaults->set(key, PropertyListValue(bytes("false")));
    EXPECT_TRUE(store.loadIsRunning());
}

TEST_F(SettingsStoreTest, InputModeDecodingCases) {
    const std::pair<const char*, InputMode> cases[] = {
        {R"({"fixed":{"uid":"X"}})", InputMode::fixed("X")},
        {R"({"fixed":{}})", InputMode::systemDefault()},
        {R"({"fixed":{"uid":"X"},"priority":{}})", InputMode::systemDefault()},
        {R"({"fixed":{"uid":"X"},"comment":1})", InputMode::fixed("X")},
        {R"({"priority":{}})", InputMode::priority()},
        {R"({"priority":1})", InputMode::systemDefault()},
        {R"(not json)", InputMode::systemDefault()},
    };
    for (const auto& [json, expected] : cases) {
        storeText(SettingsKey::inputMode, json);
        EXPECT_EQ(store.loadInputMode(), expected) << json;
    }
}

TEST_F(SettingsStoreTest, SavesWriteTheStoredForms) {
    store.saveDevicePriority({{"usb-1", "Yeti"}, {"bt-2", "AirPods"}});
    EXPECT_EQ(storedText(SettingsKey::devicePriority),
              R"([{"uid":"usb-1","name":"Yeti"},{"uid":"bt-2","name":"AirPods"}])");
    store.saveEQSettingsByDevice({{"usb-1", EQSettings{false, {}}}});
    EXPECT_EQ(storedText(SettingsKey::eqSettingsByDevice), R"({"usb-1":{"isEnabled":false,"bands":[]}})");
    store.savePluginComponent(StoredPluginComponent{1635083896, 1684368505, 1634758764});
    EXPECT_EQ(storedText(SettingsKey::pluginComponent),
              R"({"type":1635083896,"subType":1684368505,"manufacturer":1634758764})");
    store.savePluginComponent(std::nullopt);
    EXPECT_FALSE(defaults->object(rawValue(SettingsKey::pluginComponent)).has_value());
}

TEST_F(SettingsStoreTest, EveryTypedValueRoundTrips) {
    const std::vector<DevicePriorityEntry> priority{{"a", "Mikro A"}, {"b", "Mikro B"}};
    EQSettings custom = defaultEQSettings();
    custom.isEnabled = false;
    custom.bands[2] = {true, EQBandType::lowShelf, 180, 4.5, 0.8};
    const std::map<std::string, EQSettings> eq{{"usb-1", defaultEQSettings()}, {"bt-2", custom}};
    const std::map<std::string, PluginLatencyMeasurement> measurements{
        {SettingsStore::measurementKey(1635083896, 1684368505, 1634758764),
         {0.012, 0.001, 0.0, 256, 0.87, Date{787000000.25}}}};
    const KeyShortcut shortcut{0x31, 0x0100 | 0x0200, "⇧⌘Space"};

    store.saveInputMode(InputMode::priority());
    store.saveDevicePriority(priority);
    store.saveEQSettingsByDevice(eq);
    store.savePluginLatencyMeasurements(measurements);
    store.savePauseShortcut(shortcut);
    store.saveCameraSelection(CameraSelection::device("cam-7"));
    store.savePluginComponent(StoredPluginComponent{0xFF000001u, 2, 3});

    EXPECT_EQ(store.loadInputMode(), InputMode::priority());
    EXPECT_EQ(store.loadDevicePriority(), priority);
    EXPECT_EQ(store.loadEQSettingsByDevice(), eq);
    EXPECT_EQ(store.loadPluginLatencyMeasurements(), measurements);
    EXPECT_EQ(store.loadPauseShortcut(), shortcut);
    EXPECT_EQ(store.loadCameraSelection(), CameraSelection::device("cam-7"));
    EXPECT_EQ(store.loadPluginComponent(), (StoredPluginComponent{0xFF000001u, 2, 3}));
}

TEST_F(SettingsStoreTest, OneBadBandRejectsTheWholeEqualiserMap) {
    storeText(
        SettingsKey::eqSettingsByDevice,
        R"({"good":{"isEnabled":true,"bands":[{"isEnabled":true,"type":"bell","frequency":1000,"gain":0,"q":1}]},)"
        R"("bad":{"isEnabled":true,"bands":[{"isEnabled":true,"type":"bell","frequency":1000,"gain":0}]}})");
    EXPECT_TRUE(store.loadEQSettingsByDevice().empty());
}

TEST_F(SettingsStoreTest, PauseShortcutRemovalAndEncodingFailureRemoveTheKey) {
    store.savePauseShortcut(KeyShortcut{0x23, 0x1800, "⌃⌥P"});
    ASSERT_TRUE(store.loadPauseShortcut().has_value());
    store.savePauseShortcut(std::nullopt);
    EXPECT_FALSE(defaults->object(rawValue(SettingsKey::pauseShortcut)).has_value());
    EXPECT_FALSE(store.loadPauseShortcut().has_value());

    store.savePauseShortcut(KeyShortcut{0x23, 0x1800, "⌃⌥P"});
    store.savePauseShortcut(KeyShortcut{0x23, 0x1800, "\xff broken"});  // cannot be written as JSON
    EXPECT_FALSE(defaults->object(rawValue(SettingsKey::pauseShortcut)).has_value());
}

TEST_F(SettingsStoreTest, FailedEncodingWritesNothing) {
    store.saveEQSettingsByDevice({{"usb-1", defaultEQSettings()}});
    const std::string before = storedText(SettingsKey::eqSettingsByDevice);
    EQSettings broken = defaultEQSettings();
    broken.bands[0].frequency = std::nan("");
    store.saveEQSettingsByDevice({{"usb-1", broken}});
    EXPECT_EQ(storedText(SettingsKey::eqSettingsByDevice), before);

    store.saveDevicePriority({{"a", "A"}});
    store.saveDevicePriority({{"a", "\xc3\x28"}});
    EXPECT_EQ(store.loadDevicePriority(), (std::vector<DevicePriorityEntry>{{"a", "A"}}));
}

TEST_F(SettingsStoreTest, BadValuesFallBackPerKeyAndLoseNothingElse) {
    LogCapture log;
    store.saveInputMode(InputMode::fixed("mic"));
    store.saveCameraSelection(CameraSelection::device("cam"));
    const std::string deep = std::string(50000, '[') + std::string(50000, ']');
    storeText(SettingsKey::devicePriority, deep);
    storeText(
        SettingsKey::pluginLatencyMeasurements,
        R"({"k":{"activeSeconds":1e999,"bypassedSeconds":0,"reportedSeconds":0,"blockFrames":1,"confidence":1,"date":0}})");
    storeText(SettingsKey::pluginComponent, "{\"type\":1,\"subType\":2,\"manufacturer\":\"\xff\"}");
    storeText(SettingsKey::pauseShortcut, R"({"keyCode":99999999999999999999999,"modifiers":0,"display":"x"})");
    defaults->set(rawValue(SettingsKey::eqSettingsByDevice),
                  PropertyListValue(std::string("{}")));  // a string, not data
    storeText(SettingsKey::isRunning, "true");            // data, not a boolean

    EXPECT_TRUE(store.loadDevicePriority().empty());
    EXPECT_TRUE(store.loadPluginLatencyMeasurements().empty());
    EXPECT_FALSE(store.loadPluginComponent().has_value());
    EXPECT_FALSE(store.loadPauseShortcut().has_value());
    EXPECT_TRUE(store.loadEQSettingsByDevice().empty());
    EXPECT_TRUE(store.loadIsRunning());
    EXPECT_EQ(store.loadInputMode(), InputMode::fixed("mic"));
    EXPECT_EQ(store.loadCameraSelection(), CameraSelection::device("cam"));
    EXPECT_TRUE(log.entries().empty());  // loads never log
    // The bad value stays until the next save replaces it.
    EXPECT_EQ(storedText(SettingsKey::devicePriority), deep);
}

TEST_F(SettingsStoreTest, MangledDocumentsNeverEscapeALoad) {
    // Valid documents of every record, then bytes flipped, dropped and duplicated at random.
    store.saveInputMode(InputMode::fixed("usb"));
    store.saveDevicePriority({{"a", "Ä"}, {"b", "B"}});
    store.saveEQSettingsByDevice({{"usb", defaultEQSettings()}});
    store.savePluginLatencyMeasurements({{"1-2-3", {0.01, 0.0, 0.0, 512, 0.9, Date{1.5}}}});
    store.savePauseShortcut(KeyShortcut{1, 2, "⌘X"});
    store.saveCameraSelection(CameraSelection::device("cam"));
    store.savePluginComponent(StoredPluginComponent{1, 2, 3});
    std::vector<std::pair<SettingsKey, Data>> originals;
    for (SettingsKey key : allSettingsKeys) {
        if (auto data = defaults->data(rawValue(key))) {
            originals.emplace_back(key, *data);
        }
    }
    ASSERT_EQ(originals.size(), 7u);

    std::mt19937 rng(20261207);
    const char tokens[] = "{}[]\":,0-1e.9 tfnu\\\xff";
    for (int round = 0; round < 3000; ++round) {
        for (const auto& [key, original] : originals) {
            Data mangled = original;
            const int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits && !mangled.empty(); ++e) {
                const std::size_t at = rng() % mangled.size();
                switch (rng() % 3) {
                    case 0:
                        mangled[at] = static_cast<std::uint8_t>(tokens[rng() % (sizeof(tokens) - 1)]);
                        break;
                    case 1:
                        mangled.erase(mangled.begin() + static_cast<std::ptrdiff_t>(at));
                        break;
                    default:
                        mangled.insert(mangled.begin() + static_cast<std::ptrdiff_t>(at),
                                       mangled[rng() % mangled.size()]);
                        break;
                }
            }
            defaults->set(rawValue(key), PropertyListValue(std::move(mangled)));
        }
        ASSERT_NO_THROW({
            store.loadInputMode();
            store.loadDevicePriority();
            store.loadEQSettingsByDevice();
            store.loadPluginLatencyMeasurements();
            store.loadPauseShortcut();
            store.loadCameraSelection();
            store.loadPluginComponent();
        }) << "round "
           << round;
    }
}

TEST_F(SettingsStoreTest, MeasurementKeyIsDecimalCodesJoinedByDashes) {
    EXPECT_EQ(SettingsStore::measurementKey(0x61756678, 0x64656C79, 0x6170706C), "1635083896-1684368505-1634758764");
    EXPECT_EQ(SettingsStore::measurementKey(0xFFFFFFFFu, 0, 1), "4294967295-0-1");
}

TEST(SettingsStorePersistence, ValuesSurviveReopeningTheDatabase) {
    const auto dir = std::filesystem::temp_directory_path() / ("velunto-settings-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    {
        SettingsStore store(UserDefaults::persistent("app.velunto", dir));
        store.saveInputMode(InputMode::fixed("usb-mic"));
        store.saveEQSettingsByDevice({{"usb-mic", defaultEQSettings()}});
        store.defaults->set("app.velunto.videoOffsetMilliseconds", PropertyListValue(std::int64_t{-40}));
        store.defaults->set("app.velunto.isRunning", PropertyListValue(false));
    }
    SettingsStore reopened(UserDefaults::persistent("app.velunto", dir));
    EXPECT_EQ(reopened.loadInputMode(), InputMode::fixed("usb-mic"));
    EXPECT_EQ(reopened.loadEQSettingsByDevice().at("usb-mic"), defaultEQSettings());
    EXPECT_EQ(reopened.defaults->integer("app.velunto.videoOffsetMilliseconds"), -40);
    EXPECT_FALSE(reopened.loadIsRunning());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velunto

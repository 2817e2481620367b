#include <gtest/gtest.h>

#include <chrono>

#include "app/processing/PluginHost.h"
#include "app/settings/SettingsKey.h"
#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/sim/SimulatedGainEffect.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override { registerSimulatedEffects(); }
    void TearDown() override {
        for (AudioComponent c : extras)
            AudioComponentRegistry::shared().unregisterComponent(c);
    }
    void registerExtra(AudioComponentDescription d, std::string name, std::string vendor, bool failing = false) {
        extras.push_back(AudioComponentRegistry::shared().registerComponent(
            d, std::move(name), std::move(vendor), [failing]() -> std::unique_ptr<AudioUnitBase> {
                if (failing)
                    return nullptr;
                return std::make_unique<SimulatedGainEffect>();
            }));
    }
    std::shared_ptr<PluginHost> makeHost() {
        auto host = PluginHost::make(store);
        host->onPluginChanged = [this](std::shared_ptr<AVAudioUnit> unit) { handedOver.push_back(unit); };
        return host;
    }
    static PluginDescription named(const PluginHost& host, const std::string& name) {
        for (const auto& p : const_cast<PluginHost&>(host).availablePlugins.value())
            if (p.name == name)
                return p;
        ADD_FAILURE() << name << " not listed";
        return {};
    }
    std::optional<Data> stateSlot() const { return defaults->data(rawValue(SettingsKey::pluginState)); }

    VirtualTime time;
    LogCapture logs;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    SettingsStore store{defaults};
    std::vector<AudioComponent> extras;
    std::vector<std::shared_ptr<AVAudioUnit>> handedOver;
};

TEST_F(PluginHostTest, ListsEffectsAndMusicEffectsByManufacturerThenName) {
    registerExtra({kAudioUnitType_Effect, 'zzz1', 'Acme', 0, 0}, "Zischer", "Acme");
    registerExtra({kAudioUnitType_MusicEffect, 'aaa1', 'Acme', 0, 0}, "Echo", "Acme");
    registerExtra({kAudioUnitType_Effect, 'ccc1', 'bVnd', 0, 0}, "Kompressor", "bärig Audio");
    registerExtra({kAudioUnitType_Output, 'gen1', 'Acme', 0, 0}, "Generator", "Acme");
    auto host = makeHost();
    std::vector<std::string> listed;
    for (const auto& p : host->availablePlugins.value())
        listed.push_back(p.manufacturerName + ": " + p.name);
    EXPECT_EQ(listed, (std::vector<std::string>{"Acme: Echo", "Acme: Zischer", "bärig Audio: Kompressor",
                                                "Velunto Sim: Chorus", "Velunto Sim: Delay", "Velunto Sim: Gain",
                                                "Velunto Sim: Noise Gate", "Velunto Sim: Polarity"}));
    const PluginDescription delay = named(*host, "Delay");
    EXPECT_EQ(delay.id(), "1635083896-1935961209-1449946740");
    PluginDescription renamed = delay;
    renamed.name = "Anderer Name";
    renamed.componentDescription.componentFlags = 7;
    EXPECT_EQ(renamed, delay) << "names and flags play no part";
}

TEST_F(PluginHostTest, ALoadedPluginIsHandedOverStoredAndGetsTheBypassFlag) {
    defaults->set(rawValue(SettingsKey::bypass), PropertyListValue(true));
    auto host = makeHost();
    EXPECT_TRUE(host->isBypassed.value());
    const auto delay = named(*host, "Delay");
    host->selectPlugin(delay);
    EXPECT_EQ(host->selectedPlugin.value(), delay) << "at once";
    EXPECT_EQ(host->loadedUnit.value(), nullptr) << "loading";
    time.runUntilIdle();
    ASSERT_NE(host->loadedUnit.value(), nullptr);
    ASSERT_EQ(handedOver.size(), 1u);
    EXPECT_EQ(handedOver[0], host->loadedUnit.value());
    EXPECT_TRUE(host->loadedUnit.value()->shouldBypassEffect());
    EXPECT_EQ(store.loadPluginComponent(),
              (StoredPluginComponent{kAudioUnitType_Effect, kSimulatedDelaySubType, kSimulatedEffectManufacturer}));

    host->setBypassed(false);
    EXPECT_FALSE(host->loadedUnit.value()->shouldBypassEffect());
    EXPECT_FALSE(defaults->boolean(rawValue(SettingsKey::bypass)));

    host->selectPlugin(delay);  // the same again
    time.runUntilIdle();
    EXPECT_EQ(handedOver.size(), 1u) << "no reload";
    EXPECT_FALSE(stateSlot()) << "no state save";

    host->selectPlugin(std::nullopt);
    EXPECT_EQ(handedOver.size(), 2u);
    EXPECT_EQ(handedOver[1], nullptr);
    EXPECT_FALSE(store.loadPluginComponent());
    EXPECT_TRUE(stateSlot()) << "saved before the unit was replaced, and kept";
}

TEST_F(PluginHostTest, OnlyTheLastOfTwoQuickSelectionsIsHandedOver) {
    auto host = makeHost();
    host->selectPlugin(named(*host, "Delay"));
    host->selectPlugin(named(*host, "Gain"));
    time.runUntilIdle();
    ASSERT_EQ(handedOver.size(), 1u);
    EXPECT_EQ(handedOver[0]->audioComponentDescription().componentSubType, kSimulatedGainSubType);
    EXPECT_EQ(host->loadedUnit.value(), handedOver[0]);
}

TEST_F(PluginHostTest, TheStateSlotTravelsAcrossLaunchesAndForeignStateIsRefused) {
    {
        auto host = makeHost();
        host->selectPlugin(named(*host, "Delay"));
        time.runUntilIdle();
        host->loadedUnit.value()->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 1234);
        host->saveState();
    }
    auto relaunched = makeHost();  // restores the stored selection
    EXPECT_EQ(relaunched->selectedPlugin.value()->name, "Delay");
    time.runUntilIdle();
    ASSERT_EQ(handedOver.size(), 2u) << "the restored unit reaches a callback set right after construction";
    EXPECT_EQ(relaunched->loadedUnit.value()->unit().parameterValue(SimulatedDelayEffect::kDelayFrames), 1234.0f);

    relaunched->selectPlugin(named(*relaunched, "Gain"));  // saves the delay's state, offers it to the gain
    time.runUntilIdle();
    EXPECT_EQ(relaunched->loadedUnit.value()->audioComponentDescription().componentSubType, kSimulatedGainSubType);
    EXPECT_EQ(relaunched->loadedUnit.value()->unit().parameterValue(0), 0.0f) << "keeps its own state";

    defaults->set(rawValue(SettingsKey::pluginState), PropertyListValue(Data{'b', 'p', 'l', 'i', 's', 't'}));
    relaunched->selectPlugin(std::nullopt);
    relaunched->selectPlugin(named(*relaunched, "Delay"));
    time.runUntilIdle();
    ASSERT_NE(relaunched->loadedUnit.value(), nullptr) << "garbage in the slot is skipped";
    EXPECT_EQ(relaunched->loadedUnit.value()->unit().parameterValue(SimulatedDelayEffect::kDelayFrames), 480.0f);
}

TEST_F(PluginHostTest, RestoringComparesTypeSubtypeAndManufacturerButNotFlags) {
    registerExtra({kAudioUnitType_Effect, 'flg1', 'Acme', 3, 3}, "Mit Flags", "Acme");
    store.savePluginComponent(StoredPluginComponent{kAudioUnitType_Effect, 'flg1', 'Acme'});
    auto host = makeHost();
    ASSERT_TRUE(host->selectedPlugin.value());
    EXPECT_EQ(host->selectedPlugin.value()->name, "Mit Flags");

    store.savePluginComponent(StoredPluginComponent{kAudioUnitType_Effect, 'flg1', 'Othr'});
    auto other = makeHost();
    EXPECT_FALSE(other->selectedPlugin.value()) << "another manufacturer is not restored";
    EXPECT_EQ(store.loadPluginComponent()->manufacturer, static_cast<std::uint32_t>('Othr')) << "the key stays";
}

TEST_F(PluginHostTest, AFailedLoadIsLoggedAndChangesNothingElse) {
    registerExtra({kAudioUnitType_Effect, 'bad1', 'Acme', 0, 0}, "Kaputt", "Acme", true);
    auto host = makeHost();
    host->selectPlugin(named(*host, "Delay"));
    time.runUntilIdle();
    const auto previous = handedOver;
    host->selectPlugin(named(*host, "Kaputt"));
    time.runUntilIdle();
    EXPECT_EQ(host->selectedPlugin.value()->name, "Kaputt");
    EXPECT_EQ(host->loadedUnit.value(), nullptr);
    EXPECT_EQ(handedOver, previous) << "the engine keeps the unit it had";
    EXPECT_EQ(store.loadPluginComponent()->subType, static_cast<std::uint32_t>(kSimulatedDelaySubType));
    const auto entries = logs.entries("PluginHost");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].message.starts_with("Plugin Kaputt konnte nicht geladen werden: ")) << entries[0].message;
}

TEST_F(PluginHostTest, BypassWithoutAUnitIsOnlyStoredAndTheNextUnitStartsWithIt) {
    auto host = makeHost();
    host->setBypassed(true);
    EXPECT_TRUE(defaults->boolean(rawValue(SettingsKey::bypass)));
    host->selectPlugin(named(*host, "Gain"));
    time.runUntilIdle();
    EXPECT_TRUE(host->loadedUnit.value()->shouldBypassEffect());
}

// An installed LV2 plug-in as the user's choice: listed under its author, loaded, bypassed through its
// enable port, and its settings (a parameter and the plug-in's own state) back after a restart.
TEST_F(PluginHostTest, AnLV2PluginIsListedLoadedBypassedAndKeepsItsStateAcrossARestart) {
    LV2PluginCatalog::registerInstalledPlugins();
    const LV2PluginDescription* limiter = LV2PluginCatalog::shared().find("http://gareus.org/oss/lv2/dpl#mono");
    if (limiter == nullptr)
        GTEST_SKIP() << "x42-plugins is not installed";
    AudioUnitParameterID threshold = 0;
    {
        auto host = makeHost();
        std::optional<PluginDescription> listed;
        for (const auto& p : host->availablePlugins.value())
            if (p.componentDescription.componentSubType == limiter->component.componentSubType &&
                p.componentDescription.componentManufacturer == limiter->component.componentManufacturer)
                listed = p;
        ASSERT_TRUE(listed);
        EXPECT_EQ(listed->name, limiter->name);
        EXPECT_EQ(listed->manufacturerName, limiter->author);
        host->selectPlugin(listed);
        time.runUntilIdle();
        const auto unit = host->loadedUnit.value();
        ASSERT_NE(unit, nullptr);
        host->setBypassed(true);
        EXPECT_TRUE(unit->shouldBypassEffect());
        host->setBypassed(false);
        EXPECT_FALSE(unit->shouldBypassEffect());
        for (const auto& parameter : unit->unit().parameters())
            if (parameter.name.find("Threshold") != std::string::npos)
                threshold = parameter.id;
        ASSERT_EQ(unit->unit().setParameterValue(threshold, -6.5f), noErr);
        host->saveState();
    }
    auto relaunched = makeHost();
    ASSERT_TRUE(relaunched->selectedPlugin.value());
    EXPECT_EQ(relaunched->selectedPlugin.value()->name, limiter->name);
    time.runUntilIdle();
    ASSERT_NE(relaunched->loadedUnit.value(), nullptr);
    EXPECT_EQ(relaunched->loadedUnit.value()->unit().parameterValue(threshold), -6.5f);
}

}  // namespace

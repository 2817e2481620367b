#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/avaudio/AVAudioUnitComponentManager.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {
namespace {

std::vector<std::string> names(const std::vector<AVAudioUnitComponent>& components) {
    std::vector<std::string> result;
    for (const auto& c : components) {
        result.push_back(c.name);
    }
    return result;
}

TEST(ComponentManager, ListsTheSimulatedEffectsByDescriptionWithWildcards) {
    const auto& manager = AVAudioUnitComponentManager::shared();
    const auto effects = manager.components({kAudioUnitType_Effect, 0, kSimulatedEffectManufacturer, 0, 0});
    EXPECT_EQ(names(effects), (std::vector<std::string>{"Delay", "Gain", "Polarity", "Noise Gate"}));
    for (const auto& effect : effects) {
        EXPECT_EQ(effect.manufacturerName, "Velunto Sim");
        EXPECT_EQ(effect.typeName, "Effect");
        EXPECT_EQ(effect.audioComponentDescription.componentType, OSType{kAudioUnitType_Effect});
    }

    const auto music = manager.components({kAudioUnitType_MusicEffect, 0, 0, 0, 0});
    ASSERT_EQ(names(music), std::vector<std::string>{"Chorus"});
    EXPECT_EQ(music[0].typeName, "Music Effect");
    EXPECT_EQ(music[0].audioComponentDescription.componentSubType, OSType{kSimulatedChorusSubType});

    const auto delay = manager.components({0, kSimulatedDelaySubType, 0, 0, 0});
    ASSERT_EQ(delay.size(), 1u);
    EXPECT_EQ(delay[0].audioComponentDescription.componentManufacturer, OSType{kSimulatedEffectManufacturer});

    const auto everything = manager.components({0, 0, 0, 0, 0});
    ASSERT_EQ(everything.size(), 6u);
    EXPECT_EQ(everything[0].name, "AUHAL") << "registered first, when the registry was made";
    EXPECT_EQ(everything[0].manufacturerName, "Apple");
    EXPECT_EQ(everything[0].typeName, "Output");
    EXPECT_TRUE(manager.components({kAudioUnitType_Effect, 0, kAudioUnitManufacturer_Apple, 0, 0}).empty());

    registerSimulatedEffects();
    EXPECT_EQ(manager.components({0, 0, 0, 0, 0}).size(), 6u) << "registering again adds nothing";
}

TEST(ComponentManager, LaterRegistrationsComeLastAndListedComponentsMakeInstances) {
    auto& registry = AudioComponentRegistry::shared();
    const auto& manager = AVAudioUnitComponentManager::shared();
    const AudioComponent extra = registry.registerComponent({kAudioUnitType_Effect, 'tExt', 'tVnd', 0, 0},
                                                            "Test Vendor: Extra", [] { return nullptr; });
    const auto effects = manager.components({kAudioUnitType_Effect, 0, 0, 0, 0});
    ASSERT_EQ(effects.size(), 5u);
    EXPECT_EQ(effects.back().name, "Extra");
    EXPECT_EQ(effects.back().manufacturerName, "Test Vendor") << "taken from the name without a vendor name";
    registry.unregisterComponent(extra);
    EXPECT_EQ(manager.components({kAudioUnitType_Effect, 0, 0, 0, 0}).size(), 4u);

    const auto gain = manager.components({0, kSimulatedGainSubType, 0, 0, 0});
    ASSERT_EQ(gain.size(), 1u);
    AudioUnit unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(gain[0].audioComponent, &unit), noErr);
    const float decibels = -6.0f;
    ASSERT_EQ(registry.unit(unit, nullptr)->setParameterValue(0, decibels), noErr);
    EXPECT_EQ(registry.unit(unit, nullptr)->parameterValue(0), decibels);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
}

}  // namespace
}  // namespace velunto

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/audiounit/AudioComponentRegistry.h"

namespace velunto {
namespace {

// Records which calls reached it.
class FakeUnit final : public AudioUnitBase {
public:
    explicit FakeUnit(std::shared_ptr<std::vector<std::string>> log) : log_(std::move(log)) {}
    ~FakeUnit() override { log_->push_back("destroyed"); }
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, void*, UInt32*) override {
        log_->push_back("get " + std::to_string(id));
        return noErr;
    }
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, const void*, UInt32) override {
        log_->push_back("set " + std::to_string(id));
        return noErr;
    }
    OSStatus initialize() override { return note("initialize"); }
    OSStatus uninitialize() override { return note("uninitialize"); }
    OSStatus start() override { return note("start"); }
    OSStatus stop() override { return note("stop"); }

private:
    OSStatus note(const char* call) {
        log_->push_back(call);
        return noErr;
    }
    std::shared_ptr<std::vector<std::string>> log_;
};

class AudioComponents : public ::testing::Test {
protected:
    ~AudioComponents() override {
        for (AudioComponent c : registered) {
            AudioComponentRegistry::shared().unregisterComponent(c);
        }
        AudioComponentRegistry::shared().registerHALOutput();
    }
    AudioComponent add(OSType type, OSType subtype, OSType manufacturer, UInt32 flags = 0) {
        registered.push_back(AudioComponentRegistry::shared().registerComponent(
            {type, subtype, manufacturer, flags, 0}, "fake", [log = log] { return std::make_unique<FakeUnit>(log); }));
        return registered.back();
    }
    std::vector<AudioComponent> all(const AudioComponentDescription& d) const {
        std::vector<AudioComponent> found;
        for (AudioComponent c = AudioComponentFindNext(nullptr, &d); c != nullptr; c = AudioComponentFindNext(c, &d)) {
            found.push_back(c);
        }
        return found;
    }

    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();
    std::vector<AudioComponent> registered;
};

TEST_F(AudioComponents, FindNextMatchesNonZeroFieldsAndMaskedFlagsInRegistrationOrder) {
    const AudioComponentDescription hal{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                        kAudioUnitManufacturer_Apple, 0, 0};
    const AudioComponent halOutput = AudioComponentFindNext(nullptr, &hal);
    ASSERT_NE(halOutput, nullptr) << "registered without any set-up";
    AudioComponentDescription read{};
    ASSERT_EQ(AudioComponentGetDescription(halOutput, &read), noErr);
    EXPECT_EQ(read.componentSubType, static_cast<OSType>(kAudioUnitSubType_HALOutput));

    const AudioComponent eqA = add(kAudioUnitType_Effect, 'tEQa', 'tVnd', 0x1);
    const AudioComponent music = add(kAudioUnitType_MusicEffect, 'tDly', 'tVnd');
    const AudioComponent eqB = add(kAudioUnitType_Effect, 'tEQb', 'tOth', 0x3);
    EXPECT_EQ(all({kAudioUnitType_Effect, 0, 0, 0, 0}), (std::vector{eqA, eqB}));
    EXPECT_EQ(all({0, 0, 'tVnd', 0, 0}), (std::vector{eqA, music}));
    EXPECT_EQ(all({kAudioUnitType_Effect, 'tEQb', 0, 0, 0}), (std::vector{eqB}));
    EXPECT_EQ(all({kAudioUnitType_Effect, 0, 0, 0x2, 0x2}), (std::vector{eqB})) << "flags compared under the mask";
    EXPECT_EQ(all({kAudioUnitType_Effect, 0, 0, 0x2, 0x0}), (std::vector{eqA, eqB})) << "mask 0 ignores flags";
    EXPECT_EQ(all({kAudioUnitType_Effect, 0, 'none', 0, 0}), std::vector<AudioComponent>{});

    AudioComponentRegistry::shared().unregisterComponent(eqA);
    EXPECT_EQ(all({kAudioUnitType_Effect, 0, 0, 0, 0}), (std::vector{eqB}));
    EXPECT_EQ(AudioComponentFindNext(eqA, &hal), nullptr) << "iteration continues from a removed component";

    AudioComponentRegistry::shared().unregisterComponent(halOutput);
    EXPECT_EQ(AudioComponentFindNext(nullptr, &hal), nullptr);
    EXPECT_NE(AudioComponentRegistry::shared().registerHALOutput(), nullptr);
    EXPECT_NE(AudioComponentFindNext(nullptr, &hal), nullptr);
}

TEST_F(AudioComponents, InstancesForwardToTheirUnitUntilDisposedAndBadHandlesGetAStatus) {
    const AudioComponent component = add('tTyp', 'tSub', 'tVnd');
    AudioUnit unit = nullptr;
    ASSERT_EQ(AudioComponentInstanceNew(component, &unit), noErr);
    ASSERT_NE(unit, nullptr);
    UInt32 value = 1;
    UInt32 size = sizeof(value);
    EXPECT_EQ(AudioUnitSetProperty(unit, 14, kAudioUnitScope_Global, 0, &value, size), noErr);
    EXPECT_EQ(AudioUnitGetProperty(unit, 14, kAudioUnitScope_Global, 0, &value, &size), noErr);
    EXPECT_EQ(AudioUnitInitialize(unit), noErr);
    EXPECT_EQ(AudioOutputUnitStart(unit), noErr);
    EXPECT_EQ(AudioOutputUnitStop(unit), noErr);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
    EXPECT_EQ(*log, (std::vector<std::string>{"set 14", "get 14", "initialize", "start", "stop", "uninitialize",
                                              "destroyed"}));

    constexpr OSStatus invalidated = kAudioComponentErr_InstanceInvalidated;
    EXPECT_EQ(AudioUnitInitialize(unit), invalidated);
    EXPECT_EQ(AudioOutputUnitStart(unit), invalidated);
    EXPECT_EQ(AudioUnitGetProperty(unit, 14, kAudioUnitScope_Global, 0, &value, &size), invalidated);
    EXPECT_EQ(AudioComponentInstanceDispose(unit), invalidated);

    constexpr OSStatus invalid = kAudioUnitErr_InvalidParameter;
    EXPECT_EQ(AudioUnitSetProperty(nullptr, 14, kAudioUnitScope_Global, 0, &value, size), invalid);
    EXPECT_EQ(AudioUnitGetProperty(nullptr, 14, kAudioUnitScope_Global, 0, &value, &size), invalid);
    EXPECT_EQ(AudioUnitInitialize(nullptr), invalid);
    EXPECT_EQ(AudioUnitUninitialize(nullptr), invalid);
    EXPECT_EQ(AudioOutputUnitStart(nullptr), invalid);
    EXPECT_EQ(AudioOutputUnitStop(nullptr), invalid);
    EXPECT_EQ(AudioComponentInstanceDispose(nullptr), invalid);
    EXPECT_EQ(AudioComponentInstanceNew(nullptr, &unit), invalid);
    EXPECT_EQ(AudioComponentInstanceNew(component, nullptr), invalid);
    AudioComponentDescription description{};
    EXPECT_EQ(AudioComponentGetDescription(nullptr, &description), invalid);

    AudioComponentRegistry::shared().unregisterComponent(component);
    EXPECT_EQ(AudioComponentInstanceNew(component, &unit), invalid) << "a removed component makes no instances";
}

}  // namespace
}  // namespace velunto

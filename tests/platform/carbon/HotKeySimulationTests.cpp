#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "platform/carbon/CarbonEvents.h"
#include "platform/carbon/SimulatedHotKeys.h"
#include "platform/dispatch/VirtualTime.h"
#include "tests/platform/carbon/HotKeyRecorder.h"

namespace velunto {
namespace {

constexpr UInt32 kKeyK = 0x28;
constexpr UInt32 kKeyM = 0x2E;
constexpr UInt32 kKeyF5 = 0x60;
constexpr OSType kSignature = 'VLNT';

class SimulatedHotKeysTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (EventHotKeyRef ref : refs)
            UnregisterEventHotKey(ref);
    }
    OSStatus registerKey(UInt32 keyCode, UInt32 modifiers, UInt32 id) {
        EventHotKeyRef ref = nullptr;
        const OSStatus status =
            RegisterEventHotKey(keyCode, modifiers, {kSignature, id}, GetApplicationEventTarget(), 0, &ref);
        if (status == noErr)
            refs.push_back(ref);
        return status;
    }

    VirtualTime time;
    SimulatedHotKeys keys;
    std::vector<EventHotKeyRef> refs;
};

TEST_F(SimulatedHotKeysTest, PressReachesPressedHandlersOnTheMainQueue) {
    HotKeyRecorder pressed;
    HotKeyRecorder released;
    ASSERT_EQ(pressed.install(), noErr);
    ASSERT_EQ(released.install({{kEventClassKeyboard, kEventHotKeyReleased}}), noErr);
    ASSERT_EQ(registerKey(kKeyK, cmdKey | shiftKey, 7), noErr);
    ASSERT_EQ(registerKey(kKeyF5, optionKey, 8), noErr);

    EXPECT_TRUE(keys.press(kKeyK, cmdKey | shiftKey));
    EXPECT_TRUE(pressed.ids.empty());  // delivered through the main queue, not inline
    EXPECT_FALSE(keys.press(kKeyK, cmdKey));
    EXPECT_FALSE(keys.press(kKeyM, cmdKey | shiftKey));
    EXPECT_TRUE(keys.press(kKeyF5, optionKey));
    time.runUntilIdle();

    EXPECT_EQ(pressed.ids, (std::vector<UInt32>{7, 8}));
    EXPECT_EQ(pressed.kinds, (std::vector<UInt32>{kEventHotKeyPressed, kEventHotKeyPressed}));
    EXPECT_TRUE(pressed.allOnMainQueue);
    EXPECT_TRUE(released.ids.empty());
}

TEST_F(SimulatedHotKeysTest, HandlersRunNewestFirstUntilOneHandlesTheEvent) {
    HotKeyRecorder older;
    HotKeyRecorder newer;
    ASSERT_EQ(older.install(), noErr);
    ASSERT_EQ(newer.install(), noErr);
    ASSERT_EQ(registerKey(kKeyK, controlKey, 1), noErr);

    newer.answer = eventNotHandledErr;
    keys.press(kKeyK, controlKey);
    time.runUntilIdle();
    EXPECT_EQ(newer.ids.size(), 1u);
    EXPECT_EQ(older.ids.size(), 1u);

    newer.answer = noErr;
    keys.press(kKeyK, controlKey);
    time.runUntilIdle();
    EXPECT_EQ(newer.ids.size(), 2u);
    EXPECT_EQ(older.ids.size(), 1u);

    ASSERT_EQ(RemoveEventHandler(newer.ref), noErr);
    EXPECT_EQ(RemoveEventHandler(newer.ref), paramErr);
    newer.ref = nullptr;
    keys.press(kKeyK, controlKey);
    time.runUntilIdle();
    EXPECT_EQ(newer.ids.size(), 2u);
    EXPECT_EQ(older.ids.size(), 2u);
}

TEST_F(SimulatedHotKeysTest, CombinationsAreTakenOnceAndFreedByUnregistering) {
    ASSERT_EQ(registerKey(kKeyK, cmdKey, 1), noErr);
    EXPECT_EQ(registerKey(kKeyK, cmdKey, 2), eventHotKeyExistsErr);
    EXPECT_EQ(registerKey(kKeyK, cmdKey | 0x0001, 3), eventHotKeyExistsErr);  // non-modifier bits don't count
    EXPECT_EQ(registerKey(kKeyK, cmdKey | optionKey, 4), noErr);

    keys.holdElsewhere(kKeyM, controlKey | shiftKey);
    EXPECT_EQ(registerKey(kKeyM, controlKey | shiftKey, 5), eventHotKeyExistsErr);
    EXPECT_EQ(registerKey(kKeyM, controlKey, 6), noErr);

    const auto listed = keys.registered();
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].keyCode, kKeyK);
    EXPECT_EQ(listed[0].modifiers, UInt32{cmdKey});
    EXPECT_EQ(listed[0].hotKeyID.signature, kSignature);
    EXPECT_EQ(listed[1].hotKeyID.id, 4u);
    EXPECT_EQ(listed[2].hotKeyID.id, 6u);

    ASSERT_EQ(UnregisterEventHotKey(refs[0]), noErr);
    EXPECT_EQ(UnregisterEventHotKey(refs[0]), eventHotKeyInvalidErr);
    refs.erase(refs.begin());
    EXPECT_FALSE(keys.press(kKeyK, cmdKey));
    EXPECT_EQ(registerKey(kKeyK, cmdKey, 7), noErr);
    EXPECT_EQ(keys.registered().back().hotKeyID.id, 7u);
}

TEST_F(SimulatedHotKeysTest, PressQueuedBeforeUnregisteringIsDropped) {
    HotKeyRecorder recorder;
    ASSERT_EQ(recorder.install(), noErr);
    ASSERT_EQ(registerKey(kKeyK, cmdKey, 1), noErr);
    EXPECT_TRUE(keys.press(kKeyK, cmdKey));
    ASSERT_EQ(UnregisterEventHotKey(refs[0]), noErr);
    refs.clear();
    ASSERT_EQ(registerKey(kKeyK, cmdKey, 2), noErr);  // same keys, a new registration
    time.runUntilIdle();
    EXPECT_TRUE(recorder.ids.empty());
}

TEST_F(SimulatedHotKeysTest, RejectsBadArguments) {
    EventHotKeyRef ref = nullptr;
    int target = 0;
    EXPECT_EQ(RegisterEventHotKey(kKeyK, cmdKey, {kSignature, 1}, GetApplicationEventTarget(), 0, nullptr), paramErr);
    EXPECT_EQ(RegisterEventHotKey(kKeyK, cmdKey, {kSignature, 1}, reinterpret_cast<EventTargetRef>(&target), 0, &ref),
              paramErr);
    EXPECT_EQ(InstallEventHandler(GetApplicationEventTarget(), nullptr, 0, nullptr, nullptr, nullptr), paramErr);
    EXPECT_EQ(InstallEventHandler(GetApplicationEventTarget(), &HotKeyRecorder::handle, 1, nullptr, nullptr, nullptr),
              paramErr);
    EXPECT_EQ(UnregisterEventHotKey(nullptr), eventHotKeyInvalidErr);
    EXPECT_EQ(GetEventHotKeyID(nullptr, nullptr), paramErr);
    EXPECT_TRUE(keys.registered().empty());
}

// How often it is logged is checked in X11HotKeyTests, where a successful connection can end an outage.
TEST(HotKeysWithoutXServer, RegistrationFailsButHandlersInstall) {
    std::optional<std::string> display;
    if (const char* value = std::getenv("DISPLAY"))
        display = value;
    ::unsetenv("DISPLAY");
    HotKeyRecorder recorder;
    EXPECT_EQ(recorder.install(), noErr);
    EventHotKeyRef ref = nullptr;
    EXPECT_EQ(RegisterEventHotKey(kKeyK, cmdKey, {kSignature, 1}, GetApplicationEventTarget(), 0, &ref),
              eventInternalErr);
    EXPECT_EQ(ref, nullptr);
    if (display)
        ::setenv("DISPLAY", display->c_str(), 1);
}

}  // namespace
}  // namespace velunto

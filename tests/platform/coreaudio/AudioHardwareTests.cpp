#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

AudioObjectPropertyAddress global(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

template <class T>
OSStatus read(AudioObjectID object, AudioObjectPropertyAddress address, T& value) {
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
}

std::vector<AudioObjectID> devices() {
    auto address = global(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size), 0);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids.data()), 0);
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    CFStringRef value = nullptr;
    EXPECT_EQ(read(object, global(selector), value), 0);
    auto owned = CFOwned<CFStringRef>::adopt(value);
    return stringFromCFString(owned.get()).value_or("<none>");
}

AudioObjectID translate(CFStringRef uid) {
    auto address = global(kAudioHardwarePropertyTranslateUIDToDevice);
    AudioObjectID id = 99;
    UInt32 size = sizeof id;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof uid, &uid, &size, &id), 0);
    return id;
}

class AudioHardwareTest : public ::testing::Test {
protected:
    VirtualTime time;
    SimulatedAudioHardware hardware{SimulatedAudioHardware::standardScenario()};
    AudioObjectID mic = *hardware.deviceID("sim.builtin.mic");
    AudioObjectID speakers = *hardware.deviceID("sim.builtin.speakers");
    AudioObjectID headset = *hardware.deviceID("sim.usb.headset");
};

TEST_F(AudioHardwareTest, SystemObjectListsDevicesDefaultsAndTranslatesUIDs) {
    auto aggregate = *hardware.deviceID("sim.aggregate");
    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{mic, speakers, headset, aggregate}));
    AudioObjectID id = 0;
    EXPECT_EQ(read(kAudioObjectSystemObject, global(kAudioHardwarePropertyDefaultInputDevice), id), 0);
    EXPECT_EQ(id, mic);
    EXPECT_EQ(read(kAudioObjectSystemObject, global(kAudioHardwarePropertyDefaultOutputDevice), id), 0);
    EXPECT_EQ(id, speakers);

    EXPECT_EQ(translate(CFSTR("sim.usb.headset")), headset);
    EXPECT_EQ(translate(CFSTR("no.such.device")), kAudioObjectUnknown);
    EXPECT_EQ(translate(nullptr), kAudioObjectUnknown);

    EXPECT_EQ(readString(headset, kAudioObjectPropertyName), "USB Headset");
    EXPECT_EQ(readString(headset, kAudioDevicePropertyDeviceUID), "sim.usb.headset");
    UInt32 transport = 0;
    EXPECT_EQ(read(headset, global(kAudioDevicePropertyTransportType), transport), 0);
    EXPECT_EQ(transport, static_cast<UInt32>(kAudioDeviceTransportTypeUSB));

    // Aggregates list their sub-devices' UIDs.
    CFArrayRef subDevices = nullptr;
    ASSERT_EQ(read(aggregate, global(kAudioAggregateDevicePropertyFullSubDeviceList), subDevices), 0);
    auto owned = CFOwned<CFArrayRef>::adopt(subDevices);
    ASSERT_EQ(CFArrayGetCount(subDevices), 2);
    EXPECT_EQ(stringFromCFString(CFArrayGetValueAtIndex(subDevices, 1)), "sim.builtin.speakers");
    const auto grup = global(kAudioAggregateDevicePropertyFullSubDeviceList);
    EXPECT_FALSE(AudioObjectHasProperty(mic, &grup));
}

TEST_F(AudioHardwareTest, StreamConfigurationPerScope) {
    auto address = AudioObjectPropertyAddress{kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput,
                                              kAudioObjectPropertyElementMain};
    alignas(AudioBufferList) unsigned char storage[64];
    UInt32 size = sizeof storage;
    ASSERT_EQ(AudioObjectGetPropertyData(headset, &address, 0, nullptr, &size, storage), 0);
    auto* list = reinterpret_cast<AudioBufferList*>(storage);
    ASSERT_EQ(list->mNumberBuffers, 1u);
    EXPECT_EQ(list->mBuffers[0].mNumberChannels, 2u);

    size = sizeof storage;
    address.mScope = kAudioObjectPropertyScopeInput;
    ASSERT_EQ(AudioObjectGetPropertyData(speakers, &address, 0, nullptr, &size, storage), 0);
    EXPECT_EQ(list->mNumberBuffers, 0u);
}

TEST_F(AudioHardwareTest, BadRequestsAnswerStatusCodes) {
    auto rate = global(kAudioDevicePropertyNominalSampleRate);
    Float64 value = 0;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(4242, &rate, 0, nullptr, &size, &value), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectGetPropertyData(mic, nullptr, 0, nullptr, &size, &value), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &rate, 0, nullptr, nullptr, &value), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &rate, 0, nullptr, &size, nullptr), kAudioHardwareIllegalOperationError);
    size = 4;
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &rate, 0, nullptr, &size, &value), kAudioHardwareBadPropertySizeError);
    auto unknown = global('zzzz');
    size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &unknown, 0, nullptr, &size, &value), kAudioHardwareUnknownPropertyError);

    // The UID translation wants exactly one string reference as its qualifier.
    auto uidd = global(kAudioHardwarePropertyTranslateUIDToDevice);
    AudioObjectID id = 0;
    size = sizeof id;
    CFStringRef uid = CFSTR("sim.builtin.mic");
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &uidd, 4, &uid, &size, &id),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &uidd, sizeof uid, nullptr, &size, &id),
              kAudioHardwareBadPropertySizeError);

    // Settable only where the device offers several rates, and only to one of them.
    Boolean settable = true;
    EXPECT_EQ(AudioObjectIsPropertySettable(mic, &rate, &settable), 0);
    EXPECT_FALSE(settable);
    value = 48000;
    EXPECT_EQ(AudioObjectSetPropertyData(mic, &rate, 0, nullptr, sizeof value, &value),
              kAudioHardwareUnsupportedOperationError);
    value = 96000;
    EXPECT_EQ(AudioObjectSetPropertyData(headset, &rate, 0, nullptr, sizeof value, &value),
              kAudioDeviceUnsupportedFormatError);
    value = 48000;
    EXPECT_EQ(AudioObjectSetPropertyData(headset, &rate, 0, nullptr, sizeof value, &value), 0);
    EXPECT_EQ(read(headset, rate, value), 0);
    EXPECT_EQ(value, 48000.0);

    // A default output must be a visible device with outputs.
    AudioObjectID target = mic;
    auto dOut = global(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &dOut, 0, nullptr, sizeof target, &target),
              kAudioHardwareIllegalOperationError);
}

TEST_F(AudioHardwareTest, UnpluggedDeviceVanishesAndListenersHearIt) {
    DispatchQueue queue("test.listeners");
    std::vector<std::string> heard;
    auto onSystem = makeAudioObjectPropertyListenerBlock([&](UInt32 n, const AudioObjectPropertyAddress* a) {
        for (UInt32 i = 0; i < n; ++i)
            heard.push_back("system " + std::to_string(a[i].mSelector));
    });
    auto onDevice = makeAudioObjectPropertyListenerBlock([&](UInt32 n, const AudioObjectPropertyAddress* a) {
        for (UInt32 i = 0; i < n; ++i)
            heard.push_back("device " + std::to_string(a[i].mSelector));
    });
    const AudioObjectPropertyAddress any{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
                                         kAudioObjectPropertyElementWildcard};
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, &any, queue, onSystem), 0);
    auto alive = global(kAudioDevicePropertyDeviceIsAlive);
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(mic, &alive, queue, onDevice), 0);
    EXPECT_EQ(AudioObjectAddPropertyListenerBlock(4242, &alive, queue, onDevice), kAudioHardwareBadObjectError);

    ASSERT_TRUE(hardware.unplug("sim.builtin.mic"));
    EXPECT_TRUE(heard.empty()) << "delivered on the queue, not inline";
    time.runUntilIdle();
    EXPECT_EQ(heard, (std::vector<std::string>{"device " + std::to_string(kAudioDevicePropertyDeviceIsAlive),
                                               "system " + std::to_string(kAudioHardwarePropertyDevices),
                                               "system " + std::to_string(kAudioHardwarePropertyDefaultInputDevice)}));

    // The next capable device took over as default input; the old ID is gone for good.
    AudioObjectID id = 0;
    EXPECT_EQ(read(kAudioObjectSystemObject, global(kAudioHardwarePropertyDefaultInputDevice), id), 0);
    EXPECT_EQ(id, headset);
    Float64 rate = 0;
    EXPECT_EQ(read(mic, global(kAudioDevicePropertyNominalSampleRate), rate), kAudioHardwareBadObjectError);
    EXPECT_EQ(translate(CFSTR("sim.builtin.mic")), kAudioObjectUnknown);

    // Removing a listener of a vanished device still succeeds; a second removal does not.
    EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(mic, &alive, queue, onDevice), 0);
    EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(mic, &alive, queue, onDevice), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &any, queue, onSystem), 0);
}

TEST_F(AudioHardwareTest, RemovedListenerIsNeverCalledAgainEvenWithADeliveryQueued) {
    DispatchQueue queue("test.listeners");
    int calls = 0;
    auto block = makeAudioObjectPropertyListenerBlock([&](UInt32, const AudioObjectPropertyAddress*) { ++calls; });
    auto rate = global(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(headset, &rate, queue, block), 0);
    ASSERT_TRUE(hardware.setNominalSampleRate("sim.usb.headset", 48000.0));
    time.runUntilIdle();
    EXPECT_EQ(calls, 1);

    ASSERT_TRUE(hardware.setNominalSampleRate("sim.usb.headset", 44100.0));  // queued, not yet delivered
    // Another block, or the same block on another queue, is not the registration.
    auto other = makeAudioObjectPropertyListenerBlock([](UInt32, const AudioObjectPropertyAddress*) {});
    EXPECT_NE(AudioObjectRemovePropertyListenerBlock(headset, &rate, queue, other), 0);
    EXPECT_NE(AudioObjectRemovePropertyListenerBlock(headset, &rate, DispatchQueue("elsewhere"), block), 0);
    ASSERT_EQ(AudioObjectRemovePropertyListenerBlock(headset, &rate, queue, block), 0);
    time.runUntilIdle();
    ASSERT_TRUE(hardware.setNominalSampleRate("sim.usb.headset", 48000.0));
    time.runUntilIdle();
    EXPECT_EQ(calls, 1);
}

TEST_F(AudioHardwareTest, KilledDeviceReportsDeadAndStaysListed) {
    int notified = 0;
    auto alive = global(kAudioDevicePropertyDeviceIsAlive);
    auto block = makeAudioObjectPropertyListenerBlock([&](UInt32, const AudioObjectPropertyAddress*) { ++notified; });
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(speakers, &alive, std::nullopt, block), 0);
    ASSERT_TRUE(hardware.kill("sim.builtin.speakers"));
    EXPECT_EQ(notified, 1) << "without a queue the block runs on the notifying thread";
    UInt32 isAlive = 1;
    EXPECT_EQ(read(speakers, alive, isAlive), 0);
    EXPECT_EQ(isAlive, 0u);
    EXPECT_EQ(devices().size(), 4u);
    EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(speakers, &alive, std::nullopt, block), 0);
}

}  // namespace

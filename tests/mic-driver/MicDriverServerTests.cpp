// The driver loaded from its bundle by our audio server.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/corefoundation/CFStringBridge.h"

using namespace velunto;

namespace {

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector,
                              AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    const auto where = at(selector);
    CFStringRef value = nullptr;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value), 0);
    return stringFromCFString(CFOwned<CFStringRef>::adopt(value).get()).value_or("<none>");
}

UInt32 readU32(AudioObjectID object, AudioObjectPropertySelector selector) {
    const auto where = at(selector);
    UInt32 value = 0xEEEE;
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value), 0);
    return value;
}

std::vector<UInt32> streamChannels(AudioObjectID device, AudioObjectPropertyScope scope) {
    const auto where = at(kAudioDevicePropertyStreamConfiguration, scope);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(device, &where, 0, nullptr, &size), 0);
    std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 1);
    EXPECT_EQ(AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, storage.data()), 0);
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    std::vector<UInt32> channels;
    for (UInt32 i = 0; i < list->mNumberBuffers; ++i)
        channels.push_back(list->mBuffers[i].mNumberChannels);
    return channels;
}

AudioObjectID deviceForUID(CFStringRef string) {
    const auto where = at(kAudioHardwarePropertyTranslateUIDToDevice);
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof device;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, sizeof string, &string, &size, &device), 0);
    return device;
}

TEST(MicDriverInAudioServer, PublishesTheMicrophoneAndTheHiddenFeedDevice) {
    AudioServerPlugInHost host;
    AudioObjectID plugIn = kAudioObjectUnknown;
    ASSERT_EQ(host.load(VELUNTO_MIC_DRIVER_BUNDLE, &plugIn), 0);
    const auto devices = host.deviceIDs(VELUNTO_MIC_DRIVER_BUNDLE);
    ASSERT_EQ(devices.size(), 2u);
    const AudioObjectID mic = deviceForUID(CFSTR("app.velunto.mic"));
    const AudioObjectID feed = deviceForUID(CFSTR("app.velunto.mic.feed"));
    EXPECT_EQ(devices, (std::vector<AudioObjectID>{mic, feed}));

    EXPECT_EQ(readString(mic, kAudioObjectPropertyName), "Velunto Mic");
    EXPECT_EQ(readString(feed, kAudioObjectPropertyName), "Velunto Mic (Einspeisung)");
    EXPECT_EQ(readString(mic, kAudioDevicePropertyDeviceUID), "app.velunto.mic");
    EXPECT_EQ(readString(feed, kAudioDevicePropertyDeviceUID), "app.velunto.mic.feed");
    EXPECT_EQ(readString(mic, kAudioObjectPropertyManufacturer), "Velunto");
    EXPECT_EQ(readU32(mic, kAudioDevicePropertyIsHidden), 0u);
    EXPECT_EQ(readU32(feed, kAudioDevicePropertyIsHidden), 1u);
    EXPECT_EQ(readU32(mic, kAudioObjectPropertyOwner), plugIn);
    EXPECT_EQ(readU32(mic, kAudioDevicePropertyClockDomain), readU32(feed, kAudioDevicePropertyClockDomain));

    EXPECT_EQ(streamChannels(mic, kAudioObjectPropertyScopeInput), std::vector<UInt32>{2});
    EXPECT_TRUE(streamChannels(mic, kAudioObjectPropertyScopeOutput).empty());
    EXPECT_EQ(streamChannels(feed, kAudioObjectPropertyScopeOutput), std::vector<UInt32>{2});
    EXPECT_TRUE(streamChannels(feed, kAudioObjectPropertyScopeInput).empty());

    ASSERT_TRUE(host.unload(VELUNTO_MIC_DRIVER_BUNDLE));
    EXPECT_EQ(deviceForUID(CFSTR("app.velunto.mic")), kAudioObjectUnknown);
}

}  // namespace

#include <gtest/gtest.h>

#include <string>

#include "app/devices/AudioProperties.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
namespace AP = velunto::AudioProperties;

namespace {

const std::string kBadObject = std::to_string(kAudioHardwareBadObjectError);

class AudioPropertiesTest : public ::testing::Test {
protected:
    AudioPropertiesTest() {
        auto scenario = SimulatedAudioHardware::standardScenario();
        SimulatedDeviceDescription blackHole;
        blackHole.name = "BlackHole 2ch";
        blackHole.uid = "BlackHole2ch_UID";
        blackHole.inputChannels = 2;
        blackHole.outputChannels = 2;
        blackHole.transportType = kAudioDeviceTransportTypeVirtual;
        blackHole.hidden = true;
        scenario.push_back(blackHole);
        for (const auto& d : scenario)
            hardware.plug(d);
    }

    AudioObjectID id(const std::string& uid) const { return *hardware.deviceID(uid); }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
};

TEST_F(AudioPropertiesTest, CheckStatusLogsEveryFailureOnceAndNothingElse) {
    EXPECT_TRUE(checkStatus(0, "Quiet()"));
    EXPECT_FALSE(checkStatus(kAudioHardwareBadObjectError, "AudioObjectGetPropertyData(x)"));
    EXPECT_FALSE(checkStatus(-10879, "AudioUnitSetProperty(y) [output]"));
    const auto entries = logs.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].category, "DeviceManager");
    EXPECT_EQ(entries[0].subsystem, "app.velunto");
    EXPECT_EQ(entries[0].type, OSLogType::error);
    EXPECT_EQ(entries[0].message, "AudioObjectGetPropertyData(x) failed: OSStatus 560947818");
    EXPECT_EQ(entries[1].message, "AudioUnitSetProperty(y) [output] failed: OSStatus -10879");
}

TEST_F(AudioPropertiesTest, HelpersReadTheDevices) {
    const auto mic = id("sim.builtin.mic"), speakers = id("sim.builtin.speakers"), headset = id("sim.usb.headset");
    const auto aggregate = id("sim.aggregate");
    EXPECT_EQ(AP::defaultInputDevice(), mic);
    EXPECT_EQ(AP::defaultOutputDevice(), speakers);
    EXPECT_EQ(AP::allDevices().size(), 5u);
    EXPECT_EQ(AP::allDevices().front(), mic);
    EXPECT_EQ(AP::deviceUID(headset), "sim.usb.headset");
    EXPECT_EQ(AP::deviceName(headset), "USB Headset");
    EXPECT_EQ(AP::deviceForUID("sim.usb.headset"), headset);
    EXPECT_EQ(AP::nominalSampleRate(headset), 44100.0);
    EXPECT_TRUE(AP::isAlive(headset));
    EXPECT_TRUE(AP::isHidden(id("BlackHole2ch_UID")));
    EXPECT_FALSE(AP::isHidden(headset));
    EXPECT_EQ(AP::transportType(headset), static_cast<UInt32>(kAudioDeviceTransportTypeUSB));
    EXPECT_EQ(AP::channelCount(headset, kAudioObjectPropertyScopeInput), 1u);
    EXPECT_EQ(AP::channelCount(headset, kAudioObjectPropertyScopeOutput), 2u);
    EXPECT_EQ(AP::channelCount(mic, kAudioObjectPropertyScopeOutput), 0u);
    EXPECT_EQ(AP::aggregateSubDeviceUIDs(aggregate),
              (std::vector<std::string>{"sim.builtin.mic", "sim.builtin.speakers"}));
    EXPECT_TRUE(AP::aggregateSubDeviceUIDs(headset).empty());
    // An unknown UID is no device, and no failure.
    EXPECT_EQ(AP::deviceForUID("nobody"), std::nullopt);
    EXPECT_TRUE(logs.entries().empty());
}

TEST_F(AudioPropertiesTest, ADeviceGoneBetweenListingAndReadingGivesAbsentValuesAndOneLogLineEach) {
    const auto devices = AP::allDevices();
    const AudioObjectID gone = id("sim.usb.headset");
    ASSERT_TRUE(hardware.unplug("sim.usb.headset"));
    ASSERT_NE(std::find(devices.begin(), devices.end(), gone), devices.end());

    EXPECT_EQ(AP::deviceUID(gone), std::nullopt);
    EXPECT_EQ(AP::deviceName(gone), std::nullopt);
    EXPECT_EQ(AP::nominalSampleRate(gone), std::nullopt);
    EXPECT_FALSE(AP::isAlive(gone));
    EXPECT_FALSE(AP::isHidden(gone));
    EXPECT_EQ(AP::transportType(gone), std::nullopt);
    EXPECT_EQ(AP::channelCount(gone, kAudioObjectPropertyScopeInput), 0u);
    EXPECT_TRUE(AP::aggregateSubDeviceUIDs(gone).empty());

    const std::string suffix = " for " + std::to_string(gone) + " failed: OSStatus " + kBadObject;
    for (const char* call : {"AudioObjectGetPropertyData(kAudioDevicePropertyDeviceUID)",
                             "AudioObjectGetPropertyData(kAudioObjectPropertyName)",
                             "AudioObjectGetPropertyData(kAudioDevicePropertyNominalSampleRate)",
                             "AudioObjectGetPropertyData(kAudioDevicePropertyDeviceIsAlive)",
                             "AudioObjectGetPropertyData(kAudioDevicePropertyIsHidden)",
                             "AudioObjectGetPropertyDataSize(kAudioDevicePropertyStreamConfiguration)"})
        EXPECT_EQ(logs.count("DeviceManager", std::string(call) + suffix), 1u) << call;
    // The aggregate check reads the transport type once more.
    EXPECT_EQ(logs.count("DeviceManager", "AudioObjectGetPropertyData(kAudioDevicePropertyTransportType)" + suffix),
              2u);
    EXPECT_EQ(logs.entries().size(), 8u);
}

TEST_F(AudioPropertiesTest, FindDeviceNamedIgnoresLetterCase) {
    auto found = AP::findDeviceNamed("blackhole 2CH");
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, (AudioDeviceInfo{id("BlackHole2ch_UID"), "BlackHole2ch_UID", "BlackHole 2ch"}));
    EXPECT_EQ(AP::findDeviceNamed("LAUTSPRECHER")->uid, "sim.builtin.speakers");
    EXPECT_EQ(AP::findDeviceNamed("Soundflower"), std::nullopt);
}

}  // namespace

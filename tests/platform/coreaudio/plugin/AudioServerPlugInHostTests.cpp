#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/oslog/LogCapture.h"
#include "tests/platform/coreaudio/plugin/TestGeneratorHooks.h"

using namespace velunto;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kDrivers = VELUNTO_TEST_DRIVERS_DIR;
const fs::path kGenerator = kDrivers / "TestGenerator.driver";
const fs::path kGeneratorLibrary = kGenerator / "Contents" / "Linux" / "TestGenerator";

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <class T>
T read(AudioObjectID object, AudioObjectPropertyAddress where) {
    T value{};
    UInt32 size = sizeof value;
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value), 0);
    return value;
}

std::vector<AudioObjectID> readIDs(AudioObjectID object, AudioObjectPropertyAddress where) {
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(object, &where, 0, nullptr, &size), 0);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID) + 1);  // never an empty buffer
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, ids.data()), 0);
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

std::vector<AudioObjectID> systemDevices() {
    return readIDs(kAudioObjectSystemObject, address(kAudioHardwarePropertyDevices));
}

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    return stringFromCFString(CFOwned<CFStringRef>::adopt(read<CFStringRef>(object, address(selector))).get())
        .value_or("<none>");
}

// Channels of each buffer of the device's 'slay' in one scope.
std::vector<UInt32> streamConfiguration(AudioObjectID device, AudioObjectPropertyScope scope) {
    const auto where = address(kAudioDevicePropertyStreamConfiguration, scope);
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

// The driver's hooks, from the library the host has loaded.
const TestGeneratorHooks* hooksOfLoadedGenerator() {
    void* library = dlopen(kGeneratorLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        return nullptr;
    auto hooks = reinterpret_cast<const TestGeneratorHooks* (*)()>(dlsym(library, "TestGenerator_Hooks"));
    dlclose(library);  // the host's handle keeps it loaded
    return hooks ? hooks() : nullptr;
}

// Records each cycle's times and checks the ramp; plays sample time (left) and its negation (right).
struct Capture {
    std::vector<double> now, input, output;
    std::size_t rampErrors = 0;
};

OSStatus captureProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp* inTime,
                     AudioBufferList* out, const AudioTimeStamp* outTime, void* data) {
    auto& capture = *static_cast<Capture*>(data);
    capture.now.push_back(now->mSampleTime);
    capture.input.push_back(inTime->mSampleTime);
    capture.output.push_back(outTime->mSampleTime);
    const auto* ramp = static_cast<const float*>(in->mBuffers[0].mData);
    const UInt32 frames = in->mBuffers[0].mDataByteSize / sizeof(float);
    if (in->mNumberBuffers != 1 || in->mBuffers[0].mNumberChannels != 1 || frames == 0)
        ++capture.rampErrors;
    for (UInt32 i = 0; i < frames; ++i)
        if (ramp[i] != static_cast<float>(inTime->mSampleTime + i))
            ++capture.rampErrors;
    auto* played = static_cast<float*>(out->mBuffers[0].mData);
    for (UInt32 i = 0; i < out->mBuffers[0].mDataByteSize / sizeof(float) / 2; ++i) {
        played[2 * i] = static_cast<float>(outTime->mSampleTime + i);
        played[2 * i + 1] = -played[2 * i];
    }
    return 0;
}

class PlugInHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(host.load(kGenerator, &plugIn), 0);
        hooks = hooksOfLoadedGenerator();
        ASSERT_NE(hooks, nullptr);
        hooks->setCounters(&counters);
        const auto devices = host.deviceIDs(kGenerator);
        ASSERT_EQ(devices.size(), 1u);
        device = devices[0];
    }

    VirtualTime time;
    TestGeneratorCounters counters{};
    AudioServerPlugInHost host;
    const TestGeneratorHooks* hooks = nullptr;
    AudioObjectID plugIn = kAudioObjectUnknown;
    AudioObjectID device = kAudioObjectUnknown;
};

TEST_F(PlugInHostTest, PublishesTheDriversObjectsUnderServerIDs) {
    const auto devices = systemDevices();
    EXPECT_NE(std::find(devices.begin(), devices.end(), device), devices.end());
    EXPECT_EQ(readString(device, kAudioObjectPropertyName), "Test Generator");
    EXPECT_EQ(readString(device, kAudioDevicePropertyDeviceUID), "velunto.test.generator");

    // UID translation by the system object, and by the plug-in object (the driver's answer, translated).
    CFStringRef uid = CFSTR("velunto.test.generator");
    const auto translate = address(kAudioHardwarePropertyTranslateUIDToDevice);
    for (AudioObjectID translator : {AudioObjectID{kAudioObjectSystemObject}, plugIn}) {
        AudioObjectID found = kAudioObjectUnknown;
        UInt32 size = sizeof found;
        EXPECT_EQ(AudioObjectGetPropertyData(translator, &translate, sizeof uid, &uid, &size, &found), 0);
        EXPECT_EQ(found, device) << "translated by object " << translator;
    }

    // Plug-in → device → streams, every ID the server's.
    EXPECT_EQ(read<AudioClassID>(plugIn, address(kAudioObjectPropertyClass)), AudioClassID{kAudioPlugInClassID});
    EXPECT_EQ(read<AudioObjectID>(plugIn, address(kAudioObjectPropertyOwner)), AudioObjectID{kAudioObjectSystemObject});
    EXPECT_EQ(readIDs(plugIn, address(kAudioPlugInPropertyDeviceList)), std::vector<AudioObjectID>{device});
    EXPECT_EQ(read<AudioObjectID>(device, address(kAudioObjectPropertyOwner)), plugIn);
    EXPECT_EQ(readIDs(device, address(kAudioDevicePropertyRelatedDevices)), std::vector<AudioObjectID>{device});
    const auto streams = readIDs(device, address(kAudioDevicePropertyStreams));
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(readIDs(device, address(kAudioObjectPropertyOwnedObjects)), streams);
    EXPECT_EQ(readIDs(device, address(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput)),
              std::vector<AudioObjectID>{streams[1]});
    for (AudioObjectID stream : streams) {
        EXPECT_EQ(read<AudioClassID>(stream, address(kAudioObjectPropertyClass)), AudioClassID{kAudioStreamClassID});
        EXPECT_EQ(read<AudioObjectID>(stream, address(kAudioObjectPropertyOwner)), device);
    }
    EXPECT_EQ(read<UInt32>(streams[0], address(kAudioStreamPropertyDirection)), 1u);

    // What the host answers itself: the stream layout from the streams' formats, and its buffer size.
    EXPECT_EQ(streamConfiguration(device, kAudioObjectPropertyScopeInput), std::vector<UInt32>{1});
    EXPECT_EQ(streamConfiguration(device, kAudioObjectPropertyScopeOutput), std::vector<UInt32>{2});
    EXPECT_TRUE(streamConfiguration(device, kAudioObjectPropertyScopeGlobal).empty());
    EXPECT_EQ(read<UInt32>(device, address(kAudioDevicePropertyBufferFrameSize)), 512u);
    Boolean settable = true;
    auto layout = address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    EXPECT_EQ(AudioObjectIsPropertySettable(device, &layout, &settable), 0);
    EXPECT_FALSE(settable);
    auto rate = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectIsPropertySettable(device, &rate, &settable), 0);
    EXPECT_TRUE(settable);
}

TEST_F(PlugInHostTest, StringsAreRetainedForTheCallerAndStorageKeepsValues) {
    const CFIndex before = hooks->manufacturerRetainCount();
    CFStringRef maker = read<CFStringRef>(device, address(kAudioObjectPropertyManufacturer));
    EXPECT_EQ(stringFromCFString(maker), "Velunto Test Devices");
    EXPECT_EQ(hooks->manufacturerRetainCount(), before + 1);
    CFRelease(maker);
    EXPECT_EQ(hooks->manufacturerRetainCount(), before);

    char value[32] = {};
    EXPECT_EQ(hooks->copyStored("volume", value, sizeof value), 0);
    ASSERT_EQ(hooks->store("volume", "0.5"), 0);
    ASSERT_EQ(hooks->store("volume", "0.75"), 0);
    ASSERT_EQ(hooks->copyStored("volume", value, sizeof value), 1);
    EXPECT_STREQ(value, "0.75");
    EXPECT_EQ(hooks->deleteStored("volume"), 0);
    EXPECT_EQ(hooks->copyStored("volume", value, sizeof value), 0);
}

TEST_F(PlugInHostTest, DriverNotificationsAndConfigurationChangesArriveOnQueues) {
    DispatchQueue queue("listener");
    std::vector<AudioObjectPropertySelector> heard;
    bool onQueue = true;
    auto block = makeAudioObjectPropertyListenerBlock([&](UInt32 count, const AudioObjectPropertyAddress* changed) {
        onQueue = onQueue && queue.isCurrent();
        for (UInt32 i = 0; i < count; ++i)
            heard.push_back(changed[i].mSelector);
    });
    const AudioObjectPropertyAddress any{kAudioObjectPropertySelectorWildcard, kAudioObjectPropertyScopeWildcard,
                                         kAudioObjectPropertyElementWildcard};
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(device, &any, queue, block), 0);

    EXPECT_EQ(hooks->announce(kTestGeneratorDeviceID, kAudioObjectPropertyName), 0);
    EXPECT_EQ(hooks->announce(99, kAudioObjectPropertyName), kAudioHardwareBadObjectError);
    EXPECT_TRUE(heard.empty());
    time.runUntilIdle();
    EXPECT_EQ(heard, std::vector<AudioObjectPropertySelector>{kAudioObjectPropertyName});
    EXPECT_TRUE(onQueue);

    // The driver turns a new rate into a configuration change, which the host performs later.
    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    const Float64 slower = 44100;
    ASSERT_EQ(AudioObjectSetPropertyData(device, &rate, 0, nullptr, sizeof slower, &slower), 0);
    EXPECT_EQ(read<Float64>(device, rate), 48000.0);
    time.runUntilIdle();
    EXPECT_EQ(counters.performedChanges, 1u);
    EXPECT_EQ(read<Float64>(device, rate), 44100.0);
    EXPECT_EQ(heard.back(), AudioObjectPropertySelector{kAudioDevicePropertyNominalSampleRate});
    EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(device, &any, queue, block), 0);

    // One still pending when the driver goes is aborted, not performed.
    const Float64 faster = 48000;
    ASSERT_EQ(AudioObjectSetPropertyData(device, &rate, 0, nullptr, sizeof faster, &faster), 0);
    host.unloadAll();
    time.runUntilIdle();
    EXPECT_EQ(counters.abortedChanges, 1u);
    EXPECT_EQ(counters.performedChanges, 1u);
}

TEST_F(PlugInHostTest, IOCyclesRunOnTheDriversClock) {
    time.advance(1s);  // the driver's clock runs from Initialize
    Capture capture;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(device, captureProc, &capture, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(device, proc), 0);
    EXPECT_EQ(counters.startIO, 1u);
    time.advance(100ms);

    ASSERT_GE(capture.now.size(), 9u);
    EXPECT_EQ(capture.now.front(), 48128.0) << "the first multiple of 512 after 1 s at 48 kHz";
    for (std::size_t i = 0; i < capture.now.size(); ++i) {
        EXPECT_EQ(capture.now[i], capture.now.front() + 512.0 * static_cast<double>(i));
        EXPECT_EQ(capture.input[i], capture.now[i] - 512);
    }
    EXPECT_EQ(capture.rampErrors, 0u);

    // The driver saw the same cycle and received the proc's output.
    const AudioServerPlugInIOCycleInfo cycle = hooks->lastReadCycle();
    EXPECT_EQ(cycle.mIOCycleCounter, capture.now.size() - 1);
    EXPECT_EQ(cycle.mNominalIOBufferFrameSize, 512u);
    EXPECT_EQ(cycle.mCurrentTime.mSampleTime, capture.now.back());
    EXPECT_EQ(cycle.mInputTime.mSampleTime, capture.input.back());
    EXPECT_NEAR(cycle.mMainHostTicksPerFrame, 1e9 / 48000, 1e-6);
    std::vector<float> played(2 * kTestGeneratorMaxFrames);
    Float64 playedAt = 0;
    ASSERT_EQ(hooks->lastOutput(played.data(), kTestGeneratorMaxFrames, &playedAt), 512u);
    EXPECT_EQ(playedAt, capture.output.back());
    for (UInt32 i = 0; i < 512; ++i) {
        ASSERT_EQ(played[2 * i], static_cast<float>(playedAt + i)) << i;
        ASSERT_EQ(played[2 * i + 1], -static_cast<float>(playedAt + i)) << i;
    }

    // A rate change while running: I/O stops for it and starts again, and cycles go on at the new rate.
    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    const Float64 slower = 44100;
    ASSERT_EQ(AudioObjectSetPropertyData(device, &rate, 0, nullptr, sizeof slower, &slower), 0);
    const std::size_t cycles = capture.now.size();
    time.advance(100ms);
    EXPECT_EQ(counters.stopIO, 1u);
    EXPECT_EQ(counters.startIO, 2u);
    ASSERT_GT(capture.now.size(), cycles + 5);
    EXPECT_NEAR(hooks->lastReadCycle().mMainHostTicksPerFrame, 1e9 / 44100, 1e-6);
    EXPECT_EQ(capture.rampErrors, 0u);

    ASSERT_EQ(AudioDeviceStop(device, proc), 0);
    EXPECT_EQ(counters.stopIO, 2u);
    const std::size_t stopped = capture.now.size();
    time.advance(100ms);
    EXPECT_EQ(capture.now.size(), stopped);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(device, proc), 0);
}

TEST(PlugInHost, UnusableBundlesAreRefusedWithALogLine) {
    LogCapture log;
    AudioServerPlugInHost host;
    const auto before = systemDevices();
    const std::pair<std::string, std::string> cases[] = {
        {"NoPlist", "Contents/Info.plist cannot be read"},
        {"Absent", "Contents/Info.plist cannot be read"},
        {"Garbage", "is not a property list"},
        {"MissingFactory", "TestGenerator_NoSuchFactory is not exported"},
        {"NullFactory", "returned no driver"},
        {"NoInterface", "does not provide the driver interface"},
    };
    for (const auto& [name, reason] : cases) {
        log.clear();
        EXPECT_NE(host.load(kDrivers / (name + ".driver")), 0) << name;
        const auto entries = log.entries("AudioServer");
        ASSERT_EQ(entries.size(), 1u) << name;
        EXPECT_EQ(entries[0].subsystem, "velunto.platform");
        EXPECT_NE(entries[0].message.find(name + ".driver"), std::string::npos) << entries[0].message;
        EXPECT_NE(entries[0].message.find(reason), std::string::npos) << entries[0].message;
    }
    EXPECT_EQ(systemDevices(), before);
    EXPECT_TRUE(host.loadedBundles().empty());

    // A directory scan takes the one good bundle.
    EXPECT_EQ(host.loadAll(kDrivers), 1u);
    EXPECT_EQ(host.loadedBundles().size(), 1u);
    EXPECT_EQ(host.load(kGenerator), kAudioHardwareIllegalOperationError) << "already loaded";
}

TEST(PlugInHost, UnloadingWithdrawsTheDevicesStopsIOAndClosesTheLibrary) {
    VirtualTime time;
    TestGeneratorCounters counters{};
    AudioServerPlugInHost host;
    AudioObjectID previous = kAudioObjectUnknown;
    for (unsigned round = 1; round <= 3; ++round) {
        ASSERT_EQ(host.load(kGenerator), 0);
        const auto* hooks = hooksOfLoadedGenerator();
        ASSERT_NE(hooks, nullptr);
        hooks->setCounters(&counters);
        const auto devices = host.deviceIDs(kGenerator);
        ASSERT_EQ(devices.size(), 1u);
        const AudioObjectID device = devices[0];
        EXPECT_NE(device, previous);
        previous = device;

        Capture capture;
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(AudioDeviceCreateIOProcID(device, captureProc, &capture, &proc), 0);
        ASSERT_EQ(AudioDeviceStart(device, proc), 0);
        time.advance(50ms);
        ASSERT_FALSE(capture.now.empty());

        ASSERT_TRUE(host.unload(kGenerator));
        EXPECT_EQ(counters.stopIO, round) << "unloading stops running I/O";
        const auto listed = systemDevices();
        EXPECT_EQ(std::find(listed.begin(), listed.end(), device), listed.end());
        const auto name = address(kAudioObjectPropertyName);
        UInt32 size = 0;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(device, &name, 0, nullptr, &size), kAudioHardwareBadObjectError);
        const std::size_t cycles = capture.now.size();
        time.advance(50ms);
        EXPECT_EQ(capture.now.size(), cycles);
        EXPECT_EQ(dlopen(kGeneratorLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library is closed";
        EXPECT_EQ(AudioDeviceDestroyIOProcID(device, proc), 0);
    }
    EXPECT_FALSE(host.unload(kGenerator));
}

TEST(PlugInHost, ReadsABinaryInfoPlist) {
    const fs::path bundle =
        fs::temp_directory_path() / ("velunto-plugin-" + std::to_string(getpid())) / "Binary.driver";
    fs::create_directories(bundle / "Contents" / "Linux");
    fs::create_symlink(kGeneratorLibrary, bundle / "Contents" / "Linux" / "Generator");
    const PropertyListValue::Dictionary info{
        {"CFBundleExecutable", "Generator"},
        {"CFPlugInFactories",
         PropertyListValue::Dictionary{{"6C2B1A4E-3F0D-4B7A-9E51-2D8C7F60A913", "TestGenerator_Create"}}},
        {"CFPlugInTypes",
         PropertyListValue::Dictionary{{"443ABAB8-E7B3-491A-B985-BEB9187030DB",
                                        PropertyListValue::Array{"6C2B1A4E-3F0D-4B7A-9E51-2D8C7F60A913"}}}},
    };
    const Data bytes = PropertyListSerialization::binaryData(info);
    std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    AudioServerPlugInHost host;
    EXPECT_EQ(host.load(bundle), 0);
    const auto devices = host.deviceIDs(bundle);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(readString(devices[0], kAudioDevicePropertyDeviceUID), "velunto.test.generator");
    host.unloadAll();
    fs::remove_all(bundle.parent_path());
}

}  // namespace

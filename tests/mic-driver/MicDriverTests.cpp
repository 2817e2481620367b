// The driver called directly through its interface table, from the built library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tests/mic-driver/MicDriverTestSupport.h"

using namespace velunto;

namespace {

constexpr AudioObjectPropertyScope kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr AudioObjectPropertyScope kInput = kAudioObjectPropertyScopeInput;
constexpr AudioObjectPropertyScope kOutput = kAudioObjectPropertyScopeOutput;

AudioObjectPropertyAddress at(AudioObjectPropertySelector selector, AudioObjectPropertyScope scope = kGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <class T>
std::vector<unsigned char> bytesOf(const T& value) {
    std::vector<unsigned char> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}
std::vector<unsigned char> u32(UInt32 v) {
    return bytesOf(v);
}
std::vector<unsigned char> ids(std::vector<UInt32> v) {
    std::vector<unsigned char> bytes(v.size() * 4);
    if (!v.empty())
        std::memcpy(bytes.data(), v.data(), bytes.size());
    return bytes;
}

constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80000004u);
const AudioStreamBasicDescription kFormat{48000.0, kAudioFormatLinearPCM, 9, 8, 1, 8, 2, 32, 0};

class MicDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        library = dlopen(VELUNTO_MIC_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        factory = reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(dlsym(library, "VeluntoMic_Create"));
        ASSERT_NE(factory, nullptr);
        host = new RecordingHost;
        mic = openMicDriver(factory, host->ref());
        ASSERT_NE(mic.ref, nullptr);
    }
    void SetUp() override {
        ASSERT_NE(mic.ref, nullptr);
        host->takeChanges();
    }

    static OSStatus get(AudioObjectID object, AudioObjectPropertyAddress address, std::vector<unsigned char>& value,
                        UInt32 capacity, UInt32 qualifierSize = 0, const void* qualifier = nullptr) {
        value.assign(capacity + 1, 0xEE);  // never an empty buffer
        UInt32 size = 0xFFFF;
        const OSStatus status =
            mic->GetPropertyData(mic.ref, object, 0, &address, qualifierSize, qualifier, capacity, &size, value.data());
        value.resize(status == 0 ? size : 0);
        return status;
    }
    static UInt32 sizeOf(AudioObjectID object, AudioObjectPropertyAddress address) {
        UInt32 size = 0xFFFF;
        EXPECT_EQ(mic->GetPropertyDataSize(mic.ref, object, 0, &address, 0, nullptr, &size), 0);
        return size;
    }
    static bool running(AudioObjectID device) {
        std::vector<unsigned char> value;
        EXPECT_EQ(get(device, at(kAudioDevicePropertyDeviceIsRunning), value, 4), 0);
        return value == u32(1);
    }

    static inline void* library = nullptr;
    static inline void* (*factory)(CFAllocatorRef, CFUUIDRef) = nullptr;
    static inline RecordingHost* host = nullptr;
    static inline MicDriver mic;
};

struct Expected {
    AudioObjectID object;
    AudioObjectPropertySelector selector;
    AudioObjectPropertyScope scope;
    std::vector<unsigned char> bytes;  // empty with a string
    const char* string = nullptr;
};

TEST_F(MicDriverTest, EveryPropertyOfEveryObjectHasItsValueAndSize) {
    const AudioValueRange range{48000.0, 48000.0};
    const AudioStreamRangedDescription ranged{kFormat, range};
    std::vector<Expected> table = {
        {1, 'bcls', kGlobal, u32('aobj')}, {1, 'clas', kGlobal, u32('aplg')},
        {1, 'stdv', kGlobal, u32(0)},      {1, 'lmak', kGlobal, {}, "Velunto"},
        {1, 'ownd', kGlobal, ids({2, 4})}, {1, 'dev#', kOutput, ids({2, 4})},
        {1, 'box#', kGlobal, {}},          {1, 'rsrc', kGlobal, {}, ""},
    };
    for (AudioObjectID device : {2u, 4u}) {
        const bool isMic = device == 2;
        const AudioObjectID stream = device + 1;
        std::vector<Expected> rows = {
            {device, 'bcls', kGlobal, u32('aobj')},
            {device, 'clas', kGlobal, u32('adev')},
            {device, 'stdv', kGlobal, u32(1)},
            {device, 'lnam', kGlobal, {}, isMic ? "Velunto Mic" : "Velunto Mic (Einspeisung)"},
            {device, 'lmak', kGlobal, {}, "Velunto"},
            {device, 'uid ', kGlobal, {}, isMic ? "app.velunto.mic" : "app.velunto.mic.feed"},
            {device, 'muid', kGlobal, {}, "app.velunto.mic.model"},
            {device, 'tran', kGlobal, u32('virt')},
            {device, 'akin', kGlobal, ids({device})},
            {device, 'clkd', kGlobal, u32('VNM1')},
            {device, 'livn', kGlobal, u32(1)},
            {device, 'cstb', kGlobal, u32(1)},
            {device, 'dflt', kGlobal, u32(0)},
            {device, 'dflt', kInput, u32(isMic ? 1 : 0)},
            {device, 'dflt', kOutput, u32(0)},
            {device, 'sflt', kGlobal, u32(0)},
            {device, 'ltnc', kGlobal, u32(0)},
            {device, 'saft', kGlobal, u32(0)},
            {device, 'hidn', kGlobal, u32(isMic ? 0 : 1)},
            {device, 'dch2', kGlobal, ids({1, 2})},
            {device, 'ctrl', kGlobal, {}},
            {device, 'nsrt', kGlobal, bytesOf(48000.0)},
            {device, 'nsr#', kGlobal, bytesOf(range)},
            {device, 'ring', kGlobal, u32(16384)},
            {device, 'stm#', kGlobal, ids({stream})},
            {device, 'ownd', kGlobal, ids({stream})},
            {device, 'stm#', kInput, isMic ? ids({stream}) : ids({})},
            {device, 'stm#', kOutput, isMic ? ids({}) : ids({stream})},
            {device, 'ownd', kOutput, isMic ? ids({}) : ids({stream})},
            {stream, 'bcls', kGlobal, u32('aobj')},
            {stream, 'clas', kGlobal, u32('astr')},
            {stream, 'stdv', kGlobal, u32(device)},
            {stream, 'ownd', kGlobal, {}},
            {stream, 'sact', kGlobal, u32(1)},
            {stream, 'sdir', kGlobal, u32(isMic ? 1 : 0)},
            {stream, 'term', kGlobal, u32(isMic ? 'micr' : 'spkr')},
            {stream, 'schn', kGlobal, u32(1)},
            {stream, 'ltnc', kGlobal, u32(0)},
            {stream, 'sfmt', kGlobal, bytesOf(kFormat)},
            {stream, 'pft ', kGlobal, bytesOf(kFormat)},
            {stream, 'sfma', kGlobal, bytesOf(ranged)},
            {stream, 'pfta', kGlobal, bytesOf(ranged)},
        };
        table.insert(table.end(), rows.begin(), rows.end());
    }
    for (const auto& row : table) {
        const std::string where = std::to_string(row.object) + " '" +
                                  std::string(reinterpret_cast<const char*>(&row.selector), 4) + "' scope " +
                                  std::to_string(row.scope);
        const auto address = at(row.selector, row.scope);
        const UInt32 size = row.string ? sizeof(CFStringRef) : static_cast<UInt32>(row.bytes.size());
        EXPECT_TRUE(mic->HasProperty(mic.ref, row.object, 0, &address)) << where;
        Boolean settable = true;
        EXPECT_EQ(mic->IsPropertySettable(mic.ref, row.object, 0, &address, &settable), 0) << where;
        EXPECT_FALSE(settable) << where;
        EXPECT_EQ(sizeOf(row.object, address), size) << where;
        std::vector<unsigned char> value;
        ASSERT_EQ(get(row.object, address, value, size), 0) << where;
        if (row.string) {
            CFStringRef string = nullptr;
            ASSERT_EQ(value.size(), sizeof string) << where;
            std::memcpy(&string, value.data(), sizeof string);
            ASSERT_NE(string, nullptr) << where;
            char text[64] = "<not UTF-8>";
            CFStringGetCString(string, text, sizeof text, kCFStringEncodingUTF8);
            EXPECT_STREQ(text, row.string) << where;
        } else {
            EXPECT_EQ(value, row.bytes) << where;
        }
        // One byte short is a size error for every fixed-size value.
        const bool shrinks = row.object <= 4 && (row.selector == 'ownd' || row.selector == 'dev#' ||
                                                 row.selector == 'stm#' || row.selector == 'akin');
        if (size > 0 && !shrinks) {
            EXPECT_EQ(get(row.object, address, value, size - 1), kAudioHardwareBadPropertySizeError) << where;
        }
    }
}

TEST_F(MicDriverTest, ObjectListsShrinkToTheWholeIDsThatFit) {
    struct Row {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        UInt32 capacity;
        std::vector<unsigned char> expected;
    };
    for (const Row& row : std::vector<Row>{{1, 'dev#', 7, ids({2})},
                                           {1, 'dev#', 4, ids({2})},
                                           {1, 'ownd', 3, ids({})},
                                           {1, 'dev#', 0, ids({})},
                                           {2, 'stm#', 3, ids({})},
                                           {4, 'ownd', 2, ids({})},
                                           {2, 'akin', 1, ids({})},
                                           {4, 'akin', 4, ids({4})}}) {
        std::vector<unsigned char> value;
        EXPECT_EQ(get(row.object, at(row.selector), value, row.capacity), 0) << row.object << " " << row.capacity;
        EXPECT_EQ(value, row.expected) << row.object << " " << row.capacity;
    }
}

TEST_F(MicDriverTest, UnknownObjectsSelectorsAndMissingPointersAreRefused) {
    const auto name = at('lnam');
    std::vector<unsigned char> value;
    UInt32 size = 0;
    Boolean flag = false;
    EXPECT_EQ(get(6, name, value, 8), kAudioHardwareBadObjectError);
    EXPECT_EQ(get(0, name, value, 8), kAudioHardwareBadObjectError);
    EXPECT_EQ(get(1, name, value, 8), kAudioHardwareUnknownPropertyError) << "the plug-in has no name";
    EXPECT_EQ(get(3, at('nsrt'), value, 8), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(get(2, at('zzzz'), value, 8), kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(mic->HasProperty(mic.ref, 6, 0, &name));
    EXPECT_FALSE(mic->HasProperty(mic.ref, 2, 0, nullptr));
    EXPECT_FALSE(mic->HasProperty(mic.ref, 3, 0, &name));
    EXPECT_EQ(mic->IsPropertySettable(mic.ref, 2, 0, &name, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(mic->IsPropertySettable(mic.ref, 2, 0, nullptr, &flag), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(mic->IsPropertySettable(mic.ref, 9, 0, &name, &flag), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->GetPropertyDataSize(mic.ref, 2, 0, &name, 0, nullptr, nullptr), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(mic->GetPropertyDataSize(mic.ref, 2, 0, nullptr, 0, nullptr, &size), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(mic->GetPropertyData(mic.ref, 2, 0, &name, 0, nullptr, 8, &size, nullptr),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(mic->GetPropertyData(mic.ref, 2, 0, &name, 0, nullptr, 8, nullptr, value.data()),
              kAudioHardwareIllegalOperationError);
}

TEST_F(MicDriverTest, ForeignDriverReferencesAreRefusedByEveryEntry) {
    AudioServerPlugInDriverInterface* foreignTable = *mic.ref;
    auto foreign = &foreignTable;  // same table, another reference
    const auto name = at('lnam');
    const auto cycle = cycleAt(0, 0);
    float buffer[2] = {};
    UInt32 size = 0;
    Boolean flag = false;
    void* out = nullptr;
    const ULONG before = mic->AddRef(mic.ref);
    EXPECT_EQ(mic->AddRef(foreign), 0u);
    EXPECT_EQ(mic->Release(foreign), 0u);
    EXPECT_EQ(mic->Release(mic.ref), before - 1) << "foreign calls left the count alone";
    EXPECT_FALSE(mic->HasProperty(foreign, 2, 0, &name));
    EXPECT_EQ(mic->QueryInterface(foreign, CFUUIDGetUUIDBytes(IUnknownUUID), &out), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->Initialize(foreign, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->IsPropertySettable(foreign, 2, 0, &name, &flag), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->GetPropertyDataSize(foreign, 2, 0, &name, 0, nullptr, &size), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->GetPropertyData(foreign, 2, 0, &name, 0, nullptr, 8, &size, buffer), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->SetPropertyData(foreign, 2, 0, &name, 0, nullptr, 8, buffer), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->StartIO(foreign, 2, 0), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->StopIO(foreign, 2, 0), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->GetZeroTimeStamp(foreign, 2, 0, nullptr, nullptr, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->WillDoIOOperation(foreign, 2, 0, 'read', &flag, &flag), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->DoIOOperation(foreign, 2, 3, 0, 'read', 1, &cycle, buffer, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->CreateDevice(mic.ref, nullptr, nullptr, nullptr), kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(mic->DestroyDevice(foreign, 2), kAudioHardwareUnsupportedOperationError);
    EXPECT_TRUE(host->takeChanges().empty());
}

TEST_F(MicDriverTest, FactoryAndInterfacesAnswerOnlyTheirUUIDs) {
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInDriverInterfaceUUID), nullptr);
    EXPECT_EQ(factory(nullptr, nullptr), nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInTypeUUID), static_cast<void*>(mic.ref));
    void* out = &out;
    EXPECT_EQ(mic->QueryInterface(mic.ref, CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID), &out), kNoInterface);
    EXPECT_EQ(out, &out) << "left untouched";
    EXPECT_EQ(mic->QueryInterface(mic.ref, CFUUIDGetUUIDBytes(IUnknownUUID), nullptr), kAudioHardwareBadObjectError);
    const ULONG count = mic->AddRef(mic.ref);
    EXPECT_EQ(mic->QueryInterface(mic.ref, CFUUIDGetUUIDBytes(IUnknownUUID), &out), 0);
    EXPECT_EQ(out, static_cast<void*>(mic.ref));
    EXPECT_EQ(mic->AddRef(mic.ref), count + 2);
    EXPECT_EQ(mic->Release(mic.ref), count + 1);
    EXPECT_EQ(mic->Release(mic.ref), count);
}

TEST_F(MicDriverTest, TranslatesDeviceUIDsWithAStringQualifier) {
    const auto translate = at('uidd');
    struct Row {
        CFStringRef uid;
        UInt32 expected;
    };
    for (const Row& row : std::vector<Row>{{CFSTR("app.velunto.mic"), 2},
                                           {CFSTR("app.velunto.mic.feed"), 4},
                                           {CFSTR("app.velunto.mic.model"), 0},
                                           {nullptr, 0}}) {
        std::vector<unsigned char> value;
        EXPECT_EQ(get(1, translate, value, 4, sizeof row.uid, &row.uid), 0);
        EXPECT_EQ(value, u32(row.expected));
    }
    CFStringRef uid = CFSTR("app.velunto.mic");
    std::vector<unsigned char> value;
    EXPECT_EQ(get(1, translate, value, 4, 4, &uid), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(get(1, translate, value, 4, 16, &uid), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(get(1, translate, value, 4, 8, nullptr), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(get(1, translate, value, 3, 8, &uid), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(sizeOf(1, translate), 4u) << "size mode needs no qualifier";
}

TEST_F(MicDriverTest, SetPropertyDataAcceptsOnlyTheOfferedRateAndFormat) {
    auto format = [](auto change) {
        AudioStreamBasicDescription f = kFormat;
        change(f);
        return f;
    };
    const Float64 rate48 = 48000, rate44 = 44100;
    const auto int16 = format([](auto& f) { f.mFormatFlags = 4 | 8, f.mBitsPerChannel = 16; });
    const auto floatWithOtherFlags = format([](auto& f) { f.mFormatFlags = 1 | 2 | 32, f.mBytesPerFrame = 3; });
    const auto mono = format([](auto& f) { f.mChannelsPerFrame = 1; });
    const auto rate = format([](auto& f) { f.mSampleRate = 44100; });
    const auto alac = format([](auto& f) { f.mFormatID = 'alac'; });
    const auto int32 = format([](auto& f) { f.mFormatFlags = 4; });
    struct Row {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        UInt32 size;
        const void* data;
        OSStatus expected;
    };
    for (const Row& row : std::vector<Row>{
             {2, 'nsrt', 8, &rate48, 0},
             {4, 'nsrt', 8, &rate48, 0},
             {2, 'nsrt', 8, &rate44, kAudioDeviceUnsupportedFormatError},
             {4, 'nsrt', 4, &rate48, kAudioHardwareBadPropertySizeError},
             {2, 'nsrt', 16, &rate48, kAudioHardwareBadPropertySizeError},
             {3, 'sfmt', 40, &kFormat, 0},
             {5, 'pft ', 40, &kFormat, 0},
             {3, 'pft ', 40, &floatWithOtherFlags, 0},
             {3, 'sfmt', 40, &int16, kAudioDeviceUnsupportedFormatError},
             {5, 'sfmt', 40, &int32, kAudioDeviceUnsupportedFormatError},
             {5, 'sfmt', 40, &mono, kAudioDeviceUnsupportedFormatError},
             {3, 'pft ', 40, &rate, kAudioDeviceUnsupportedFormatError},
             {3, 'sfmt', 40, &alac, kAudioDeviceUnsupportedFormatError},
             {3, 'sfmt', 36, &kFormat, kAudioHardwareBadPropertySizeError},
             {3, 'nsrt', 8, &rate48, kAudioHardwareUnsupportedOperationError},
             {2, 'sfmt', 40, &kFormat, kAudioHardwareUnsupportedOperationError},
             {2, 'lnam', 8, &rate48, kAudioHardwareUnsupportedOperationError},
             {1, 'nsrt', 8, &rate48, kAudioHardwareUnsupportedOperationError},
             {6, 'nsrt', 8, &rate48, kAudioHardwareUnsupportedOperationError},
             {2, 'nsrt', 8, nullptr, kAudioHardwareIllegalOperationError},
         }) {
        const auto address = at(row.selector);
        EXPECT_EQ(mic->SetPropertyData(mic.ref, row.object, 0, &address, 0, nullptr, row.size, row.data), row.expected)
            << row.object << " " << row.size;
    }
    EXPECT_EQ(mic->SetPropertyData(mic.ref, 2, 0, nullptr, 0, nullptr, 8, &rate48),
              kAudioHardwareIllegalOperationError);
    std::vector<unsigned char> value;
    EXPECT_EQ(get(2, at('nsrt'), value, 8), 0);
    EXPECT_EQ(value, bytesOf(48000.0)) << "nothing changes";
    EXPECT_TRUE(host->takeChanges().empty());
}

TEST_F(MicDriverTest, OnlyTheFirstStartAndTheLastStopAreAnnounced) {
    using Change = RecordingHost::Change;
    for (AudioObjectID device : {2u, 4u}) {
        const Change change{device, 'goin', kGlobal, kAudioObjectPropertyElementMain, 1};
        EXPECT_EQ(mic->StopIO(mic.ref, device, 0), 0) << "stopping a stopped device";
        EXPECT_TRUE(host->takeChanges().empty());
        EXPECT_FALSE(running(device));
        EXPECT_EQ(mic->StartIO(mic.ref, device, 7), 0);
        EXPECT_EQ(host->takeChanges(), std::vector<Change>{change});
        EXPECT_TRUE(running(device));
        EXPECT_FALSE(running(device == 2 ? 4 : 2));
        EXPECT_EQ(mic->StartIO(mic.ref, device, 8), 0);
        EXPECT_EQ(mic->StopIO(mic.ref, device, 7), 0);
        EXPECT_TRUE(host->takeChanges().empty());
        EXPECT_TRUE(running(device));
        EXPECT_EQ(mic->StopIO(mic.ref, device, 8), 0);
        EXPECT_EQ(host->takeChanges(), std::vector<Change>{change});
        EXPECT_FALSE(running(device));
        EXPECT_EQ(mic->StopIO(mic.ref, device, 8), 0);
        EXPECT_TRUE(host->takeChanges().empty());
    }
    for (AudioObjectID other : {0u, 1u, 3u, 5u, 6u}) {
        EXPECT_EQ(mic->StartIO(mic.ref, other, 0), kAudioHardwareBadObjectError);
        EXPECT_EQ(mic->StopIO(mic.ref, other, 0), kAudioHardwareBadObjectError);
    }
    EXPECT_TRUE(host->takeChanges().empty());
}

TEST_F(MicDriverTest, BothDevicesShareOneZeroTimeStampTimeline) {
    for (int i = 0; i < 50; ++i) {
        Float64 micTime = -1, feedTime = -1;
        UInt64 micHost = 0, feedHost = 0, micSeed = 0, feedSeed = 0;
        ASSERT_EQ(mic->GetZeroTimeStamp(mic.ref, 2, 0, &micTime, &micHost, &micSeed), 0);
        ASSERT_EQ(mic->GetZeroTimeStamp(mic.ref, 4, 0, &feedTime, &feedHost, &feedSeed), 0);
        if (micTime != feedTime) {  // a period boundary passed in between; ask again
            ASSERT_EQ(mic->GetZeroTimeStamp(mic.ref, 2, 0, &micTime, &micHost, &micSeed), 0);
        }
        EXPECT_EQ(std::fmod(micTime, 16384.0), 0.0);
        EXPECT_GE(micTime, 0.0);
        EXPECT_EQ(micTime, feedTime);
        EXPECT_EQ(micHost, feedHost);
        EXPECT_EQ(micSeed, 1u);
        EXPECT_EQ(feedSeed, 1u);
    }
    Boolean willDo = 2, inPlace = 2;
    struct Row {
        AudioObjectID device;
        UInt32 operation;
        Boolean willDo;
    };
    for (const Row& row :
         std::vector<Row>{{2, 'read', 1}, {4, 'rite', 1}, {2, 'rite', 0}, {4, 'read', 0}, {2, 'cycl', 0}}) {
        EXPECT_EQ(mic->WillDoIOOperation(mic.ref, row.device, 0, row.operation, &willDo, &inPlace), 0);
        EXPECT_EQ(willDo, row.willDo);
        EXPECT_EQ(inPlace, 1);
    }
    EXPECT_EQ(mic->WillDoIOOperation(mic.ref, 2, 0, 'read', nullptr, nullptr), 0);
    EXPECT_EQ(mic->WillDoIOOperation(mic.ref, 3, 0, 'read', &willDo, &inPlace), kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->GetZeroTimeStamp(mic.ref, 5, 0, nullptr, nullptr, nullptr), kAudioHardwareBadObjectError);
}

std::vector<StereoFrame> ramp(Float64 start, size_t frames) {
    std::vector<StereoFrame> out(frames);
    for (size_t i = 0; i < frames; ++i)
        out[i] = {static_cast<float>(start + static_cast<Float64>(i)),
                  -static_cast<float>(start + static_cast<Float64>(i))};
    return out;
}
StereoFrame rampAt(Float64 t) {
    return {static_cast<float>(t), -static_cast<float>(t)};
}

// The ring is shared by all tests of this binary; each case writes what it reads and reads what it needs.
TEST_F(MicDriverTest, LoopBackPlacesFramesBySampleTimeInsideTheWindow) {
    std::vector<StereoFrame> buffer(512, StereoFrame{7, 7});
    const auto untouched = buffer;
    const auto cycle = cycleAt(0, 0);
    EXPECT_EQ(mic->DoIOOperation(mic.ref, 2, 3, 0, 'read', 512, nullptr, buffer.data(), nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->DoIOOperation(mic.ref, 2, 3, 0, 'read', 512, &cycle, nullptr, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(mic->DoIOOperation(mic.ref, 4, 5, 0, 'read', 512, &cycle, buffer.data(), nullptr), 0);
    EXPECT_EQ(mic->DoIOOperation(mic.ref, 2, 3, 0, 'rite', 512, &cycle, buffer.data(), nullptr), 0);
    EXPECT_EQ(mic->DoIOOperation(mic.ref, 6, 3, 0, 'read', 512, &cycle, buffer.data(), nullptr), 0);
    EXPECT_EQ(buffer, untouched) << "other pairs leave the buffer alone";

    // Nothing written at 100000 or later yet (a fresh library starts with the end at 0).
    std::vector<StereoFrame> in(512, StereoFrame{7, 7});
    auto first = ramp(100000, 512);
    ASSERT_EQ(readMic(mic, 200000, in), 0);
    EXPECT_EQ(in, std::vector<StereoFrame>(512, StereoFrame{0, 0}));

    ASSERT_EQ(writeFeed(mic, 100000, first), 0);
    ASSERT_EQ(readMic(mic, 100000, in), 0);
    EXPECT_EQ(in, first);
    // Running past the end: data up to end − 1, silence after, in one buffer.
    ASSERT_EQ(readMic(mic, 100000 + 500, in), 0);
    for (size_t i = 0; i < 512; ++i)
        EXPECT_EQ(in[i], i < 12 ? rampAt(100500.0 + static_cast<double>(i)) : StereoFrame{}) << i;
    // Fractional times truncate toward zero.
    ASSERT_EQ(readMic(mic, 100000.9, in), 0);
    EXPECT_EQ(in, first);

    // Frames older than end − 16384 are silence, even though the ring slot holds newer data.
    auto later = ramp(100512, 16384);
    ASSERT_EQ(writeFeed(mic, 100512, later), 0);  // end = 116896
    ASSERT_EQ(readMic(mic, 116896 - 16384 - 100, in), 0);
    for (size_t i = 0; i < 512; ++i)
        EXPECT_EQ(in[i], i < 100 ? StereoFrame{} : rampAt(116896.0 - 16384 - 100 + static_cast<double>(i))) << i;

    // No clearing of gaps, no mixing: a later write leaves a hole that reads the ring's old slot contents.
    auto overwrite = ramp(120000, 4);
    ASSERT_EQ(writeFeed(mic, 120000, overwrite), 0);
    std::vector<StereoFrame> four(4);
    ASSERT_EQ(readMic(mic, 120000, four), 0);
    EXPECT_EQ(four, overwrite);
    ASSERT_EQ(readMic(mic, 120000 - 16384, four), 0);
    EXPECT_EQ(four, std::vector<StereoFrame>(4, StereoFrame{})) << "end − 16384 − 4 .. : outside the window";

    // A write of 0 frames moves the end to its start: afterwards everything from there on is silence.
    const auto at119990 = cycleAt(0, 119990);
    ASSERT_EQ(mic->DoIOOperation(mic.ref, 4, 5, 0, 'rite', 0, &at119990, buffer.data(), nullptr), 0);
    ASSERT_EQ(readMic(mic, 119980, in), 0);
    for (size_t i = 0; i < 512; ++i)
        EXPECT_EQ(in[i] == StereoFrame{}, i >= 10) << i;

    // Negative times map to the non-negative ring index.
    auto negative = ramp(-300, 200);
    ASSERT_EQ(writeFeed(mic, -300, negative), 0);
    std::vector<StereoFrame> back(300);
    ASSERT_EQ(readMic(mic, -300, back), 0);
    for (size_t i = 0; i < 300; ++i)
        EXPECT_EQ(back[i], i < 200 ? rampAt(-300.0 + static_cast<double>(i)) : StereoFrame{}) << i;
}

TEST_F(MicDriverTest, HostileSampleTimesAreSilenceOrIgnored) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double top = 9223372036854774784.0;  // 2^63 − 1024, the largest double below 2^63
    const double bottom = -9223372036854775808.0;
    auto known = ramp(5000, 64);
    ASSERT_EQ(writeFeed(mic, 5000, known), 0);
    std::vector<StereoFrame> in(64);
    for (double time : {nan, -nan, inf, -inf, 1e300, -1e300, 9223372036854775808.0, -9223372036854777856.0}) {
        auto hostile = ramp(1, 64);
        EXPECT_EQ(writeFeed(mic, time, hostile), 0) << time;
        in.assign(64, StereoFrame{7, 7});
        EXPECT_EQ(readMic(mic, time, in), 0) << time;
        EXPECT_EQ(in, std::vector<StereoFrame>(64, StereoFrame{})) << time;
        ASSERT_EQ(readMic(mic, 5000, in), 0);
        EXPECT_EQ(in, known) << "a write at " << time << " changed the ring or its end";
    }
    // A write whose end would pass INT64_MAX is ignored too.
    auto wide = ramp(1, 2048);
    EXPECT_EQ(writeFeed(mic, top, wide), 0);
    ASSERT_EQ(readMic(mic, 5000, in), 0);
    EXPECT_EQ(in, known);

    // Near the top of the range (doubles are 1024 apart there): data before the end, silence after it and
    // past INT64_MAX.
    auto high = ramp(0, 1500);
    ASSERT_EQ(writeFeed(mic, top - 1024, high), 0);  // end = top + 476
    std::vector<StereoFrame> span(2048, StereoFrame{7, 7});
    ASSERT_EQ(readMic(mic, top, span), 0);
    for (size_t i = 0; i < span.size(); ++i)
        ASSERT_EQ(span[i], i < 476 ? high[i + 1024] : StereoFrame{}) << i;
    ASSERT_EQ(readMic(mic, bottom, in), 0) << "far behind the end";
    EXPECT_EQ(in, std::vector<StereoFrame>(64, StereoFrame{}));

    // The bottom of the range is a valid time.
    auto low = ramp(-64, 64);
    ASSERT_EQ(writeFeed(mic, bottom, low), 0);
    ASSERT_EQ(readMic(mic, bottom, in), 0);
    EXPECT_EQ(in, low);
    ASSERT_EQ(readMic(mic, top - 32, in), 0) << "far ahead of the end, though the wrapped difference end − t is small";
    EXPECT_EQ(in, std::vector<StereoFrame>(64, StereoFrame{}));
    ASSERT_EQ(writeFeed(mic, 5000, known), 0);
}

}  // namespace

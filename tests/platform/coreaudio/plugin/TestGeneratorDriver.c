/* A driver plug-in for the host's tests: one device, "Test Generator", whose mono input stream plays a
 * ramp (each sample's value is its sample time) and whose stereo output stream keeps the last buffer
 * written to it. Its clock runs from Initialize. Strings are handed out without a reference for the
 * caller. */
#include <pthread.h>
#include <string.h>

#include "platform/mach/mach_time.h"
#include "tests/platform/coreaudio/plugin/TestGeneratorHooks.h"

#define kDeviceUID "velunto.test.generator"
#define kRingFrames 16384

static pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
static ULONG gReferences;
static AudioServerPlugInHostRef gHost;
static CFStringRef gManufacturer;
static TestGeneratorCounters gNoCounters;
static TestGeneratorCounters* gCounters = &gNoCounters;
static UInt32 gIOClients;
/* The clock: sample time gAnchorSample at host time gAnchorHost, gRate frames per second. */
static Float64 gRate = 48000;
static Float64 gAnchorSample;
static UInt64 gAnchorHost;
/* Written on the I/O thread, read by the tests once I/O has stopped. */
static float gOutput[kTestGeneratorMaxFrames * 2];
static UInt32 gOutputFrames;
static Float64 gOutputTime;
static AudioServerPlugInIOCycleInfo gReadCycle;

static Float64 ticksPerSecond(void) {
    mach_timebase_info_data_t info;
    mach_timebase_info(&info);
    return 1e9 * info.denom / info.numer;
}

static OSStatus answer(const void* value, UInt32 size, UInt32 capacity, UInt32* outSize, void* out) {
    if (out) {
        if (capacity < size)
            return kAudioHardwareBadPropertySizeError;
        memcpy(out, value, size);
    }
    *outSize = size;
    return kAudioHardwareNoError;
}

static OSStatus answerIDs(const AudioObjectID* ids, UInt32 count, UInt32 capacity, UInt32* outSize, void* out) {
    if (out && count > capacity / sizeof(AudioObjectID))
        count = capacity / sizeof(AudioObjectID);
    if (out)
        memcpy(out, ids, count * sizeof(AudioObjectID));
    *outSize = count * sizeof(AudioObjectID);
    return kAudioHardwareNoError;
}

#define ANSWER(value) return answer(&(value), sizeof(value), capacity, outSize, out)
#define ANSWER_U32(value)          \
    do {                           \
        const UInt32 v_ = (value); \
        ANSWER(v_);                \
    } while (0)
#define ANSWER_STRING(value)            \
    do {                                \
        const CFStringRef s_ = (value); \
        ANSWER(s_);                     \
    } while (0)

static AudioStreamBasicDescription streamFormat(AudioObjectID stream) {
    const UInt32 channels = stream == kTestGeneratorInputStreamID ? 1 : 2;
    AudioStreamBasicDescription format = {
        gRate, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 4 * channels, 1, 4 * channels, channels, 32,
        0};
    return format;
}

/* Size mode when out is NULL. */
static OSStatus property(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                         const void* qualifier, UInt32 capacity, UInt32* outSize, void* out) {
    const AudioObjectPropertySelector selector = address->mSelector;
    if (selector == kAudioObjectPropertyBaseClass)
        ANSWER_U32(kAudioObjectClassID);
    if (object == kAudioObjectPlugInObject) {
        static const AudioObjectID devices[] = {kTestGeneratorDeviceID};
        switch (selector) {
            case kAudioObjectPropertyClass:
                ANSWER_U32(kAudioPlugInClassID);
            case kAudioObjectPropertyOwner:
                ANSWER_U32(kAudioObjectUnknown);
            case kAudioObjectPropertyManufacturer:
                ANSWER_STRING(CFSTR("Velunto"));
            case kAudioObjectPropertyOwnedObjects:
            case kAudioPlugInPropertyDeviceList:
                return answerIDs(devices, 1, capacity, outSize, out);
            case kAudioPlugInPropertyTranslateUIDToDevice: {
                CFStringRef uid = NULL;
                if (out && qualifierSize == sizeof uid)
                    memcpy(&uid, qualifier, sizeof uid);
                ANSWER_U32(uid && CFEqual(uid, CFSTR(kDeviceUID)) ? kTestGeneratorDeviceID : kAudioObjectUnknown);
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (object == kTestGeneratorDeviceID) {
        static const AudioObjectID streams[] = {kTestGeneratorInputStreamID, kTestGeneratorOutputStreamID};
        static const AudioObjectID self[] = {kTestGeneratorDeviceID};
        static const AudioValueRange rates[] = {{44100, 44100}, {48000, 48000}};
        switch (selector) {
            case kAudioObjectPropertyClass:
                ANSWER_U32(kAudioDeviceClassID);
            case kAudioObjectPropertyOwner:
                ANSWER_U32(kAudioObjectPlugInObject);
            case kAudioObjectPropertyName:
                ANSWER_STRING(CFSTR("Test Generator"));
            case kAudioObjectPropertyManufacturer:
                ANSWER_STRING(gManufacturer);
            case kAudioDevicePropertyDeviceUID:
                ANSWER_STRING(CFSTR(kDeviceUID));
            case kAudioDevicePropertyModelUID:
                ANSWER_STRING(CFSTR(kDeviceUID ".model"));
            case kAudioDevicePropertyTransportType:
                ANSWER_U32(kAudioDeviceTransportTypeVirtual);
            case kAudioDevicePropertyRelatedDevices:
                return answerIDs(self, 1, capacity, outSize, out);
            case kAudioDevicePropertyDeviceIsAlive:
            case kAudioDevicePropertyDeviceCanBeDefaultDevice:
                ANSWER_U32(1);
            case kAudioDevicePropertyDeviceIsRunning:
                ANSWER_U32(gIOClients > 0);
            case kAudioDevicePropertyClockDomain:
            case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
            case kAudioDevicePropertyLatency:
            case kAudioDevicePropertySafetyOffset:
            case kAudioDevicePropertyIsHidden:
                ANSWER_U32(0);
            case kAudioDevicePropertyZeroTimeStampPeriod:
                ANSWER_U32(kRingFrames);
            case kAudioDevicePropertyNominalSampleRate:
                ANSWER(gRate);
            case kAudioDevicePropertyAvailableNominalSampleRates:
                ANSWER(rates);
            case kAudioObjectPropertyOwnedObjects:
                return answerIDs(streams, 2, capacity, outSize, out);
            case kAudioDevicePropertyStreams:
                if (address->mScope == kAudioObjectPropertyScopeInput)
                    return answerIDs(streams, 1, capacity, outSize, out);
                if (address->mScope == kAudioObjectPropertyScopeOutput)
                    return answerIDs(streams + 1, 1, capacity, outSize, out);
                return answerIDs(streams, 2, capacity, outSize, out);
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    if (object == kTestGeneratorInputStreamID || object == kTestGeneratorOutputStreamID) {
        const int input = object == kTestGeneratorInputStreamID;
        switch (selector) {
            case kAudioObjectPropertyClass:
                ANSWER_U32(kAudioStreamClassID);
            case kAudioObjectPropertyOwner:
                ANSWER_U32(kTestGeneratorDeviceID);
            case kAudioStreamPropertyIsActive:
                ANSWER_U32(1);
            case kAudioStreamPropertyDirection:
                ANSWER_U32(input ? 1 : 0);
            case kAudioStreamPropertyTerminalType:
                ANSWER_U32(input ? kAudioStreamTerminalTypeMicrophone : kAudioStreamTerminalTypeSpeaker);
            case kAudioStreamPropertyStartingChannel:
                ANSWER_U32(1);
            case kAudioStreamPropertyLatency:
                ANSWER_U32(0);
            case kAudioStreamPropertyVirtualFormat:
            case kAudioStreamPropertyPhysicalFormat: {
                const AudioStreamBasicDescription format = streamFormat(object);
                ANSWER(format);
            }
            default:
                return kAudioHardwareUnknownPropertyError;
        }
    }
    return kAudioHardwareBadObjectError;
}

static HRESULT QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface);
static HRESULT QueryNothing(void* driver, REFIID uuid, LPVOID* outInterface);

static ULONG AddRef(void* driver) {
    (void)driver;
    pthread_mutex_lock(&gLock);
    const ULONG references = ++gReferences;
    pthread_mutex_unlock(&gLock);
    return references;
}

static ULONG Release(void* driver) {
    (void)driver;
    pthread_mutex_lock(&gLock);
    const ULONG references = gReferences > 0 ? --gReferences : 0;
    if (references == 0 && gManufacturer) {
        CFRelease(gManufacturer);
        gManufacturer = NULL;
        gHost = NULL;
    }
    pthread_mutex_unlock(&gLock);
    return references;
}

static OSStatus Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    (void)driver;
    gHost = host;
    gManufacturer = CFStringCreateWithCString(NULL, "Velunto Test Devices", kCFStringEncodingUTF8);
    gAnchorHost = mach_absolute_time();
    return kAudioHardwareNoError;
}

static Boolean HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                           const AudioObjectPropertyAddress* address) {
    UInt32 size = 0;
    (void)driver, (void)client;
    return property(object, address, 0, NULL, 0, &size, NULL) == kAudioHardwareNoError;
}

static int isSampleRate(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    return object == kTestGeneratorDeviceID && address->mSelector == kAudioDevicePropertyNominalSampleRate;
}

static OSStatus IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                   const AudioObjectPropertyAddress* address, Boolean* outSettable) {
    if (!HasProperty(driver, object, client, address))
        return kAudioHardwareUnknownPropertyError;
    *outSettable = isSampleRate(object, address);
    return kAudioHardwareNoError;
}

static OSStatus GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                    const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                    const void* qualifier, UInt32* outSize) {
    (void)driver, (void)client;
    return property(object, address, qualifierSize, qualifier, 0, outSize, NULL);
}

static OSStatus GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                                UInt32 capacity, UInt32* outSize, void* out) {
    (void)driver, (void)client;
    if (!out)
        return kAudioHardwareIllegalOperationError;
    pthread_mutex_lock(&gLock);
    const OSStatus status = property(object, address, qualifierSize, qualifier, capacity, outSize, out);
    pthread_mutex_unlock(&gLock);
    return status;
}

/* A new rate is applied through a configuration change the host performs later. */
static OSStatus SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                                UInt32 size, const void* data) {
    Float64 rate;
    (void)qualifierSize, (void)qualifier;
    if (!isSampleRate(object, address))
        return HasProperty(driver, object, client, address) ? kAudioHardwareUnsupportedOperationError
                                                            : kAudioHardwareUnknownPropertyError;
    if (size != sizeof rate)
        return kAudioHardwareBadPropertySizeError;
    memcpy(&rate, data, sizeof rate);
    if (rate != 44100 && rate != 48000)
        return kAudioDeviceUnsupportedFormatError;
    return gHost->RequestDeviceConfigurationChange(gHost, kTestGeneratorDeviceID, (UInt64)rate, NULL);
}

static OSStatus PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt64 action,
                                                 void* info) {
    const AudioObjectPropertyAddress changed = {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    const UInt64 now = mach_absolute_time();
    (void)driver, (void)info;
    if (device != kTestGeneratorDeviceID)
        return kAudioHardwareBadDeviceError;
    pthread_mutex_lock(&gLock);
    /* The sample timeline goes on from where it is, at the new speed. */
    gAnchorSample += (Float64)(UInt64)((Float64)(now - gAnchorHost) * gRate / ticksPerSecond());
    gAnchorHost = now;
    gRate = (Float64)action;
    ++gCounters->performedChanges;
    pthread_mutex_unlock(&gLock);
    return gHost->PropertiesChanged(gHost, kTestGeneratorDeviceID, 1, &changed);
}

static OSStatus AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt64 action,
                                               void* info) {
    (void)driver, (void)device, (void)action, (void)info;
    ++gCounters->abortedChanges;
    return kAudioHardwareNoError;
}

static OSStatus StartIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client) {
    (void)driver, (void)client;
    if (device != kTestGeneratorDeviceID)
        return kAudioHardwareBadObjectError;
    pthread_mutex_lock(&gLock);
    ++gIOClients;
    ++gCounters->startIO;
    pthread_mutex_unlock(&gLock);
    return kAudioHardwareNoError;
}

static OSStatus StopIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client) {
    OSStatus status = kAudioHardwareNoError;
    (void)driver, (void)client;
    if (device != kTestGeneratorDeviceID)
        return kAudioHardwareBadObjectError;
    pthread_mutex_lock(&gLock);
    if (gIOClients == 0) {
        status = kAudioHardwareNotRunningError;
    } else {
        --gIOClients;
        ++gCounters->stopIO;
    }
    pthread_mutex_unlock(&gLock);
    return status;
}

/* Zero time stamps fall on multiples of the ring period since the anchor. */
static OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                 Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed) {
    (void)driver, (void)device, (void)client;
    const Float64 ticksPerRing = kRingFrames * ticksPerSecond() / gRate;
    const UInt64 periods = (UInt64)((Float64)(mach_absolute_time() - gAnchorHost) / ticksPerRing);
    *outSampleTime = gAnchorSample + (Float64)(periods * kRingFrames);
    *outHostTime = gAnchorHost + (UInt64)((Float64)periods * ticksPerRing);
    *outSeed = 1;
    return kAudioHardwareNoError;
}

static OSStatus WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                  UInt32 operation, Boolean* outWillDo, Boolean* outInPlace) {
    (void)driver, (void)device, (void)client;
    *outWillDo =
        operation == kAudioServerPlugInIOOperationReadInput || operation == kAudioServerPlugInIOOperationWriteMix;
    *outInPlace = 1;
    return kAudioHardwareNoError;
}

static OSStatus BeginOrEndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                      UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle) {
    (void)driver, (void)client, (void)operation, (void)frames, (void)cycle;
    return device == kTestGeneratorDeviceID ? kAudioHardwareNoError : kAudioHardwareBadDeviceError;
}

static OSStatus DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, AudioObjectID stream,
                              UInt32 client, UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle,
                              void* buffer, void* secondary) {
    UInt32 i;
    (void)driver, (void)device, (void)client, (void)secondary;
    if (frames > kTestGeneratorMaxFrames)
        return kAudioHardwareBadPropertySizeError;
    if (stream == kTestGeneratorInputStreamID && operation == kAudioServerPlugInIOOperationReadInput) {
        float* samples = buffer;
        for (i = 0; i < frames; ++i)
            samples[i] = (float)(cycle->mInputTime.mSampleTime + i);
        gReadCycle = *cycle;
        return kAudioHardwareNoError;
    }
    if (stream == kTestGeneratorOutputStreamID && operation == kAudioServerPlugInIOOperationWriteMix) {
        memcpy(gOutput, buffer, frames * 2 * sizeof(float));
        gOutputFrames = frames;
        gOutputTime = cycle->mOutputTime.mSampleTime;
        return kAudioHardwareNoError;
    }
    return kAudioHardwareIllegalOperationError;
}

static AudioServerPlugInDriverInterface gInterface = {
    NULL,
    QueryInterface,
    AddRef,
    Release,
    Initialize,
    NULL, /* CreateDevice */
    NULL, /* DestroyDevice */
    NULL, /* AddDeviceClient */
    NULL, /* RemoveDeviceClient */
    PerformDeviceConfigurationChange,
    AbortDeviceConfigurationChange,
    HasProperty,
    IsPropertySettable,
    GetPropertyDataSize,
    GetPropertyData,
    SetPropertyData,
    StartIO,
    StopIO,
    GetZeroTimeStamp,
    WillDoIOOperation,
    BeginOrEndIOOperation,
    DoIOOperation,
    BeginOrEndIOOperation,
};
static AudioServerPlugInDriverInterface* gInterfacePointer = &gInterface;

/* An object that answers no query, for the refused-bundle tests. */
static AudioServerPlugInDriverInterface gNothing = {
    ._reserved = NULL, .QueryInterface = QueryNothing, .AddRef = AddRef, .Release = Release};
static AudioServerPlugInDriverInterface* gNothingPointer = &gNothing;

static int sameUUID(REFIID a, CFUUIDRef b) {
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(b);
    return memcmp(&a, &bytes, sizeof bytes) == 0;
}

static HRESULT QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface) {
    if (!outInterface)
        return E_NOINTERFACE;
    if (!sameUUID(uuid, IUnknownUUID) && !sameUUID(uuid, kAudioServerPlugInDriverInterfaceUUID)) {
        *outInterface = NULL;
        return E_NOINTERFACE;
    }
    AddRef(driver);
    *outInterface = &gInterfacePointer;
    return S_OK;
}

static HRESULT QueryNothing(void* driver, REFIID uuid, LPVOID* outInterface) {
    (void)driver, (void)uuid;
    if (outInterface)
        *outInterface = NULL;
    return E_NOINTERFACE;
}

void* TestGenerator_Create(CFAllocatorRef allocator, CFUUIDRef requestedType) {
    (void)allocator;
    if (!CFEqual(requestedType, kAudioServerPlugInTypeUUID))
        return NULL;
    AddRef(&gInterfacePointer);
    return &gInterfacePointer;
}

void* TestGenerator_CreateNothing(CFAllocatorRef allocator, CFUUIDRef requestedType) {
    (void)allocator, (void)requestedType;
    return NULL;
}

void* TestGenerator_CreateWithoutInterface(CFAllocatorRef allocator, CFUUIDRef requestedType) {
    (void)allocator, (void)requestedType;
    AddRef(&gNothingPointer);
    return &gNothingPointer;
}

/* Test hooks. */

static void setCounters(TestGeneratorCounters* counters) {
    pthread_mutex_lock(&gLock);
    gCounters = counters ? counters : &gNoCounters;
    pthread_mutex_unlock(&gLock);
}

static OSStatus announce(AudioObjectID object, AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress address = {selector, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    return gHost->PropertiesChanged(gHost, object, 1, &address);
}

static OSStatus store(const char* key, const char* value) {
    CFStringRef keyString = CFStringCreateWithCString(NULL, key, kCFStringEncodingUTF8);
    CFStringRef valueString = CFStringCreateWithCString(NULL, value, kCFStringEncodingUTF8);
    const OSStatus status = gHost->WriteToStorage(gHost, keyString, valueString);
    CFRelease(valueString);
    CFRelease(keyString);
    return status;
}

static int copyStored(const char* key, char* buffer, unsigned size) {
    CFStringRef keyString = CFStringCreateWithCString(NULL, key, kCFStringEncodingUTF8);
    CFTypeRef value = NULL;
    int found = 0;
    if (gHost->CopyFromStorage(gHost, keyString, &value) == kAudioHardwareNoError && value) {
        found =
            CFGetTypeID(value) == CFStringGetTypeID() && CFStringGetCString(value, buffer, size, kCFStringEncodingUTF8);
        CFRelease(value);
    }
    CFRelease(keyString);
    return found;
}

static OSStatus deleteStored(const char* key) {
    CFStringRef keyString = CFStringCreateWithCString(NULL, key, kCFStringEncodingUTF8);
    const OSStatus status = gHost->DeleteFromStorage(gHost, keyString);
    CFRelease(keyString);
    return status;
}

static UInt32 lastOutput(float* samples, UInt32 maxFrames, Float64* sampleTime) {
    const UInt32 frames = gOutputFrames < maxFrames ? gOutputFrames : maxFrames;
    memcpy(samples, gOutput, frames * 2 * sizeof(float));
    *sampleTime = gOutputTime;
    return frames;
}

static AudioServerPlugInIOCycleInfo lastReadCycle(void) {
    return gReadCycle;
}

static CFIndex manufacturerRetainCount(void) {
    return gManufacturer ? CFGetRetainCount(gManufacturer) : 0;
}

const TestGeneratorHooks* TestGenerator_Hooks(void) {
    static const TestGeneratorHooks hooks = {setCounters,  announce,   store,         copyStored,
                                             deleteStored, lastOutput, lastReadCycle, manufacturerRetainCount};
    return &hooks;
}

/* The Velunto virtual microphone driver. Five fixed objects, all state static, nothing allocated.
 *
 * The feed device (4) writes its mix into a ring indexed by sample time; the microphone device (2) reads
 * it back at its input sample times. Both devices report one zero-time-stamp timeline, anchored in
 * Initialize. The feed device's I/O thread is the ring's only writer, the microphone's its only reader;
 * the writer publishes ringWriteEnd with a release store after copying, the reader acquires it once per
 * cycle. Ring frames are 8-byte atomics, so a frame is never torn. */
#include "mic-driver/VeluntoMicDriver.h"

#include <math.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <string.h>

#include "platform/mach/mach_time.h"

#define kSampleRate ((Float64)kVeluntoMicSampleRate)
#define kRingMask ((UInt64)kVeluntoMicRingFrames - 1)
#define kChannels kVeluntoMicChannels
#define kFrameBytes 8
#define kClockDomain 'VNM1'

#define VELUNTO_EXPORT __attribute__((visibility("default")))

/* ---- state ---------------------------------------------------------------------------------------- */

static _Atomic UInt32 refCount;
static AudioServerPlugInHostRef host;
static Float64 hostTicksPerFrame;
static UInt64 anchorHostTime;
static pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;
static UInt32 micIOCount;
static UInt32 feedIOCount;
/* One frame (two floats) per element. */
static _Atomic UInt64 loopRing[kVeluntoMicRingFrames];
static _Atomic SInt64 ringWriteEnd;

static AudioServerPlugInDriverInterface driverInterface;
static AudioServerPlugInDriverInterface* driverInterfacePointer = &driverInterface;
#define kDriverRef ((void*)&driverInterfacePointer)

static int isDriver(const void* driver) {
    return driver == kDriverRef;
}
static int isDevice(AudioObjectID object) {
    return object == kVeluntoMicDeviceID || object == kVeluntoMicFeedDeviceID;
}

static const AudioStreamBasicDescription streamFormat = {kSampleRate,
                                                         kAudioFormatLinearPCM,
                                                         kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                                         kFrameBytes,
                                                         1,
                                                         kFrameBytes,
                                                         kChannels,
                                                         32,
                                                         0};

/* ---- properties ----------------------------------------------------------------------------------- */

/* Size mode when out is NULL; in data mode the buffer must hold the whole value. */
static OSStatus answer(const void* value, UInt32 size, UInt32 capacity, UInt32* outSize, void* out) {
    if (out) {
        if (capacity < size)
            return kAudioHardwareBadPropertySizeError;
        if (size > 0)
            memcpy(out, value, size);
    }
    *outSize = size;
    return kAudioHardwareNoError;
}

/* Object lists shrink to the whole IDs that fit instead of failing. */
static OSStatus answerIDs(const AudioObjectID* ids, UInt32 count, UInt32 capacity, UInt32* outSize, void* out) {
    if (out) {
        const UInt32 fit = capacity / (UInt32)sizeof(AudioObjectID);
        if (count > fit)
            count = fit;
        if (count > 0)
            memcpy(out, ids, count * sizeof(AudioObjectID));
    }
    *outSize = count * (UInt32)sizeof(AudioObjectID);
    return kAudioHardwareNoError;
}

#define ANSWER(value) return answer(&(value), (UInt32)sizeof(value), capacity, outSize, out)
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
#define ANSWER_NOTHING() return answer(NULL, 0, capacity, outSize, out)

static UInt32 ioCount(AudioObjectID device) {
    pthread_mutex_lock(&stateMutex);
    const UInt32 count = device == kVeluntoMicDeviceID ? micIOCount : feedIOCount;
    pthread_mutex_unlock(&stateMutex);
    return count;
}

static OSStatus plugInProperty(const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                               UInt32 capacity, UInt32* outSize, void* out) {
    static const AudioObjectID devices[] = {kVeluntoMicDeviceID, kVeluntoMicFeedDeviceID};
    switch (address->mSelector) {
        case kAudioObjectPropertyBaseClass:
            ANSWER_U32(kAudioObjectClassID);
        case kAudioObjectPropertyClass:
            ANSWER_U32(kAudioPlugInClassID);
        case kAudioObjectPropertyOwner:
            ANSWER_U32(kAudioObjectUnknown);
        case kAudioObjectPropertyManufacturer:
            ANSWER_STRING(CFSTR("Velunto"));
        case kAudioObjectPropertyOwnedObjects:
        case kAudioPlugInPropertyDeviceList:
            return answerIDs(devices, 2, capacity, outSize, out);
        case kAudioPlugInPropertyBoxList:
            ANSWER_NOTHING();
        case kAudioPlugInPropertyResourceBundle:
            ANSWER_STRING(CFSTR(""));
        case kAudioPlugInPropertyTranslateUIDToDevice: {
            AudioObjectID device = kAudioObjectUnknown;
            if (out) {
                CFStringRef uid = NULL;
                if (qualifierSize != sizeof uid || !qualifier)
                    return kAudioHardwareBadPropertySizeError;
                memcpy(&uid, qualifier, sizeof uid);
                if (uid && CFEqual(uid, CFSTR(kVeluntoMicDeviceUID)))
                    device = kVeluntoMicDeviceID;
                else if (uid && CFEqual(uid, CFSTR(kVeluntoMicFeedDeviceUID)))
                    device = kVeluntoMicFeedDeviceID;
            }
            ANSWER(device);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

static OSStatus deviceProperty(AudioObjectID device, const AudioObjectPropertyAddress* address, UInt32 capacity,
                               UInt32* outSize, void* out) {
    static const AudioObjectID micSelf[] = {kVeluntoMicDeviceID};
    static const AudioObjectID feedSelf[] = {kVeluntoMicFeedDeviceID};
    static const AudioObjectID micStreams[] = {kVeluntoMicStreamID};
    static const AudioObjectID feedStreams[] = {kVeluntoMicFeedStreamID};
    static const UInt32 stereoChannels[] = {1, 2};
    static const AudioValueRange rates[] = {{kSampleRate, kSampleRate}};
    static const Float64 rate = kSampleRate;
    const int isMic = device == kVeluntoMicDeviceID;
    switch (address->mSelector) {
        case kAudioObjectPropertyBaseClass:
            ANSWER_U32(kAudioObjectClassID);
        case kAudioObjectPropertyClass:
            ANSWER_U32(kAudioDeviceClassID);
        case kAudioObjectPropertyOwner:
            ANSWER_U32(kAudioObjectPlugInObject);
        case kAudioObjectPropertyName:
            ANSWER_STRING(isMic ? CFSTR(kVeluntoMicDeviceName) : CFSTR(kVeluntoMicFeedDeviceName));
        case kAudioObjectPropertyManufacturer:
            ANSWER_STRING(CFSTR("Velunto"));
        case kAudioDevicePropertyDeviceUID:
            ANSWER_STRING(isMic ? CFSTR(kVeluntoMicDeviceUID) : CFSTR(kVeluntoMicFeedDeviceUID));
        case kAudioDevicePropertyModelUID:
            ANSWER_STRING(CFSTR("app.velunto.mic.model"));
        case kAudioDevicePropertyTransportType:
            ANSWER_U32(kAudioDeviceTransportTypeVirtual);
        case kAudioDevicePropertyRelatedDevices:
            return answerIDs(isMic ? micSelf : feedSelf, 1, capacity, outSize, out);
        case kAudioDevicePropertyClockDomain:
            ANSWER_U32(kClockDomain);
        case kAudioDevicePropertyDeviceIsAlive:
        case kAudioDevicePropertyClockIsStable:
            ANSWER_U32(1);
        case kAudioDevicePropertyDeviceIsRunning:
            /* Size mode must not take the lock for nothing. */
            ANSWER_U32(out ? ioCount(device) != 0 : 0);
        case kAudioDevicePropertyDeviceCanBeDefaultDevice:
            ANSWER_U32(isMic && address->mScope == kAudioObjectPropertyScopeInput);
        case kAudioDevicePropertyDeviceCanBeDefaultSystemDevice:
        case kAudioDevicePropertyLatency:
        case kAudioDevicePropertySafetyOffset:
            ANSWER_U32(0);
        case kAudioDevicePropertyIsHidden:
            ANSWER_U32(!isMic);
        case kAudioDevicePropertyPreferredChannelsForStereo:
            ANSWER(stereoChannels);
        case kAudioObjectPropertyControlList:
            ANSWER_NOTHING();
        case kAudioDevicePropertyNominalSampleRate:
            ANSWER(rate);
        case kAudioDevicePropertyAvailableNominalSampleRates:
            ANSWER(rates);
        case kAudioDevicePropertyZeroTimeStampPeriod:
            ANSWER_U32(kVeluntoMicZeroTimeStampPeriod);
        case kAudioDevicePropertyStreams:
        case kAudioObjectPropertyOwnedObjects: {
            /* The stream in the global scope and the device's own direction, nothing in the other. */
            const AudioObjectPropertyScope own =
                isMic ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
            const int listed = address->mScope == kAudioObjectPropertyScopeGlobal || address->mScope == own;
            return answerIDs(isMic ? micStreams : feedStreams, listed ? 1 : 0, capacity, outSize, out);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

static OSStatus streamProperty(AudioObjectID stream, const AudioObjectPropertyAddress* address, UInt32 capacity,
                               UInt32* outSize, void* out) {
    const int isMic = stream == kVeluntoMicStreamID;
    switch (address->mSelector) {
        case kAudioObjectPropertyBaseClass:
            ANSWER_U32(kAudioObjectClassID);
        case kAudioObjectPropertyClass:
            ANSWER_U32(kAudioStreamClassID);
        case kAudioObjectPropertyOwner:
            ANSWER_U32(isMic ? kVeluntoMicDeviceID : kVeluntoMicFeedDeviceID);
        case kAudioObjectPropertyOwnedObjects:
            ANSWER_NOTHING();
        case kAudioStreamPropertyIsActive:
            ANSWER_U32(1);
        case kAudioStreamPropertyDirection:
            ANSWER_U32(isMic ? 1 : 0);
        case kAudioStreamPropertyTerminalType:
            ANSWER_U32(isMic ? kAudioStreamTerminalTypeMicrophone : kAudioStreamTerminalTypeSpeaker);
        case kAudioStreamPropertyStartingChannel:
            ANSWER_U32(1);
        case kAudioStreamPropertyLatency:
            ANSWER_U32(0);
        case kAudioStreamPropertyVirtualFormat:
        case kAudioStreamPropertyPhysicalFormat:
            ANSWER(streamFormat);
        case kAudioStreamPropertyAvailableVirtualFormats:
        case kAudioStreamPropertyAvailablePhysicalFormats: {
            const AudioStreamRangedDescription ranged = {streamFormat, {kSampleRate, kSampleRate}};
            ANSWER(ranged);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

/* The one property routine behind HasProperty, IsPropertySettable, GetPropertyDataSize and
 * GetPropertyData. Size mode when out is NULL. */
static OSStatus propertyCore(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 capacity, UInt32* outSize, void* out) {
    switch (object) {
        case kVeluntoMicPlugInID:
            return plugInProperty(address, qualifierSize, qualifier, capacity, outSize, out);
        case kVeluntoMicDeviceID:
        case kVeluntoMicFeedDeviceID:
            return deviceProperty(object, address, capacity, outSize, out);
        case kVeluntoMicStreamID:
        case kVeluntoMicFeedStreamID:
            return streamProperty(object, address, capacity, outSize, out);
        default:
            return kAudioHardwareBadObjectError;
    }
}

/* ---- sample times --------------------------------------------------------------------------------- */

/* Truncates toward zero; false for NaN, infinities and anything outside the signed 64-bit range. */
static int sampleTimeToFrame(Float64 sampleTime, SInt64* frame) {
    if (!(sampleTime >= -9223372036854775808.0 && sampleTime < 9223372036854775808.0))
        return 0;
    *frame = (SInt64)sampleTime;
    return 1;
}

static void writeRing(SInt64 start, UInt32 frames, const unsigned char* buffer) {
    if (frames > 0 && start > INT64_MAX - (SInt64)frames)
        return; /* the end would not be representable */
    /* Later frames overwrite earlier ones on the same slot, so only the last ring length matters. */
    const UInt32 first = frames > kVeluntoMicRingFrames ? frames - kVeluntoMicRingFrames : 0;
    for (UInt32 i = first; i < frames; ++i) {
        UInt64 frame;
        memcpy(&frame, buffer + (size_t)i * kFrameBytes, kFrameBytes);
        atomic_store_explicit(&loopRing[((UInt64)start + i) & kRingMask], frame, memory_order_relaxed);
    }
    atomic_store_explicit(&ringWriteEnd, start + (SInt64)frames, memory_order_release);
}

static void readRing(Float64 sampleTime, UInt32 frames, unsigned char* buffer) {
    static const UInt64 silence = 0; /* two 0.0f */
    SInt64 start;
    if (!sampleTimeToFrame(sampleTime, &start)) {
        memset(buffer, 0, (size_t)frames * kFrameBytes);
        return;
    }
    const SInt64 end = atomic_load_explicit(&ringWriteEnd, memory_order_acquire);
    /* Frames past INT64_MAX cannot lie before the end. */
    const UInt64 representable = start >= 0 ? (UInt64)(INT64_MAX - start) : UINT64_MAX;
    for (UInt32 i = 0; i < frames; ++i) {
        UInt64 frame = silence;
        if (i <= representable) {
            const SInt64 t = start + (SInt64)i;
            /* end − 16384 ≤ t < end, as 0 < end − t ≤ 16384 with the difference taken once t < end. */
            if (t < end && (UInt64)end - (UInt64)t <= (UInt64)kVeluntoMicRingFrames)
                frame = atomic_load_explicit(&loopRing[(UInt64)t & kRingMask], memory_order_relaxed);
        }
        memcpy(buffer + (size_t)i * kFrameBytes, &frame, kFrameBytes);
    }
}

/* ---- driver interface ----------------------------------------------------------------------------- */

static HRESULT QueryInterface(void* driver, REFIID uuidBytes, LPVOID* outInterface) {
    if (!isDriver(driver) || !outInterface)
        return kAudioHardwareBadObjectError;
    CFUUIDRef uuid = CFUUIDCreateFromUUIDBytes(NULL, uuidBytes);
    if (!uuid)
        return kAudioHardwareIllegalOperationError;
    HRESULT result = E_NOINTERFACE;
    if (CFEqual(uuid, IUnknownUUID) || CFEqual(uuid, kAudioServerPlugInDriverInterfaceUUID)) {
        atomic_fetch_add(&refCount, 1);
        *outInterface = kDriverRef;
        result = S_OK;
    }
    CFRelease(uuid);
    return result;
}

static ULONG AddRef(void* driver) {
    if (!isDriver(driver))
        return 0;
    return atomic_fetch_add(&refCount, 1) + 1;
}

static ULONG Release(void* driver) {
    if (!isDriver(driver))
        return 0;
    UInt32 count = atomic_load(&refCount);
    while (count != 0) {
        if (atomic_compare_exchange_weak(&refCount, &count, count - 1))
            return count - 1;
    }
    return 0;
}

static OSStatus Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef inHost) {
    if (!isDriver(driver))
        return kAudioHardwareBadObjectError;
    host = inHost;
    mach_timebase_info_data_t timebase = {1, 1};
    mach_timebase_info(&timebase);
    if (timebase.numer == 0 || timebase.denom == 0)
        timebase.numer = timebase.denom = 1;
    hostTicksPerFrame = ((Float64)timebase.denom / (Float64)timebase.numer) * 1e9 / kSampleRate;
    anchorHostTime = mach_absolute_time();
    return kAudioHardwareNoError;
}

static OSStatus CreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                             const AudioServerPlugInClientInfo* clientInfo, AudioObjectID* outDevice) {
    (void)driver, (void)description, (void)clientInfo, (void)outDevice;
    return kAudioHardwareUnsupportedOperationError;
}

static OSStatus DestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID device) {
    (void)driver, (void)device;
    return kAudioHardwareUnsupportedOperationError;
}

static OSStatus AddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                const AudioServerPlugInClientInfo* clientInfo) {
    (void)device, (void)clientInfo;
    return isDriver(driver) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

static OSStatus RemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                   const AudioServerPlugInClientInfo* clientInfo) {
    (void)device, (void)clientInfo;
    return isDriver(driver) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

static OSStatus PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt64 action,
                                                 void* info) {
    (void)device, (void)action, (void)info;
    return isDriver(driver) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

static OSStatus AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt64 action,
                                               void* info) {
    (void)device, (void)action, (void)info;
    return isDriver(driver) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

static Boolean HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                           const AudioObjectPropertyAddress* address) {
    (void)client;
    UInt32 size = 0;
    return isDriver(driver) && address && propertyCore(object, address, 0, NULL, 0, &size, NULL) == 0;
}

static OSStatus IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                   const AudioObjectPropertyAddress* address, Boolean* outIsSettable) {
    (void)client;
    if (!isDriver(driver))
        return kAudioHardwareBadObjectError;
    if (!address || !outIsSettable)
        return kAudioHardwareIllegalOperationError;
    UInt32 size = 0;
    const OSStatus status = propertyCore(object, address, 0, NULL, 0, &size, NULL);
    if (status == kAudioHardwareNoError)
        *outIsSettable = 0;
    return status;
}

static OSStatus GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                    const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                    const void* qualifier, UInt32* outSize) {
    (void)client;
    if (!isDriver(driver))
        return kAudioHardwareBadObjectError;
    if (!address || !outSize)
        return kAudioHardwareIllegalOperationError;
    return propertyCore(object, address, qualifierSize, qualifier, 0, outSize, NULL);
}

static OSStatus GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                                UInt32 dataSize, UInt32* outSize, void* outData) {
    (void)client;
    if (!isDriver(driver))
        return kAudioHardwareBadObjectError;
    if (!address || !outSize || !outData)
        return kAudioHardwareIllegalOperationError;
    return propertyCore(object, address, qualifierSize, qualifier, dataSize, outSize, outData);
}

static int formatIsOffered(const AudioStreamBasicDescription* format) {
    return format->mSampleRate == kSampleRate && format->mFormatID == kAudioFormatLinearPCM &&
           format->mChannelsPerFrame == kChannels && format->mBitsPerChannel == 32 &&
           (format->mFormatFlags & kAudioFormatFlagIsFloat) != 0;
}

static OSStatus SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                                const AudioObjectPropertyAddress* address, UInt32 qualifierSize, const void* qualifier,
                                UInt32 dataSize, const void* data) {
    (void)client, (void)qualifierSize, (void)qualifier;
    if (!isDriver(driver))
        return kAudioHardwareBadObjectError;
    if (!address || !data)
        return kAudioHardwareIllegalOperationError;
    const AudioObjectPropertySelector selector = address->mSelector;
    if (isDevice(object) && selector == kAudioDevicePropertyNominalSampleRate) {
        Float64 rate;
        if (dataSize != sizeof rate)
            return kAudioHardwareBadPropertySizeError;
        memcpy(&rate, data, sizeof rate);
        return rate == kSampleRate ? kAudioHardwareNoError : kAudioDeviceUnsupportedFormatError;
    }
    if ((object == kVeluntoMicStreamID || object == kVeluntoMicFeedStreamID) &&
        (selector == kAudioStreamPropertyVirtualFormat || selector == kAudioStreamPropertyPhysicalFormat)) {
        AudioStreamBasicDescription format;
        if (dataSize != sizeof format)
            return kAudioHardwareBadPropertySizeError;
        memcpy(&format, data, sizeof format);
        return formatIsOffered(&format) ? kAudioHardwareNoError : kAudioDeviceUnsupportedFormatError;
    }
    return kAudioHardwareUnsupportedOperationError;
}

static void announceRunning(AudioObjectID device) {
    const AudioServerPlugInHostRef to = host;
    if (!to || !to->PropertiesChanged)
        return;
    const AudioObjectPropertyAddress running = {kAudioDevicePropertyDeviceIsRunning, kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    to->PropertiesChanged(to, device, 1, &running);
}

static OSStatus StartIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client) {
    (void)client;
    if (!isDriver(driver) || !isDevice(device))
        return kAudioHardwareBadObjectError;
    pthread_mutex_lock(&stateMutex);
    UInt32* count = device == kVeluntoMicDeviceID ? &micIOCount : &feedIOCount;
    const UInt32 before = (*count)++;
    pthread_mutex_unlock(&stateMutex);
    if (before == 0)
        announceRunning(device);
    return kAudioHardwareNoError;
}

static OSStatus StopIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client) {
    (void)client;
    if (!isDriver(driver) || !isDevice(device))
        return kAudioHardwareBadObjectError;
    pthread_mutex_lock(&stateMutex);
    UInt32* count = device == kVeluntoMicDeviceID ? &micIOCount : &feedIOCount;
    if (*count == 0) {
        pthread_mutex_unlock(&stateMutex);
        return kAudioHardwareNoError;
    }
    const UInt32 after = --*count;
    pthread_mutex_unlock(&stateMutex);
    if (after == 0)
        announceRunning(device);
    return kAudioHardwareNoError;
}

static OSStatus GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                 Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed) {
    (void)client;
    if (!isDriver(driver) || !isDevice(device))
        return kAudioHardwareBadObjectError;
    const Float64 periodTicks = hostTicksPerFrame * kVeluntoMicZeroTimeStampPeriod;
    const UInt64 elapsed = mach_absolute_time() - anchorHostTime;
    UInt64 periods = 0;
    UInt64 periodsTicks = 0;
    if (periodTicks > 0) { /* zero before Initialize */
        const Float64 quotient = (Float64)elapsed / periodTicks;
        if (quotient < 18446744073709551616.0) {
            periods = (UInt64)quotient;
            const Float64 ticks = (Float64)periods * periodTicks;
            periodsTicks = ticks < 18446744073709551616.0 ? (UInt64)ticks : UINT64_MAX;
        }
    }
    if (outSampleTime)
        *outSampleTime = (Float64)periods * kVeluntoMicZeroTimeStampPeriod;
    if (outHostTime)
        *outHostTime = anchorHostTime + periodsTicks;
    if (outSeed)
        *outSeed = 1;
    return kAudioHardwareNoError;
}

static OSStatus WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                  UInt32 operation, Boolean* outWillDo, Boolean* outWillDoInPlace) {
    (void)client;
    if (!isDriver(driver) || !isDevice(device))
        return kAudioHardwareBadObjectError;
    if (outWillDo)
        *outWillDo = (device == kVeluntoMicDeviceID && operation == kAudioServerPlugInIOOperationReadInput) ||
                     (device == kVeluntoMicFeedDeviceID && operation == kAudioServerPlugInIOOperationWriteMix);
    if (outWillDoInPlace)
        *outWillDoInPlace = 1;
    return kAudioHardwareNoError;
}

static OSStatus BeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client,
                                 UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle) {
    (void)device, (void)client, (void)operation, (void)frames, (void)cycle;
    return isDriver(driver) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

/* Real-time: no lock, no allocation. */
static OSStatus DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, AudioObjectID stream,
                              UInt32 client, UInt32 operation, UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle,
                              void* mainBuffer, void* secondaryBuffer) {
    (void)stream, (void)client, (void)secondaryBuffer;
    if (!isDriver(driver) || !cycle || !mainBuffer)
        return kAudioHardwareBadObjectError;
    if (device == kVeluntoMicFeedDeviceID && operation == kAudioServerPlugInIOOperationWriteMix) {
        SInt64 start;
        if (sampleTimeToFrame(cycle->mOutputTime.mSampleTime, &start))
            writeRing(start, frames, mainBuffer);
    } else if (device == kVeluntoMicDeviceID && operation == kAudioServerPlugInIOOperationReadInput) {
        readRing(cycle->mInputTime.mSampleTime, frames, mainBuffer);
    }
    return kAudioHardwareNoError;
}

static OSStatus EndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client, UInt32 operation,
                               UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle) {
    (void)device, (void)client, (void)operation, (void)frames, (void)cycle;
    return isDriver(driver) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

static AudioServerPlugInDriverInterface driverInterface = {
    NULL,
    QueryInterface,
    AddRef,
    Release,
    Initialize,
    CreateDevice,
    DestroyDevice,
    AddDeviceClient,
    RemoveDeviceClient,
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
    BeginIOOperation,
    DoIOOperation,
    EndIOOperation,
};

VELUNTO_EXPORT void* VeluntoMic_Create(CFAllocatorRef allocator, CFUUIDRef requestedTypeUUID) {
    (void)allocator;
    if (requestedTypeUUID && CFEqual(requestedTypeUUID, kAudioServerPlugInTypeUUID))
        return kDriverRef;
    return NULL;
}

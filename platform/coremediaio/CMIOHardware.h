#pragma once

// The client interface of the camera I/O layer: devices and streams published by camera extensions
// (in this process or in processes of their own), reached through objects with four-character
// property selectors, shaped like the platform's C interface.
//
// Status codes: unknown object '!obj'; missing address or out pointer 'nope'; a selector the object
// does not have 'who?'; a buffer smaller than a scalar value, or a wrong size to set, '!siz'; a
// property that cannot be set 'unop'; a format the stream does not offer '!dat'. Arrays come back
// as many whole elements as fit. String values are CFStringRefs retained for the caller.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/coremedia/CMSimpleQueue.h"
#include "platform/dispatch/DispatchQueue.h"

using CMIOObjectID = UInt32;
using CMIODeviceID = CMIOObjectID;
using CMIOStreamID = CMIOObjectID;
using CMIOObjectPropertySelector = UInt32;
using CMIOObjectPropertyScope = UInt32;
using CMIOObjectPropertyElement = UInt32;

struct CMIOObjectPropertyAddress {
    CMIOObjectPropertySelector mSelector;
    CMIOObjectPropertyScope mScope;
    CMIOObjectPropertyElement mElement;
};

enum : UInt32 { kCMIOObjectUnknown = 0, kCMIOObjectSystemObject = 1 };
enum : UInt32 {
    kCMIOObjectPropertyScopeGlobal = 'glob',
    kCMIOObjectPropertyScopeWildcard = '****',
    kCMIOObjectPropertyElementMain = 0,
    kCMIOObjectPropertyElementWildcard = 0xFFFFFFFF,
    kCMIOObjectPropertySelectorWildcard = '****',
};
enum : UInt32 {
    kCMIOHardwarePropertyDevices = 'dev#',
    kCMIOObjectPropertyName = 'lnam',
    kCMIODevicePropertyDeviceUID = 'uid ',
    kCMIODevicePropertyModelUID = 'muid',
    kCMIODevicePropertyTransportType = 'tran',
    kCMIODevicePropertyStreams = 'stm#',
    kCMIODevicePropertyDeviceIsAlive = 'livn',
    kCMIODevicePropertyDeviceIsRunningSomewhere = 'gone',
    kCMIOStreamPropertyDirection = 'sdir',
    kCMIOStreamPropertyFormatDescriptions = 'pfta',
    kCMIOStreamPropertyFormatDescription = 'pft ',
    kCMIOStreamPropertyFrameRate = 'nfrt',
};
enum : OSStatus {
    kCMIOHardwareNoError = 0,
    kCMIOHardwareNotStoppedError = 'run ',
    kCMIOHardwareNotRunningError = 'stop',
    kCMIOHardwareUnspecifiedError = 'what',
    kCMIOHardwareUnknownPropertyError = 'who?',
    kCMIOHardwareBadPropertySizeError = '!siz',
    kCMIOHardwareIllegalOperationError = 'nope',
    kCMIOHardwareBadObjectError = '!obj',
    kCMIOHardwareBadDeviceError = '!dev',
    kCMIOHardwareBadStreamError = '!str',
    kCMIOHardwareUnsupportedOperationError = 'unop',
    kCMIODeviceUnsupportedFormatError = '!dat',
};

// Stream direction values of 'sdir'.
enum : UInt32 { kCMIOStreamDirectionSink = 0, kCMIOStreamDirectionSource = 1 };

// One element of 'pfta', and the value of 'pft '.
struct CMIOStreamFormat {
    UInt32 codec;
    SInt32 width;
    SInt32 height;
    friend bool operator==(const CMIOStreamFormat&, const CMIOStreamFormat&) = default;
};

Boolean CMIOObjectHasProperty(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address);
OSStatus CMIOObjectGetPropertyDataSize(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                       UInt32 qualifierDataSize, const void* qualifierData, UInt32* dataSize);
OSStatus CMIOObjectGetPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                   UInt32 qualifierDataSize, const void* qualifierData, UInt32 dataSize,
                                   UInt32* dataUsed, void* data);
OSStatus CMIOObjectSetPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                   UInt32 qualifierDataSize, const void* qualifierData, UInt32 dataSize,
                                   const void* data);

using CMIOObjectPropertyListenerBlock =
    std::function<void(UInt32 numberAddresses, const CMIOObjectPropertyAddress* addresses)>;
// The block runs on `queue`. It is identified for removal by the returned token (an std::function
// cannot be compared). Wildcards ('****' selector or scope, element 0xFFFFFFFF) match any value. A
// block removed is not called again, even for notifications already queued.
OSStatus CMIOObjectAddPropertyListenerBlock(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                            velunto::DispatchQueue queue, CMIOObjectPropertyListenerBlock block,
                                            std::uint64_t* outToken);
OSStatus CMIOObjectRemovePropertyListenerBlock(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                               velunto::DispatchQueue queue, std::uint64_t token);

using CMIODeviceStreamQueueAlteredProc = void (*)(CMIOStreamID streamID, void* token, void* refCon);
// Sink stream: the client enqueues sample buffers (capacity: the extension's sink buffer queue size);
// they travel to the extension, and the proc is called once each has left. Source stream: the
// buffers the extension sends arrive in it (newest dropped when full) and the proc is called on the
// delivering thread. A second call replaces the queue and proc.
OSStatus CMIOStreamCopyBufferQueue(CMIOStreamID streamID, CMIODeviceStreamQueueAlteredProc proc, void* refCon,
                                   std::shared_ptr<velunto::CMSimpleQueue>* queue);
OSStatus CMIODeviceStartStream(CMIODeviceID deviceID, CMIOStreamID streamID);
OSStatus CMIODeviceStopStream(CMIODeviceID deviceID, CMIOStreamID streamID);

#include "platform/coremediaio/CMIOHardware.h"

#include "platform/coremediaio/CMIOClientRuntime.h"

using velunto::CMIOClientRuntime;

Boolean CMIOObjectHasProperty(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address) {
    return address && CMIOClientRuntime::shared().hasProperty(objectID, *address);
}

OSStatus CMIOObjectGetPropertyDataSize(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address, UInt32,
                                       const void*, UInt32* dataSize) {
    if (!address)
        return kCMIOHardwareIllegalOperationError;
    return CMIOClientRuntime::shared().getPropertyDataSize(objectID, *address, dataSize);
}

OSStatus CMIOObjectGetPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address, UInt32, const void*,
                                   UInt32 dataSize, UInt32* dataUsed, void* data) {
    if (!address)
        return kCMIOHardwareIllegalOperationError;
    return CMIOClientRuntime::shared().getPropertyData(objectID, *address, dataSize, dataUsed, data);
}

OSStatus CMIOObjectSetPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address, UInt32, const void*,
                                   UInt32 dataSize, const void* data) {
    if (!address)
        return kCMIOHardwareIllegalOperationError;
    return CMIOClientRuntime::shared().setPropertyData(objectID, *address, dataSize, data);
}

OSStatus CMIOObjectAddPropertyListenerBlock(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                            velunto::DispatchQueue queue, CMIOObjectPropertyListenerBlock block,
                                            std::uint64_t* outToken) {
    if (!address)
        return kCMIOHardwareIllegalOperationError;
    return CMIOClientRuntime::shared().addListener(objectID, *address, std::move(queue), std::move(block), outToken);
}

OSStatus CMIOObjectRemovePropertyListenerBlock(CMIOObjectID objectID, const CMIOObjectPropertyAddress* address,
                                               velunto::DispatchQueue queue, std::uint64_t token) {
    if (!address)
        return kCMIOHardwareIllegalOperationError;
    return CMIOClientRuntime::shared().removeListener(objectID, *address, queue, token);
}

OSStatus CMIOStreamCopyBufferQueue(CMIOStreamID streamID, CMIODeviceStreamQueueAlteredProc proc, void* refCon,
                                   std::shared_ptr<velunto::CMSimpleQueue>* queue) {
    return CMIOClientRuntime::shared().copyBufferQueue(streamID, proc, refCon, queue);
}

OSStatus CMIODeviceStartStream(CMIODeviceID deviceID, CMIOStreamID streamID) {
    return CMIOClientRuntime::shared().startStream(deviceID, streamID);
}

OSStatus CMIODeviceStopStream(CMIODeviceID deviceID, CMIOStreamID streamID) {
    return CMIOClientRuntime::shared().stopStream(deviceID, streamID);
}

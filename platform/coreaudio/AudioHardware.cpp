#include "platform/coreaudio/AudioHardware.h"

#include "platform/coreaudio/AudioHardwareServer.h"

using velunto::AudioHardwareServer;
using velunto::AudioPropertyRequest;

namespace {

OSStatus readProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                      const void* qualifier, UInt32 capacity, void* data, UInt32& size) {
    auto object = AudioHardwareServer::shared().object(objectID);
    if (!object)
        return kAudioHardwareBadObjectError;
    AudioPropertyRequest request;
    request.address = address;
    request.qualifierSize = qualifierSize;
    request.qualifier = qualifier;
    request.capacity = capacity;
    request.data = data;
    OSStatus status = object->readProperty(request);
    if (status == kAudioHardwareNoError)
        size = request.size;
    return status;
}

}  // namespace

Boolean AudioObjectHasProperty(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress) {
    if (!inAddress)
        return false;
    auto object = AudioHardwareServer::shared().object(inObjectID);
    return object && object->hasProperty(*inAddress);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (!inAddress || !outIsSettable)
        return kAudioHardwareIllegalOperationError;
    auto object = AudioHardwareServer::shared().object(inObjectID);
    if (!object)
        return kAudioHardwareBadObjectError;
    if (!object->hasProperty(*inAddress))
        return kAudioHardwareUnknownPropertyError;
    *outIsSettable = object->isPropertySettable(*inAddress);
    return kAudioHardwareNoError;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* outDataSize) {
    if (!inAddress || !outDataSize)
        return kAudioHardwareIllegalOperationError;
    return readProperty(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, 0, nullptr, *outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData) {
    if (!inAddress || !ioDataSize || !outData)
        return kAudioHardwareIllegalOperationError;
    return readProperty(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, *ioDataSize, outData,
                        *ioDataSize);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData) {
    if (!inAddress || !inData)
        return kAudioHardwareIllegalOperationError;
    auto object = AudioHardwareServer::shared().object(inObjectID);
    if (!object)
        return kAudioHardwareBadObjectError;
    return object->writeProperty(*inAddress, inQualifierDataSize, inQualifierData, inDataSize, inData);
}

AudioObjectPropertyListenerBlock makeAudioObjectPropertyListenerBlock(AudioObjectPropertyListenerFunction function) {
    return std::make_shared<const AudioObjectPropertyListenerFunction>(std::move(function));
}

OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                             std::optional<velunto::DispatchQueue> inDispatchQueue,
                                             AudioObjectPropertyListenerBlock inListener) {
    if (!inAddress)
        return kAudioHardwareIllegalOperationError;
    return AudioHardwareServer::shared().addListener(inObjectID, *inAddress, std::move(inDispatchQueue),
                                                     std::move(inListener));
}

OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                std::optional<velunto::DispatchQueue> inDispatchQueue,
                                                AudioObjectPropertyListenerBlock inListener) {
    if (!inAddress)
        return kAudioHardwareIllegalOperationError;
    return AudioHardwareServer::shared().removeListener(inObjectID, *inAddress, inDispatchQueue, inListener);
}

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                   AudioDeviceIOProcID* outIOProcID) {
    return AudioHardwareServer::shared().createIOProc(inDevice, inProc, inClientData, outIOProcID);
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    return AudioHardwareServer::shared().destroyIOProc(inDevice, inIOProcID);
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return AudioHardwareServer::shared().startIOProc(inDevice, inProcID);
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return AudioHardwareServer::shared().stopIOProc(inDevice, inProcID);
}

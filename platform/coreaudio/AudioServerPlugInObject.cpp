#include "platform/coreaudio/AudioServerPlugInObject.h"

#include "platform/coreaudio/AudioServerPlugInDriver.h"

namespace velunto {

AudioServerPlugInObject::AudioServerPlugInObject(AudioObjectID objectID, AudioClassID classID, AudioObjectID owner,
                                                 std::shared_ptr<AudioServerPlugInDriver> driver,
                                                 AudioObjectID driverObjectID)
    : AudioHardwareObject(objectID, classID, owner), driver_(std::move(driver)), driverObjectID_(driverObjectID) {}

OSStatus AudioServerPlugInObject::readProperty(AudioPropertyRequest& request) const {
    if (classID() == kAudioPlugInClassID && request.address.mSelector == kAudioObjectPropertyOwner)
        return AudioHardwareObject::readProperty(request);
    const OSStatus status = driver_->readProperty(driverObjectID_, request);
    if (status == kAudioHardwareUnknownPropertyError)
        return AudioHardwareObject::readProperty(request);
    return status;
}

bool AudioServerPlugInObject::isPropertySettable(const AudioObjectPropertyAddress& address) const {
    return driver_->isPropertySettable(driverObjectID_, address);
}

OSStatus AudioServerPlugInObject::writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                                const void* qualifier, UInt32 dataSize, const void* data) {
    return driver_->writeProperty(driverObjectID_, address, qualifierSize, qualifier, dataSize, data);
}

}  // namespace velunto

#pragma once

#include <memory>

#include "platform/coreaudio/AudioHardwareObject.h"

namespace velunto {

class AudioServerPlugInDriver;

// A driver's plug-in object or one of its streams as the server publishes it: property calls go to
// the driver object. The plug-in object's owner is the system object.
class AudioServerPlugInObject : public AudioHardwareObject {
public:
    AudioServerPlugInObject(AudioObjectID objectID, AudioClassID classID, AudioObjectID owner,
                            std::shared_ptr<AudioServerPlugInDriver> driver, AudioObjectID driverObjectID);

    AudioObjectID driverObjectID() const { return driverObjectID_; }

    OSStatus readProperty(AudioPropertyRequest& request) const override;
    bool isPropertySettable(const AudioObjectPropertyAddress& address) const override;
    OSStatus writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize, const void* qualifier,
                           UInt32 dataSize, const void* data) override;

private:
    const std::shared_ptr<AudioServerPlugInDriver> driver_;
    const AudioObjectID driverObjectID_;
};

}  // namespace velunto

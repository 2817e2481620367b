#pragma once

#include <string>

#include "platform/coreaudio/AudioHardwareBase.h"

namespace velunto {

// An audio device as the app passes it around; its identity in lists is the UID.
struct AudioDeviceInfo {
    AudioObjectID deviceID = kAudioObjectUnknown;  // valid while the device exists
    std::string uid;
    std::string name;

    bool operator==(const AudioDeviceInfo&) const = default;
};

}  // namespace velunto

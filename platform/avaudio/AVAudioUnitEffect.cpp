#include "platform/avaudio/AVAudioUnitEffect.h"

namespace velunto {

bool AVAudioUnitEffect::bypass() const {
    UInt32 value = 0;
    UInt32 size = sizeof value;
    return AudioUnitGetProperty(audioUnit(), kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &value,
                                &size) == 0 &&
           value != 0;
}

void AVAudioUnitEffect::setBypass(bool bypass) {
    const UInt32 value = bypass ? 1 : 0;
    AudioUnitSetProperty(audioUnit(), kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0, &value, sizeof value);
}

}  // namespace velunto

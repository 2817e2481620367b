#include "platform/avaudio/AVAudioUnitEffect.h"

namespace velunto {

bool AVAudioUnitEffect::bypass() const {
    return shouldBypassEffect();
}

void AVAudioUnitEffect::setBypass(bool bypass) {
    setShouldBypassEffect(bypass);
}

}  // namespace velunto

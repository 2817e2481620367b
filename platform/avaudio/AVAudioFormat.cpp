#include "platform/avaudio/AVAudioFormat.h"

namespace velunto {

AudioStreamBasicDescription AVAudioFormat::streamDescription() const {
    const UInt32 bytesPerFrame = interleaved_ ? 4 * channelCount_ : 4;
    AudioFormatFlags flags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    if (!interleaved_)
        flags |= kAudioFormatFlagIsNonInterleaved;
    return {sampleRate_, kAudioFormatLinearPCM, flags, bytesPerFrame, 1, bytesPerFrame, channelCount_, 32, 0};
}

}  // namespace velunto

#include "platform/avaudio/AVAudioUnitEQ.h"

#include <algorithm>
#include <cstring>

namespace velunto {

AVAudioUnitEQ::AVAudioUnitEQ(UInt32 numberOfBands) : bank_(numberOfBands) {
    for (UInt32 i = 0; i < numberOfBands; ++i)
        bands_.emplace_back(bank_, i);
}

bool AVAudioUnitEQ::prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output,
                            UInt32 maxInputFrames, UInt32& maxOutputFrames, NSError* error) {
    AVAudioNode::prepare(input, output, maxInputFrames, maxOutputFrames, error);
    bank_.prepare(output.sampleRate(), output.channelCount(), std::max<UInt32>(maxInputFrames, 1));
    return true;
}

// Real-time.
UInt32 AVAudioUnitEQ::render(const AudioTimeStamp&, AVAudioPCMBuffer* input, UInt32 frames, AVAudioPCMBuffer& output) {
    if (!input)
        return 0;
    float* const* in = input->floatChannelData();
    float* const* out = output.floatChannelData();
    frames = std::min(frames, output.frameCapacity());
    const UInt32 channels = std::min(input->format().channelCount(), output.format().channelCount());
    for (UInt32 c = 0; c < channels; ++c)
        std::memcpy(out[c], in[c], frames * sizeof(float));
    output.setFrameLength(frames);
    bank_.process(out, frames);
    return frames;
}

}  // namespace velunto

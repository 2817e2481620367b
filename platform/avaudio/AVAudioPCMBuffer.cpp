#include "platform/avaudio/AVAudioPCMBuffer.h"

#include <algorithm>

namespace velunto {

AVAudioPCMBuffer::AVAudioPCMBuffer(const AVAudioFormat& format, UInt32 frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    if (format.isInterleaved()) {
        storage_.reshape({format.channelCount()}, frameCapacity);
    } else {
        storage_.reshape(std::vector<UInt32>(format.channelCount(), 1), frameCapacity);
        for (UInt32 c = 0; c < format.channelCount(); ++c)
            channels_.push_back(storage_.samples(c));
    }
    setFrameLength(0);
}

void AVAudioPCMBuffer::setFrameLength(UInt32 frames) {
    frameLength_ = std::min(frames, frameCapacity_);
    AudioBufferList* list = storage_.list();
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b)
        list->mBuffers[b].mDataByteSize = list->mBuffers[b].mNumberChannels * frameLength_ * sizeof(float);
}

}  // namespace velunto

#pragma once

#include <functional>

#include "platform/avaudio/AVAudioNode.h"

namespace velunto {

// Real-time: fills frameCount frames of outputData; may set isSilence.
using AVAudioSourceNodeRenderBlock = std::function<OSStatus(bool& isSilence, const AudioTimeStamp& timestamp,
                                                            UInt32 frameCount, AudioBufferList* outputData)>;

// The head of a chain whose samples come from a render block.
class AVAudioSourceNode : public AVAudioNode {
public:
    AVAudioSourceNode(const AVAudioFormat& format, AVAudioSourceNodeRenderBlock block)
        : format_(format), block_(std::move(block)) {
        outputFormat_ = format;
    }
    const AVAudioFormat& format() const { return format_; }

protected:
    UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer*, UInt32 frames, AVAudioPCMBuffer& output) override {
        output.setFrameLength(frames);
        bool silence = false;
        if (block_(silence, time, frames, output.mutableAudioBufferList()) != 0 || silence) {
            AudioBufferList* list = output.mutableAudioBufferList();
            for (UInt32 b = 0; b < list->mNumberBuffers; ++b)
                std::fill_n(static_cast<float*>(list->mBuffers[b].mData), frames * list->mBuffers[b].mNumberChannels,
                            0.0f);
        }
        return frames;
    }

private:
    AVAudioFormat format_;
    AVAudioSourceNodeRenderBlock block_;
};

}  // namespace velunto

#pragma once

#include "platform/avaudio/AVAudioNode.h"

namespace velunto {

// The end of the engine's main chain. In manual rendering mode its blocks become the render result.
class AVAudioOutputNode : public AVAudioNode {
protected:
    friend class AVAudioEngine;
    UInt32 render(const AudioTimeStamp&, AVAudioPCMBuffer* input, UInt32 frames, AVAudioPCMBuffer&) override {
        last_ = input;
        return frames;
    }
    AVAudioPCMBuffer* last_ = nullptr;
};

}  // namespace velunto

#pragma once

#include <functional>

#include "platform/avaudio/AVAudioNode.h"
#include "platform/mach/RealTimeContext.h"

namespace velunto {

// Real-time: receives each block that reaches the sink.
using AVAudioSinkNodeReceiverBlock =
    std::function<OSStatus(const AudioTimeStamp& timestamp, UInt32 frameCount, const AudioBufferList* inputData)>;

// The end of a chain: hands every block to its receiver on the audio thread.
class AVAudioSinkNode : public AVAudioNode {
public:
    explicit AVAudioSinkNode(AVAudioSinkNodeReceiverBlock receiver) : receiver_(std::move(receiver)) {}

protected:
    UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames, AVAudioPCMBuffer&) override {
        if (input) {
            const RealTimeContext::Scope realTime;
            receiver_(time, frames, input->audioBufferList());
        }
        return 0;
    }

private:
    AVAudioSinkNodeReceiverBlock receiver_;
};

}  // namespace velunto

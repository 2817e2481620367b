#pragma once

#include <memory>

#include "platform/audiounit/AudioUnit.h"
#include "platform/avaudio/AVAudioNode.h"

namespace velunto {

class HALInputUnit;

// The engine's input: the hardware I/O unit's input side, bound to one device. Its output format is
// the device's own (rate, channels), non-interleaved.
class AVAudioInputNode : public AVAudioNode {
public:
    AVAudioInputNode();
    ~AVAudioInputNode() override;

    // The underlying unit; property 2000 on it chooses the device.
    AudioUnit audioUnit() const { return unit_; }
    HALInputUnit& halUnit() const { return *hal_; }

    // The device's format, read now.
    AVAudioFormat inputFormat(AVAudioNodeBus bus) const override;
    AVAudioFormat outputFormat(AVAudioNodeBus bus) const override { return inputFormat(bus); }

    // Real-time: the device block the next render converts.
    void setPendingInput(const AudioBufferList* input, UInt32 frames) {
        pending_ = input;
        pendingFrames_ = frames;
    }

protected:
    UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames,
                  AVAudioPCMBuffer& output) override;

private:
    AudioUnit unit_ = nullptr;
    std::shared_ptr<HALInputUnit> hal_;
    const AudioBufferList* pending_ = nullptr;
    UInt32 pendingFrames_ = 0;
};

}  // namespace velunto

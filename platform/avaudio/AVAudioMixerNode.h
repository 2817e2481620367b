#pragma once

#include <vector>

#include "platform/avaudio/AVAudioNode.h"

struct soxr;

namespace velunto {

// Converts its input to the format of its output connection: channels are mixed down to the mean
// (or spread), and the rate is converted with libsoxr, streaming. Several inputs are not mixed: the
// engine runs chains, so a mixer has one input.
class AVAudioMixerNode : public AVAudioNode {
public:
    AVAudioMixerNode() = default;
    ~AVAudioMixerNode() override;

protected:
    bool prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output, UInt32 maxInputFrames,
                 UInt32& maxOutputFrames, NSError* error) override;
    UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames,
                  AVAudioPCMBuffer& output) override;
    void unprepare() override;

private:
    UInt32 mixChannels(AVAudioPCMBuffer& input, UInt32 frames);

    soxr* resampler_ = nullptr;
    std::vector<std::vector<float>> mixed_;
    std::vector<const float*> mixedPointers_;
    UInt32 outputCapacity_ = 0;
};

}  // namespace velunto

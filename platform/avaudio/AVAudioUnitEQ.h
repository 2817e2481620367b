#pragma once

#include <vector>

#include "platform/avaudio/AVAudioNode.h"
#include "platform/avaudio/AVAudioUnitEQFilterParameters.h"
#include "platform/avaudio/EQFilterBank.h"

namespace velunto {

// The multi-band parametric EQ node: a cascade of cookbook biquads with a global gain and bypass.
// Parameters may change while the engine renders; they reach the audio thread without a lock and
// without a click.
class AVAudioUnitEQ : public AVAudioNode {
public:
    explicit AVAudioUnitEQ(UInt32 numberOfBands);

    std::vector<AVAudioUnitEQFilterParameters>& bands() { return bands_; }
    float globalGain() const { return bank_.globalGain(); }
    void setGlobalGain(float decibels) { bank_.setGlobalGain(decibels); }
    bool bypass() const { return bank_.globalBypass(); }
    void setBypass(bool bypass) { bank_.setGlobalBypass(bypass); }
    // The response of the current settings, for drawing the curve.
    double magnitudeResponseDB(double frequencyHz) const { return bank_.magnitudeResponseDB(frequencyHz); }
    void reset() override { bank_.reset(); }

protected:
    bool prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output, UInt32 maxInputFrames,
                 UInt32& maxOutputFrames, NSError* error) override;
    UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames,
                  AVAudioPCMBuffer& output) override;

private:
    EQFilterBank bank_;
    std::vector<AVAudioUnitEQFilterParameters> bands_;
};

}  // namespace velunto

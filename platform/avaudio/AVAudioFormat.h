#pragma once

#include "platform/coreaudio/CoreAudioTypes.h"

namespace velunto {

// A sample format of the audio engine: 32-bit float at a rate with a channel count, non-interleaved
// (the engine's standard) or interleaved (a device's own layout).
class AVAudioFormat {
public:
    AVAudioFormat() = default;
    // The standard format: float32, non-interleaved.
    AVAudioFormat(double sampleRate, UInt32 channelCount, bool interleaved = false)
        : sampleRate_(sampleRate), channelCount_(channelCount), interleaved_(interleaved) {}

    double sampleRate() const { return sampleRate_; }
    UInt32 channelCount() const { return channelCount_; }
    bool isInterleaved() const { return interleaved_; }
    bool isValid() const { return sampleRate_ > 0 && channelCount_ > 0; }
    AudioStreamBasicDescription streamDescription() const;

    bool operator==(const AVAudioFormat&) const = default;

private:
    double sampleRate_ = 0;
    UInt32 channelCount_ = 0;
    bool interleaved_ = false;
};

}  // namespace velunto

#pragma once

// Drives an effect unit in tests: its float format, preparing it, and processing a signal in place.

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "platform/audiounit/AudioUnitBase.h"

namespace velunto::effecttest {

using Signal = std::vector<std::vector<float>>;  // one vector per channel

inline AudioStreamBasicDescription floatFormat(Float64 rate, UInt32 channels) {
    return {rate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved,
            4,
            1,
            4,
            channels,
            32,
            0};
}

// Sets the format and the largest slice, then initialises.
inline void prepare(AudioUnitBase& unit, Float64 rate, UInt32 channels, UInt32 maxFrames = 4096) {
    const AudioStreamBasicDescription f = floatFormat(rate, channels);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &f, sizeof(f)), noErr);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &maxFrames,
                               sizeof(maxFrames)),
              noErr);
    ASSERT_EQ(unit.initialize(), noErr);
}

// Processes frames [offset, offset + frames) of every channel in place.
inline OSStatus processSpan(AudioUnitBase& unit, Signal& signal, std::size_t offset, UInt32 frames) {
    alignas(AudioBufferList) unsigned char storage[offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer)];
    auto* list = reinterpret_cast<AudioBufferList*>(storage);
    list->mNumberBuffers = static_cast<UInt32>(signal.size());
    for (std::size_t c = 0; c < signal.size(); ++c)
        list->mBuffers[c] = {1, frames * static_cast<UInt32>(sizeof(float)), signal[c].data() + offset};
    const AudioTimeStamp time{};
    return unit.process(nullptr, time, frames, *list);
}

}  // namespace velunto::effecttest

#include "tests/platform/lv2/LV2TestSupport.h"

#include <algorithm>
#include <cmath>

namespace velunto::lv2test {

AudioStreamBasicDescription floatFormat(Float64 rate, UInt32 channels) {
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

void prepare(AudioUnitBase& unit, UInt32 channels, UInt32 maxFrames, Float64 rate) {
    const AudioStreamBasicDescription f = floatFormat(rate, channels);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &f, sizeof(f)), noErr);
    ASSERT_EQ(unit.setProperty(kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0, &maxFrames,
                               sizeof(maxFrames)),
              noErr);
    ASSERT_EQ(unit.initialize(), noErr);
}

OSStatus processSpan(AudioUnitBase& unit, Signal& signal, std::size_t offset, UInt32 frames) {
    alignas(AudioBufferList) unsigned char storage[offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer)];
    auto* list = reinterpret_cast<AudioBufferList*>(storage);
    list->mNumberBuffers = static_cast<UInt32>(signal.size());
    for (std::size_t c = 0; c < signal.size(); ++c) {
        list->mBuffers[c] = {1, frames * static_cast<UInt32>(sizeof(float)), signal[c].data() + offset};
    }
    return unit.process(nullptr, AudioTimeStamp{}, frames, *list);
}

bool processAll(AudioUnitBase& unit, Signal& signal, UInt32 block) {
    const std::size_t length = signal.front().size();
    for (std::size_t offset = 0; offset < length; offset += block) {
        const auto frames = static_cast<UInt32>(std::min<std::size_t>(block, length - offset));
        if (processSpan(unit, signal, offset, frames) != noErr) {
            return false;
        }
    }
    return true;
}

std::size_t peakIndex(const std::vector<float>& samples) {
    return static_cast<std::size_t>(
        std::max_element(samples.begin(), samples.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }) -
        samples.begin());
}

}  // namespace velunto::lv2test

#pragma once

#include <cstddef>
#include <vector>

#include "platform/coreaudio/CoreAudioTypes.h"

namespace velunto {

// An AudioBufferList with its own sample storage: one buffer per entry of `channelsPerBuffer`,
// channels interleaved within a buffer, `frames` frames of 32-bit float each. Allocates only in the
// constructor and in reshape().
class AudioBufferListStorage {
public:
    AudioBufferListStorage() : AudioBufferListStorage({}, 0) {}
    AudioBufferListStorage(const std::vector<UInt32>& channelsPerBuffer, UInt32 frames);

    void reshape(const std::vector<UInt32>& channelsPerBuffer, UInt32 frames);

    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(header_.data()); }
    const AudioBufferList* list() const { return reinterpret_cast<const AudioBufferList*>(header_.data()); }
    UInt32 frames() const { return frames_; }
    float* samples(UInt32 buffer) { return static_cast<float*>(list()->mBuffers[buffer].mData); }

    // Real-time: zeroes every buffer and restores the byte sizes.
    void clear();

    static std::size_t listByteSize(UInt32 bufferCount);

private:
    std::vector<std::max_align_t> header_;
    std::vector<float> storage_;
    std::vector<UInt32> channels_;
    UInt32 frames_ = 0;
};

}  // namespace velunto

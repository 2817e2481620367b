#pragma once

#include <vector>

#include "platform/avaudio/AVAudioFormat.h"
#include "platform/coreaudio/AudioBufferListStorage.h"

namespace velunto {

// Samples in a format, non-interleaved: one float array per channel of frameCapacity frames, of which
// frameLength are valid. Allocates only at construction.
class AVAudioPCMBuffer {
public:
    AVAudioPCMBuffer(const AVAudioFormat& format, UInt32 frameCapacity);

    const AVAudioFormat& format() const { return format_; }
    UInt32 frameCapacity() const { return frameCapacity_; }
    UInt32 frameLength() const { return frameLength_; }
    // Real-time. Also sets the byte sizes of the buffer list.
    void setFrameLength(UInt32 frames);

    // One pointer per channel; null for an interleaved format.
    float* const* floatChannelData() { return channels_.empty() ? nullptr : channels_.data(); }
    AudioBufferList* mutableAudioBufferList() { return storage_.list(); }
    const AudioBufferList* audioBufferList() const { return storage_.list(); }

private:
    AVAudioFormat format_;
    UInt32 frameCapacity_;
    UInt32 frameLength_ = 0;
    AudioBufferListStorage storage_;
    std::vector<float*> channels_;
};

}  // namespace velunto

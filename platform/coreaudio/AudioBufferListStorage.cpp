#include "platform/coreaudio/AudioBufferListStorage.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace velunto {

std::size_t AudioBufferListStorage::listByteSize(UInt32 bufferCount) {
    return offsetof(AudioBufferList, mBuffers) + std::max<UInt32>(bufferCount, 1) * sizeof(AudioBuffer);
}

AudioBufferListStorage::AudioBufferListStorage(const std::vector<UInt32>& channelsPerBuffer, UInt32 frames) {
    reshape(channelsPerBuffer, frames);
}

void AudioBufferListStorage::reshape(const std::vector<UInt32>& channelsPerBuffer, UInt32 frames) {
    channels_ = channelsPerBuffer;
    frames_ = frames;
    const auto count = static_cast<UInt32>(channels_.size());
    header_.assign((listByteSize(count) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), {});
    storage_.assign(std::accumulate(channels_.begin(), channels_.end(), std::size_t{0}) * frames, 0.0f);
    AudioBufferList* l = list();
    l->mNumberBuffers = count;
    float* next = storage_.data();
    for (UInt32 i = 0; i < count; ++i) {
        l->mBuffers[i].mNumberChannels = channels_[i];
        l->mBuffers[i].mData = next;
        next += static_cast<std::size_t>(channels_[i]) * frames;
    }
    clear();
}

void AudioBufferListStorage::clear() {
    AudioBufferList* l = list();
    for (UInt32 i = 0; i < l->mNumberBuffers; ++i)
        l->mBuffers[i].mDataByteSize = channels_[i] * frames_ * static_cast<UInt32>(sizeof(float));
    if (!storage_.empty())
        std::memset(storage_.data(), 0, storage_.size() * sizeof(float));
}

}  // namespace velunto

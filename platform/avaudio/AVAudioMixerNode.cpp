#include "platform/avaudio/AVAudioMixerNode.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velunto {

namespace {

// Medium quality with the pass band ending at 85 % of the lower Nyquist frequency, and transforms of
// at most 256 points: the output then trails the input by 1.3 to 4.8 ms at 44.1 -> 48 kHz in blocks
// of 441, where the defaults let it trail by up to 21 ms (it waits for a 1024-point block). Flat to
// 18.7 kHz and 96 dB of range are more than a microphone delivers; the cost is about 0.04 % of a core.
soxr_quality_spec_t resamplerQuality() {
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    quality.passband_end = 0.85;
    return quality;
}

soxr_runtime_spec_t resamplerRuntime() {
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // never a helper thread
    runtime.log2_min_dft_size = 6;
    runtime.log2_large_dft_size = 8;
    return runtime;
}

}  // namespace

AVAudioMixerNode::~AVAudioMixerNode() {
    unprepare();
}

bool AVAudioMixerNode::prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output,
                               UInt32 maxInputFrames, UInt32& maxOutputFrames, NSError* error) {
    unprepare();
    AVAudioNode::prepare(input, output, maxInputFrames, maxOutputFrames, error);
    const AVAudioFormat in = input.value_or(output);
    const UInt32 channels = output.channelCount();
    mixed_.assign(channels, std::vector<float>(maxInputFrames, 0.0f));
    mixedPointers_.clear();
    for (auto& channel : mixed_)
        mixedPointers_.push_back(channel.data());
    if (in.sampleRate() == output.sampleRate()) {
        maxOutputFrames = maxInputFrames;
        return true;
    }
    const double ratio = output.sampleRate() / in.sampleRate();
    outputCapacity_ = static_cast<UInt32>(std::ceil(maxInputFrames * ratio)) * 2 + 64;
    maxOutputFrames = outputCapacity_;
    soxr_error_t failure = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = resamplerQuality();
    const soxr_runtime_spec_t runtime = resamplerRuntime();
    resampler_ = soxr_create(in.sampleRate(), output.sampleRate(), channels, &failure, &io, &quality, &runtime);
    if (!resampler_ || failure) {
        if (error)
            *error = NSError::withCode("com.apple.coreaudio.avfaudio", -10868);
        resampler_ = nullptr;
        return false;
    }
    // Prime the resampler with silence in the block size it will see, so that it has grown every
    // internal buffer before the audio thread uses it.
    std::vector<std::vector<float>> scratch(channels, std::vector<float>(outputCapacity_));
    std::vector<float*> outPointers;
    for (auto& channel : scratch)
        outPointers.push_back(channel.data());
    for (int i = 0; i < 16; ++i) {
        size_t used = 0, made = 0;
        soxr_process(resampler_, mixedPointers_.data(), maxInputFrames, &used, outPointers.data(), outputCapacity_,
                     &made);
    }
    return true;
}

void AVAudioMixerNode::unprepare() {
    if (resampler_)
        soxr_delete(resampler_);
    resampler_ = nullptr;
}

// Real-time.
UInt32 AVAudioMixerNode::mixChannels(AVAudioPCMBuffer& input, UInt32 frames) {
    frames = std::min<UInt32>(frames, mixed_.empty() ? 0 : static_cast<UInt32>(mixed_[0].size()));
    float* const* in = input.floatChannelData();
    const UInt32 inChannels = input.format().channelCount();
    const auto outChannels = static_cast<UInt32>(mixed_.size());
    if (!in || inChannels == 0) {
        for (auto& channel : mixed_)
            std::fill_n(channel.data(), frames, 0.0f);
        return frames;
    }
    if (outChannels == 1 && inChannels > 1) {
        const float scale = 1.0f / static_cast<float>(inChannels);
        for (UInt32 i = 0; i < frames; ++i) {
            float sum = 0;
            for (UInt32 c = 0; c < inChannels; ++c)
                sum += in[c][i];
            mixed_[0][i] = sum * scale;
        }
    } else {
        for (UInt32 c = 0; c < outChannels; ++c)
            std::memcpy(mixed_[c].data(), in[c % inChannels], frames * sizeof(float));
    }
    return frames;
}

// Real-time.
UInt32 AVAudioMixerNode::render(const AudioTimeStamp&, AVAudioPCMBuffer* input, UInt32 frames,
                                AVAudioPCMBuffer& output) {
    if (!input)
        return 0;
    frames = mixChannels(*input, frames);
    float* const* out = output.floatChannelData();
    if (!resampler_) {
        for (std::size_t c = 0; c < mixed_.size(); ++c)
            std::memcpy(out[c], mixed_[c].data(), frames * sizeof(float));
        output.setFrameLength(frames);
        return frames;
    }
    size_t used = 0, made = 0;
    soxr_process(resampler_, mixedPointers_.data(), frames, &used, const_cast<float**>(out),
                 std::min(outputCapacity_, output.frameCapacity()), &made);
    output.setFrameLength(static_cast<UInt32>(made));
    return static_cast<UInt32>(made);
}

}  // namespace velunto

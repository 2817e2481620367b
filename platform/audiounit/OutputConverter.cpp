#include "platform/audiounit/OutputConverter.h"

#include "platform/mach/RealTimeContext.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace velunto {

namespace {

constexpr UInt32 kMaxClientChannels = 8;
// The resampler asks for input in pieces this small, so that it stops pulling soon after it has
// enough: the look-ahead it needs stays short.
constexpr std::size_t kResamplerInputPiece = 64;
// Device time the resampler is run on silence before use, in each of the two priming rounds.
constexpr double kPrimingSeconds = 0.25;

// Medium quality (16-bit precision, linear phase) with the pass band ending at 85 % of the lower
// Nyquist frequency instead of 91 %: the shorter filter halves the look-ahead (10 ms instead of 19 ms
// at 48 -> 44.1 kHz in 512-frame cycles), it is still flat to 18.7 kHz at 44.1 kHz, and 96 dB of
// dynamic range is more than a microphone delivers. Minimum phase would not shorten the look-ahead,
// which libsoxr's block processing sets, and would smear the waveform.
soxr_quality_spec_t resamplerQuality() {
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, SOXR_LINEAR_PHASE);
    quality.passband_end = 0.85;
    return quality;
}

void zeroOutput(AudioBufferList* output, UInt32 frames) {
    for (UInt32 b = 0; b < output->mNumberBuffers; ++b) {
        AudioBuffer& buffer = output->mBuffers[b];
        if (buffer.mData != nullptr) {
            const std::size_t bytes = std::min<std::size_t>(
                buffer.mDataByteSize, std::size_t{frames} * buffer.mNumberChannels * sizeof(float));
            std::memset(buffer.mData, 0, bytes);
        }
    }
}

}  // namespace

std::unique_ptr<OutputConverter> OutputConverter::create(const OutputConverterFormat& format, std::string* error) {
    const auto fail = [error](const char* message) -> std::unique_ptr<OutputConverter> {
        if (error != nullptr) {
            *error = message;
        }
        return nullptr;
    };
    if (format.clientChannels < 1 || format.clientChannels > kMaxClientChannels || format.deviceChannels < 1) {
        return fail("unsupported channel count");
    }
    if (!(format.clientRate > 0.0) || !(format.deviceRate > 0.0) || !std::isfinite(format.clientRate) ||
        !std::isfinite(format.deviceRate)) {
        return fail("unsupported sample rate");
    }
    if (format.maxFramesPerSlice < 1) {
        return fail("maximum frames per slice must be positive");
    }
    std::unique_ptr<OutputConverter> converter(new OutputConverter(format));
    if (format.clientRate != format.deviceRate && !converter->prime(error)) {
        return nullptr;
    }
    return converter;
}

OutputConverter::OutputConverter(const OutputConverterFormat& format)
    : format_(format),
      channels_(format.deviceChannels == 1 ? 1 : std::min(format.clientChannels, format.deviceChannels)),
      blockFrames_(std::max({format.maxFramesPerSlice, format.deviceFramesHint, UInt32{1}})),
      ratio_(format.clientRate / format.deviceRate),
      clientSamples_(std::size_t{format.clientChannels} * format.maxFramesPerSlice),
      clientListStorage_(offsetof(AudioBufferList, mBuffers) + kMaxClientChannels * sizeof(AudioBuffer)),
      staging_(std::size_t{channels_} * blockFrames_) {
    clientList_ = new (clientListStorage_.data()) AudioBufferList{};
}

OutputConverter::~OutputConverter() {
    if (resampler_ != nullptr) {
        soxr_delete(resampler_);
    }
}

bool OutputConverter::prime(std::string* error) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = resamplerQuality();
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // never a helper thread
    soxr_error_t soxrError = nullptr;
    resampler_ = soxr_create(format_.clientRate, format_.deviceRate, channels_, &soxrError, &io, &quality, &runtime);
    if (resampler_ == nullptr || soxrError != nullptr) {
        if (error != nullptr) {
            *error = soxrError != nullptr ? soxrError : "soxr_create failed";
        }
        return false;
    }
    const std::size_t piece = std::min<std::size_t>(kResamplerInputPiece, format_.maxFramesPerSlice);
    soxr_set_input_fn(resampler_, &OutputConverter::pullInput, this, piece);

    // Round one: with an empty look-ahead every pull renders exactly what the resampler asks for;
    // the most it has ever consumed beyond its output is the look-ahead it needs.
    priming_ = true;
    lookaheadCapacity_ = std::max<std::size_t>(piece, format_.maxFramesPerSlice);
    lookaheadSamples_.assign(lookaheadCapacity_ * channels_, 0.0f);
    const UInt32 usual = std::min(std::max(format_.deviceFramesHint, UInt32{1}), blockFrames_);
    const auto cycles = static_cast<UInt32>(std::ceil(kPrimingSeconds * format_.deviceRate / usual));
    double deepest = 0.0;
    const auto runPattern = [&](auto step) {
        for (UInt32 i = 0; i < cycles + 8; ++i) {
            step(i < cycles ? usual : blockFrames_);
        }
    };
    runPattern([&](UInt32 frames) {
        if (soxr_output(resampler_, staging_.data(), frames) != frames) {
            return;
        }
        produced_ += frames;
        deepest = std::max(deepest, soxr_delay(resampler_));
    });
    if (soxr_error(resampler_) != nullptr) {
        if (error != nullptr) {
            *error = soxr_error(resampler_);
        }
        return false;
    }
    lookahead_ = std::ceil(deepest) + 1.0;
    lookaheadCapacity_ =
        std::max(lookaheadCapacity_, static_cast<std::size_t>(std::ceil((blockFrames_ + lookahead_) * ratio_)) + 8);
    lookaheadSamples_.assign(lookaheadCapacity_ * channels_, 0.0f);
    lookaheadBegin_ = lookaheadEnd_ = 0;

    // Round two: the steady pattern on silence, which also settles every buffer libsoxr grows.
    runPattern([&](UInt32 frames) { renderResampled(frames); });
    priming_ = false;
    clientFrames_ = 0;
    return soxr_error(resampler_) == nullptr;
}

bool OutputConverter::render(UInt32 frames, UInt64 hostTime, AudioBufferList* output) {
    if (output == nullptr) {
        return false;
    }
    hostTime_ = hostTime;
    cycleFailed_ = false;
    for (UInt32 done = 0; done < frames;) {
        const UInt32 n = std::min(frames - done, blockFrames_);
        if (resampler_ != nullptr) {
            renderResampled(n);
        } else {
            renderDirect(n);
        }
        scatter(n, output, done);
        done += n;
    }
    if (cycleFailed_) {
        zeroOutput(output, frames);
        return false;
    }
    return true;
}

void OutputConverter::renderDirect(UInt32 frames) {
    for (UInt32 done = 0; done < frames;) {
        const UInt32 n = std::min(frames - done, format_.maxFramesPerSlice);
        renderSlice(n, staging_.data() + std::size_t{done} * channels_);
        done += n;
    }
}

void OutputConverter::renderResampled(UInt32 frames) {
    // Keep the client side `lookahead_` device frames ahead of what this block will consume.
    const auto target = static_cast<std::uint64_t>(std::ceil((produced_ + frames + lookahead_) * ratio_)) + 1;
    if (target > supplied_) {
        fillLookahead(target - supplied_);
    }
    const std::size_t got = soxr_output(resampler_, staging_.data(), frames);
    if (got < frames) {
        std::fill(staging_.begin() + static_cast<std::ptrdiff_t>(got * channels_),
                  staging_.begin() + static_cast<std::ptrdiff_t>(std::size_t{frames} * channels_), 0.0f);
        cycleFailed_ = true;
    }
    produced_ += frames;
}

void OutputConverter::fillLookahead(std::uint64_t frames) {
    while (frames > 0) {
        if (lookaheadEnd_ == lookaheadCapacity_ ||
            (lookaheadBegin_ > 0 && lookaheadEnd_ + frames > lookaheadCapacity_)) {
            std::memmove(lookaheadSamples_.data(), lookaheadSamples_.data() + lookaheadBegin_ * channels_,
                         (lookaheadEnd_ - lookaheadBegin_) * channels_ * sizeof(float));
            lookaheadEnd_ -= lookaheadBegin_;
            lookaheadBegin_ = 0;
        }
        const auto n = static_cast<UInt32>(
            std::min<std::uint64_t>({frames, format_.maxFramesPerSlice, lookaheadCapacity_ - lookaheadEnd_}));
        if (n == 0) {
            return;
        }
        renderSlice(n, lookaheadSamples_.data() + lookaheadEnd_ * channels_);
        lookaheadEnd_ += n;
        supplied_ += n;
        frames -= n;
    }
}

std::size_t OutputConverter::pullInput(void* state, const void** data, std::size_t requested) {
    auto* self = static_cast<OutputConverter*>(state);
    if (self->lookaheadEnd_ == self->lookaheadBegin_) {
        // The look-ahead ran dry (only while priming, or if the device's cycle grows): render what the
        // resampler asks for now. Later blocks render that much less.
        self->lookaheadBegin_ = self->lookaheadEnd_ = 0;
        self->fillLookahead(std::max<std::size_t>(requested, 1));
    }
    const std::size_t given = std::min(requested, self->lookaheadEnd_ - self->lookaheadBegin_);
    *data = self->lookaheadSamples_.data() + self->lookaheadBegin_ * self->channels_;
    self->lookaheadBegin_ += given;  // libsoxr copies the piece before it asks again
    return given;
}

void OutputConverter::renderSlice(UInt32 frames, float* destination) {
    const std::size_t carried = channels_;
    if (priming_ || callback_.inputProc == nullptr) {
        std::fill_n(destination, std::size_t{frames} * carried, 0.0f);
        if (!priming_) {
            clientFrames_ += frames;
        }
        return;
    }
    const UInt32 clientChannels = format_.clientChannels;
    const bool interleaved = format_.clientInterleaved;
    clientList_->mNumberBuffers = interleaved ? 1 : clientChannels;
    for (UInt32 b = 0; b < clientList_->mNumberBuffers; ++b) {
        AudioBuffer& buffer = clientList_->mBuffers[b];
        buffer.mNumberChannels = interleaved ? clientChannels : 1;
        buffer.mDataByteSize = static_cast<UInt32>(frames * buffer.mNumberChannels * sizeof(float));
        buffer.mData = clientSamples_.data() + std::size_t{b} * format_.maxFramesPerSlice;
    }
    AudioTimeStamp timeStamp{};
    timeStamp.mSampleTime = static_cast<Float64>(clientFrames_);
    timeStamp.mHostTime = hostTime_;
    timeStamp.mRateScalar = 1.0;
    timeStamp.mFlags = kAudioTimeStampSampleHostTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    OSStatus status;
    {
        const RealTimeContext::Scope realTime;
        status = callback_.inputProc(callback_.inputProcRefCon, &flags, &timeStamp, 0, frames, clientList_);
    }
    clientFrames_ += frames;

    // The callback may have pointed the buffers elsewhere; use them only if they still hold the frames.
    bool usable = status == noErr && (flags & kAudioUnitRenderAction_OutputIsSilence) == 0 &&
                  clientList_->mNumberBuffers >= (interleaved ? 1 : clientChannels);
    const std::size_t perBuffer = std::size_t{frames} * (interleaved ? clientChannels : 1) * sizeof(float);
    for (UInt32 b = 0; usable && b < (interleaved ? 1 : clientChannels); ++b) {
        usable = clientList_->mBuffers[b].mData != nullptr && clientList_->mBuffers[b].mDataByteSize >= perBuffer;
    }
    if (!usable) {
        std::fill_n(destination, std::size_t{frames} * carried, 0.0f);
        cycleFailed_ = true;
        return;
    }
    const auto sample = [&](UInt32 frame, UInt32 channel) {
        return interleaved ? static_cast<const float*>(
                                 clientList_->mBuffers[0].mData)[std::size_t{frame} * clientChannels + channel]
                           : static_cast<const float*>(clientList_->mBuffers[channel].mData)[frame];
    };
    if (carried == 1 && clientChannels > 1) {
        const float scale = 1.0f / static_cast<float>(clientChannels);
        for (UInt32 f = 0; f < frames; ++f) {
            float sum = 0.0f;
            for (UInt32 c = 0; c < clientChannels; ++c) {
                sum += sample(f, c);
            }
            destination[f] = sum * scale;
        }
    } else if (interleaved && carried == clientChannels) {
        std::memcpy(destination, clientList_->mBuffers[0].mData, std::size_t{frames} * carried * sizeof(float));
    } else {
        for (UInt32 f = 0; f < frames; ++f) {
            for (UInt32 c = 0; c < carried; ++c) {
                destination[std::size_t{f} * carried + c] = sample(f, c);
            }
        }
    }
}

void OutputConverter::scatter(UInt32 frames, AudioBufferList* output, UInt32 frameOffset) const {
    UInt32 firstChannel = 0;
    for (UInt32 b = 0; b < output->mNumberBuffers; ++b) {
        AudioBuffer& buffer = output->mBuffers[b];
        const UInt32 width = buffer.mNumberChannels;
        const UInt32 base = firstChannel;
        firstChannel += width;
        if (buffer.mData == nullptr ||
            buffer.mDataByteSize < std::size_t{frameOffset + frames} * width * sizeof(float)) {
            continue;
        }
        float* out = static_cast<float*>(buffer.mData) + std::size_t{frameOffset} * width;
        if (base == 0 && width == channels_) {
            std::memcpy(out, staging_.data(), std::size_t{frames} * width * sizeof(float));
            continue;
        }
        for (UInt32 f = 0; f < frames; ++f) {
            for (UInt32 c = 0; c < width; ++c) {
                const UInt32 channel = base + c;
                out[std::size_t{f} * width + c] =
                    channel < channels_ ? staging_[std::size_t{f} * channels_ + channel] : 0.0f;
            }
        }
    }
}

}  // namespace velunto

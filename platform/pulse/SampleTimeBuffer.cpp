#include "platform/pulse/SampleTimeBuffer.h"

#include <bit>

namespace velunto {

namespace {

std::uint32_t roundedCapacity(std::uint32_t frames) {
    return std::bit_ceil(frames < 2 ? 2u : frames);
}

}  // namespace

SampleTimeBuffer::SampleTimeBuffer(std::uint32_t channels, std::uint32_t capacityFrames)
    : channels_(channels < 1 ? 1 : channels),
      mask_(roundedCapacity(capacityFrames) - 1),
      times_(std::make_unique<std::atomic<std::int64_t>[]>(std::size_t{mask_} + 1)),
      samples_(std::make_unique<std::atomic<float>[]>((std::size_t{mask_} + 1) * channels_)) {
    clear();
}

void SampleTimeBuffer::clear() {
    for (std::uint32_t slot = 0; slot <= mask_; ++slot)
        times_[slot].store(kEmpty, std::memory_order_relaxed);
}

// real-time
void SampleTimeBuffer::write(std::int64_t sampleTime, const float* interleaved, std::uint32_t frames) {
    for (std::uint32_t f = 0; f < frames; ++f) {
        const std::int64_t time = sampleTime + f;
        const std::size_t slot = static_cast<std::uint64_t>(time) & mask_;
        // A sequence lock per slot: marked empty, filled (each store releasing the mark before it), stamped.
        times_[slot].store(kEmpty, std::memory_order_relaxed);
        std::atomic<float>* out = &samples_[slot * channels_];
        for (std::uint32_t c = 0; c < channels_; ++c)
            out[c].store(interleaved[std::size_t{f} * channels_ + c], std::memory_order_release);
        times_[slot].store(time, std::memory_order_release);
    }
}

// real-time
std::uint32_t SampleTimeBuffer::read(std::int64_t sampleTime, float* interleaved, std::uint32_t frames) const {
    std::uint32_t held = 0;
    for (std::uint32_t f = 0; f < frames; ++f) {
        const std::int64_t time = sampleTime + f;
        const std::size_t slot = static_cast<std::uint64_t>(time) & mask_;
        float* out = interleaved + std::size_t{f} * channels_;
        bool valid = times_[slot].load(std::memory_order_acquire) == time;
        if (valid) {
            const std::atomic<float>* in = &samples_[slot * channels_];
            for (std::uint32_t c = 0; c < channels_; ++c)
                out[c] = in[c].load(std::memory_order_acquire);
            valid = times_[slot].load(std::memory_order_relaxed) == time;  // not overwritten meanwhile
        }
        if (valid) {
            ++held;
        } else {
            for (std::uint32_t c = 0; c < channels_; ++c)
                out[c] = 0.0f;
        }
    }
    return held;
}

}  // namespace velunto

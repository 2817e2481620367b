#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace velunto {

// Interleaved frames kept at their sample time, for one writer and one reader thread. Every slot
// carries the sample time it holds, so a reader never takes a frame written for another lap of the
// buffer, nor one being overwritten while it copies: such frames read as silence.
class SampleTimeBuffer {
public:
    // The capacity is rounded up to a power of two.
    SampleTimeBuffer(std::uint32_t channels, std::uint32_t capacityFrames);
    SampleTimeBuffer(const SampleTimeBuffer&) = delete;
    SampleTimeBuffer& operator=(const SampleTimeBuffer&) = delete;

    std::uint32_t channels() const { return channels_; }
    std::uint32_t capacity() const { return mask_ + 1; }

    // real-time, writer: places `frames` frames from sampleTime on.
    void write(std::int64_t sampleTime, const float* interleaved, std::uint32_t frames);
    // real-time, reader: copies the frames from sampleTime on; those not held are zeros. Returns how
    // many were held.
    std::uint32_t read(std::int64_t sampleTime, float* interleaved, std::uint32_t frames) const;
    // Only while neither side runs: forget everything.
    void clear();

private:
    static constexpr std::int64_t kEmpty = INT64_MIN;

    const std::uint32_t channels_;
    const std::uint32_t mask_;
    const std::unique_ptr<std::atomic<std::int64_t>[]> times_;
    const std::unique_ptr<std::atomic<float>[]> samples_;
};

}  // namespace velunto

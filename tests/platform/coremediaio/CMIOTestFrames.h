#pragma once

// Frames with a counter, two time stamps and a checksum in their first bytes, for checking that
// frames cross whole and in order.

#include <time.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/coremedia/CMSampleBuffer.h"
#include "platform/corevideo/CVPixelBufferPool.h"

namespace velunto::cmiotest {

struct FrameStamp {
    std::uint64_t counter;
    std::uint64_t enqueuedAt;  // CLOCK_MONOTONIC ns
    std::uint64_t consumedAt;  // written by the provider when it consumes the frame
    std::uint64_t checksum;    // of every image byte after the first 64 of row 0
};

inline std::uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

inline std::uint64_t imageChecksum(const CVPixelBuffer& buffer) {
    auto& mutableBuffer = const_cast<CVPixelBuffer&>(buffer);
    const auto* base = static_cast<const std::uint8_t*>(mutableBuffer.baseAddress());
    const std::size_t rowBytes = buffer.width() * 4;
    std::uint64_t hash = 1469598103934665603ull;
    for (std::size_t row = 0; row < buffer.height(); ++row) {
        const std::uint8_t* line = base + row * buffer.bytesPerRow();
        for (std::size_t i = row == 0 ? 64 : 0; i < rowBytes; ++i)
            hash = (hash ^ line[i]) * 1099511628211ull;
    }
    return hash;
}

inline FrameStamp readStamp(const CVPixelBuffer& buffer) {
    FrameStamp stamp;
    std::memcpy(&stamp, const_cast<CVPixelBuffer&>(buffer).baseAddress(), sizeof stamp);
    return stamp;
}

inline void writeConsumedAt(CVPixelBuffer& buffer, std::uint64_t at) {
    std::memcpy(static_cast<std::uint8_t*>(buffer.baseAddress()) + offsetof(FrameStamp, consumedAt), &at, sizeof at);
}

inline void writeEnqueuedAt(CVPixelBuffer& buffer, std::uint64_t at) {
    std::memcpy(static_cast<std::uint8_t*>(buffer.baseAddress()) + offsetof(FrameStamp, enqueuedAt), &at, sizeof at);
}

// Fills a BGRA buffer with a pattern of the counter and stamps it.
inline void paint(CVPixelBuffer& buffer, std::uint64_t counter) {
    auto* base = static_cast<std::uint8_t*>(buffer.baseAddress());
    for (std::size_t row = 0; row < buffer.height(); ++row) {
        std::uint8_t* line = base + row * buffer.bytesPerRow();
        for (std::size_t i = 0; i < buffer.width() * 4; ++i)
            line[i] = static_cast<std::uint8_t>(counter * 31 + row * 7 + i * 13);
    }
    FrameStamp stamp{counter, monotonicNanoseconds(), 0, imageChecksum(buffer)};
    std::memcpy(base, &stamp, sizeof stamp);
}

inline bool isWhole(const CVPixelBuffer& buffer) {
    return readStamp(buffer).checksum == imageChecksum(buffer);
}

inline CMSampleBufferRef makeFrame(const std::shared_ptr<CVPixelBuffer>& buffer, std::uint64_t counter) {
    paint(*buffer, counter);
    std::shared_ptr<const CMVideoFormatDescription> description;
    CMVideoFormatDescription::createForImageBuffer(*buffer, &description);
    CMSampleBufferRef sampleBuffer;
    CMSampleTimingInfo timing{CMTimeMake(1, 30), CMTimeMake(static_cast<std::int64_t>(counter), 30), kCMTimeInvalid};
    CMSampleBuffer::createReadyWithImageBuffer(buffer, description, timing, &sampleBuffer);
    return sampleBuffer;
}

inline CMSampleBufferRef makeFrame(std::size_t width, std::size_t height, std::uint64_t counter) {
    std::shared_ptr<CVPixelBuffer> buffer;
    if (CVPixelBuffer::create(width, height, kCVPixelFormatType_32BGRA, &buffer) != kCVReturnSuccess)
        return nullptr;
    return makeFrame(buffer, counter);
}

}  // namespace velunto::cmiotest

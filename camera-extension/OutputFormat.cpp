#include "camera-extension/OutputFormat.h"

#include <cstdint>
#include <string>

#include "platform/foundation/FatalError.h"

namespace velunto {

OutputFormat::OutputFormat(std::size_t w, std::size_t h) : width(w), height(h) {
    if (CMVideoFormatDescription::create(kCVPixelFormatType_32BGRA, static_cast<std::int32_t>(w),
                                         static_cast<std::int32_t>(h), &formatDescription) != 0 ||
        !formatDescription)
        fatalError(
            ("Formatbeschreibung " + std::to_string(w) + " × " + std::to_string(h) + " konnte nicht angelegt werden.")
                .c_str());
    if (CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, w, h}, &pool) != kCVReturnSuccess)
        pool.reset();
    if (pool && pool->createPixelBuffer(&blackPixelBuffer) == kCVReturnSuccess && blackPixelBuffer) {
        // Every word of every row, padding included: blue 0, green 0, red 0, alpha 255.
        blackPixelBuffer->lockBaseAddress(false);
        auto* words = static_cast<std::uint32_t*>(blackPixelBuffer->baseAddress());
        const std::size_t count = blackPixelBuffer->bytesPerRow() * blackPixelBuffer->height() / 4;
        for (std::size_t i = 0; i < count; ++i)
            words[i] = 0xFF000000u;
        blackPixelBuffer->unlockBaseAddress(false);
    } else {
        blackPixelBuffer.reset();
    }
}

}  // namespace velunto

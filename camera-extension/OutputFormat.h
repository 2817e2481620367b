#pragma once

#include <cstddef>
#include <memory>

#include "platform/coremedia/CMFormatDescription.h"
#include "platform/corevideo/CVPixelBuffer.h"
#include "platform/corevideo/CVPixelBufferPool.h"

namespace velunto {

// One picture size the virtual camera offers: its BGRA format description, a pool of shareable
// buffers of that size and an opaque black frame made once.
class OutputFormat {
public:
    // Stops the process if the format description cannot be made.
    OutputFormat(std::size_t width, std::size_t height);

    const std::size_t width;
    const std::size_t height;
    std::shared_ptr<const CMVideoFormatDescription> formatDescription;
    std::shared_ptr<CVPixelBufferPool> pool;
    std::shared_ptr<CVPixelBuffer> blackPixelBuffer;
};

}  // namespace velunto

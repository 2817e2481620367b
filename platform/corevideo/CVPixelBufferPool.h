#pragma once

#include <cstddef>
#include <memory>

#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

struct CVPixelBufferPoolAttributes {
    OSType pixelFormat;
    std::size_t width;
    std::size_t height;
};

// Recycles pixel buffers of one format and size. Thread-safe. The pool keeps its own handle on every
// buffer it made; a buffer handed out goes back to the pool when the last copy of the returned
// shared_ptr goes, and is lent again only once no other process maps it either (its shared use count
// is back to the pool's 1). Buffers still out keep the pool's storage alive after the pool goes.
class CVPixelBufferPool {
public:
    // The platform's own pools grow without a limit; ours stops at about four seconds of 30 fps
    // video, enough for frames held back by a picture delay.
    static constexpr std::size_t kDefaultMaximumBufferCount = 128;

    // kCVReturnInvalidPixelFormat / kCVReturnInvalidSize as CVPixelBuffer::create would.
    static CVReturn create(const CVPixelBufferPoolAttributes& attributes, std::shared_ptr<CVPixelBufferPool>* out);

    // A free buffer, or a new one. Buffers are reused, never shrunk; at most maximumBufferCount
    // exist; beyond that: kCVReturnPoolAllocationFailed.
    CVReturn createPixelBuffer(std::shared_ptr<CVPixelBuffer>* out);

    const CVPixelBufferPoolAttributes& attributes() const { return attributes_; }
    std::size_t bufferCount() const;
    // Buffers currently out (held in this process or mapped elsewhere).
    std::size_t buffersInUse() const;
    void setMaximumBufferCount(std::size_t n);
    std::size_t maximumBufferCount() const;

private:
    struct Storage;

    CVPixelBufferPool(const CVPixelBufferPoolAttributes& attributes);

    CVPixelBufferPoolAttributes attributes_;
    std::shared_ptr<Storage> storage_;
};

}  // namespace velunto

#pragma once

#include <cstdint>
#include <memory>

#include "platform/corefoundation/MacTypes.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

enum : OSStatus { kCMFormatDescriptionError_InvalidParameter = -12710 };

// Describes the frames of a video stream: codec (for uncompressed video, the pixel format) and size.
class CMVideoFormatDescription {
public:
    // 0, or kCMFormatDescriptionError_InvalidParameter for a size <= 0 or a null out.
    static OSStatus create(OSType codecType, std::int32_t width, std::int32_t height,
                           std::shared_ptr<const CMVideoFormatDescription>* out);
    static OSStatus createForImageBuffer(const CVPixelBuffer& buffer,
                                         std::shared_ptr<const CMVideoFormatDescription>* out);

    OSType mediaSubType() const { return codecType_; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    bool matchesImageBuffer(const CVPixelBuffer& buffer) const;  // same format and size
    bool operator==(const CMVideoFormatDescription& other) const = default;

private:
    CMVideoFormatDescription(OSType codecType, std::int32_t width, std::int32_t height)
        : codecType_(codecType), width_(width), height_(height) {}

    OSType codecType_;
    std::int32_t width_;
    std::int32_t height_;
};

}  // namespace velunto

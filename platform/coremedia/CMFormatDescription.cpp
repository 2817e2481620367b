#include "platform/coremedia/CMFormatDescription.h"

namespace velunto {

OSStatus CMVideoFormatDescription::create(OSType codecType, std::int32_t width, std::int32_t height,
                                          std::shared_ptr<const CMVideoFormatDescription>* out) {
    if (out == nullptr) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    out->reset();
    if (width <= 0 || height <= 0) {
        return kCMFormatDescriptionError_InvalidParameter;
    }
    out->reset(new CMVideoFormatDescription(codecType, width, height));
    return noErr;
}

OSStatus CMVideoFormatDescription::createForImageBuffer(const CVPixelBuffer& buffer,
                                                        std::shared_ptr<const CMVideoFormatDescription>* out) {
    // A pixel buffer is never larger than CVPixelBuffer::kMaximumDimension, so the sizes fit.
    return create(buffer.pixelFormatType(), static_cast<std::int32_t>(buffer.width()),
                  static_cast<std::int32_t>(buffer.height()), out);
}

bool CMVideoFormatDescription::matchesImageBuffer(const CVPixelBuffer& buffer) const {
    return buffer.pixelFormatType() == codecType_ && buffer.width() == static_cast<std::size_t>(width_) &&
           buffer.height() == static_cast<std::size_t>(height_);
}

}  // namespace velunto

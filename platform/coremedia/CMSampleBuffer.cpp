#include "platform/coremedia/CMSampleBuffer.h"

namespace velunto {

OSStatus CMSampleBuffer::createReadyWithImageBuffer(std::shared_ptr<CVPixelBuffer> imageBuffer,
                                                    std::shared_ptr<const CMVideoFormatDescription> formatDescription,
                                                    const CMSampleTimingInfo& timing,
                                                    std::shared_ptr<CMSampleBuffer>* out) {
    if (out == nullptr) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    out->reset();
    if (!imageBuffer || !formatDescription) {
        return kCMSampleBufferError_RequiredParameterMissing;
    }
    if (!formatDescription->matchesImageBuffer(*imageBuffer)) {
        return kCMSampleBufferError_InvalidMediaFormat;
    }
    out->reset(new CMSampleBuffer(std::move(imageBuffer), std::move(formatDescription), timing));
    return noErr;
}

}  // namespace velunto

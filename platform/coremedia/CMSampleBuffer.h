#pragma once

#include <memory>

#include "platform/corefoundation/MacTypes.h"
#include "platform/coremedia/CMFormatDescription.h"
#include "platform/coremedia/CMTime.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

enum : OSStatus {
    kCMSampleBufferError_RequiredParameterMissing = -12731,
    kCMSampleBufferError_InvalidMediaFormat = -12743,
};

// One video frame: the image, its format description and its timing. Immutable once made.
class CMSampleBuffer {
public:
    // kCMSampleBufferError_RequiredParameterMissing without buffer, description or out;
    // kCMSampleBufferError_InvalidMediaFormat when the description does not match the buffer.
    static OSStatus createReadyWithImageBuffer(std::shared_ptr<CVPixelBuffer> imageBuffer,
                                               std::shared_ptr<const CMVideoFormatDescription> formatDescription,
                                               const CMSampleTimingInfo& timing, std::shared_ptr<CMSampleBuffer>* out);

    const std::shared_ptr<CVPixelBuffer>& imageBuffer() const { return imageBuffer_; }
    const std::shared_ptr<const CMVideoFormatDescription>& formatDescription() const { return formatDescription_; }
    const CMSampleTimingInfo& timing() const { return timing_; }
    CMTime presentationTimeStamp() const { return timing_.presentationTimeStamp; }
    CMTime duration() const { return timing_.duration; }

private:
    CMSampleBuffer(std::shared_ptr<CVPixelBuffer> imageBuffer,
                   std::shared_ptr<const CMVideoFormatDescription> formatDescription, const CMSampleTimingInfo& timing)
        : imageBuffer_(std::move(imageBuffer)), formatDescription_(std::move(formatDescription)), timing_(timing) {}

    std::shared_ptr<CVPixelBuffer> imageBuffer_;
    std::shared_ptr<const CMVideoFormatDescription> formatDescription_;
    CMSampleTimingInfo timing_;
};

using CMSampleBufferRef = std::shared_ptr<CMSampleBuffer>;

}  // namespace velunto

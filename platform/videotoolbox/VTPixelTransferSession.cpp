#include "platform/videotoolbox/VTPixelTransferSession.h"

#include <libyuv.h>

#include <algorithm>
#include <bit>
#include <cstring>

namespace velunto {

namespace {

constexpr std::uint32_t kOpaqueBlack = 0xFF000000;  // A=255, R=G=B=0 (bytes 0,0,0,255 in memory)
constexpr libyuv::FilterMode kScaleFilter = libyuv::kFilterBox;

// Sizes and strides of pixel buffers are bounded well below INT_MAX (see CVPixelBuffer).
int asInt(std::size_t value) {
    return static_cast<int>(value);
}

const std::uint8_t* planeBytes(const CVPixelBuffer& buffer, std::size_t plane) {
    return static_cast<const std::uint8_t*>(buffer.baseAddressOfPlane(plane));
}

// Converts the whole source, at its own size, into BGRA at dst.
void convertToBGRA(const CVPixelBuffer& source, std::uint8_t* dst, std::size_t dstStride) {
    const int width = asInt(source.width());
    const int height = asInt(source.height());
    const int stride = asInt(dstStride);
    switch (source.pixelFormatType()) {
        case kCVPixelFormatType_32BGRA:
            libyuv::ARGBCopy(planeBytes(source, 0), asInt(source.bytesPerRowOfPlane(0)), dst, stride, width, height);
            break;
        case kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange:
        case kCVPixelFormatType_420YpCbCr8BiPlanarFullRange: {
            const bool fullRange = source.pixelFormatType() == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
            libyuv::NV12ToARGBMatrix(planeBytes(source, 0), asInt(source.bytesPerRowOfPlane(0)), planeBytes(source, 1),
                                     asInt(source.bytesPerRowOfPlane(1)), dst, stride,
                                     fullRange ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants, width,
                                     height);
            break;
        }
        case kCVPixelFormatType_422YpCbCr8_yuvs:
            libyuv::YUY2ToARGB(planeBytes(source, 0), asInt(source.bytesPerRowOfPlane(0)), dst, stride, width, height);
            break;
        case kCVPixelFormatType_422YpCbCr8:
            libyuv::UYVYToARGB(planeBytes(source, 0), asInt(source.bytesPerRowOfPlane(0)), dst, stride, width, height);
            break;
        default:
            break;
    }
}

void fill(std::uint8_t* dst, std::size_t stride, std::size_t x, std::size_t y, std::size_t width, std::size_t height) {
    if (width > 0 && height > 0) {
        libyuv::ARGBRect(dst, asInt(stride), asInt(x), asInt(y), asInt(width), asInt(height), kOpaqueBlack);
    }
}

bool isOpaque(const CVPixelBuffer& buffer) {
    static_assert(std::endian::native == std::endian::little, "alpha is the top byte of a BGRA word");
    const std::size_t stride = buffer.bytesPerRowOfPlane(0);
    const std::size_t width = buffer.width();
    const std::uint8_t* rows = planeBytes(buffer, 0);
    for (std::size_t y = 0; y < buffer.height(); ++y) {
        const std::uint8_t* px = rows + y * stride;
        std::uint32_t all = 0xFFFFFFFF;  // AND of the row's pixels: vectorises well
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t word;
            std::memcpy(&word, px + 4 * x, sizeof word);
            all &= word;
        }
        if ((all >> 24) != 0xFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

OSStatus VTPixelTransferSession::create(std::shared_ptr<VTPixelTransferSession>* out) {
    if (out == nullptr) {
        return kVTParameterErr;
    }
    out->reset(new VTPixelTransferSession());
    return noErr;
}

void VTPixelTransferSession::setScalingMode(std::string_view mode) {
    if (mode == kVTScalingMode_Normal) {
        letterbox_ = false;
    } else if (mode == kVTScalingMode_Letterbox) {
        letterbox_ = true;
    }
}

std::string_view VTPixelTransferSession::scalingMode() const {
    return letterbox_ ? kVTScalingMode_Letterbox : kVTScalingMode_Normal;
}

bool VTPixelTransferSession::supportsTransfer(OSType sourceFormat, OSType destinationFormat) {
    return destinationFormat == kCVPixelFormatType_32BGRA && CVPixelBuffer::isSupportedPixelFormat(sourceFormat);
}

VTPixelTransferRect VTPixelTransferSession::destinationRect(std::size_t sourceWidth, std::size_t sourceHeight,
                                                            std::size_t destinationWidth, std::size_t destinationHeight,
                                                            bool letterbox) {
    if (!letterbox || sourceWidth == 0 || sourceHeight == 0) {
        return {0, 0, destinationWidth, destinationHeight};
    }
    std::size_t width = destinationWidth;
    std::size_t height = destinationHeight;
    if (sourceWidth * destinationHeight >= destinationWidth * sourceHeight) {
        // Relatively wider source: full width, bars above and below. Rounded to nearest.
        height = (2 * destinationWidth * sourceHeight + sourceWidth) / (2 * sourceWidth);
    } else {
        width = (2 * destinationHeight * sourceWidth + sourceHeight) / (2 * sourceHeight);
    }
    width = std::clamp<std::size_t>(width, 1, destinationWidth);
    height = std::clamp<std::size_t>(height, 1, destinationHeight);
    return {(destinationWidth - width) / 2, (destinationHeight - height) / 2, width, height};
}

OSStatus VTPixelTransferSession::transferImage(const CVPixelBuffer* source, CVPixelBuffer* destination) {
    if (source == nullptr || destination == nullptr) {
        return kVTParameterErr;
    }
    return transferImage(*source, *destination);
}

OSStatus VTPixelTransferSession::transferImage(const CVPixelBuffer& source, CVPixelBuffer& destination) {
    if (!supportsTransfer(source.pixelFormatType(), destination.pixelFormatType())) {
        return kVTPixelTransferNotSupportedErr;
    }
    if (&source == &destination) {
        return noErr;
    }
    const std::size_t dstStride = destination.bytesPerRowOfPlane(0);
    auto* dst = static_cast<std::uint8_t*>(destination.baseAddressOfPlane(0));
    const VTPixelTransferRect rect =
        destinationRect(source.width(), source.height(), destination.width(), destination.height(), letterbox_);

    // Bars: full rows above and below, then the sides of the picture's rows.
    fill(dst, dstStride, 0, 0, destination.width(), rect.y);
    fill(dst, dstStride, 0, rect.y + rect.height, destination.width(), destination.height() - rect.y - rect.height);
    fill(dst, dstStride, 0, rect.y, rect.x, rect.height);
    fill(dst, dstStride, rect.x + rect.width, rect.y, destination.width() - rect.x - rect.width, rect.height);

    std::uint8_t* target = dst + rect.y * dstStride + rect.x * 4;
    if (rect.width == source.width() && rect.height == source.height()) {
        convertToBGRA(source, target, dstStride);
    } else if (source.pixelFormatType() == kCVPixelFormatType_32BGRA) {
        scaleBGRA(source, target, dstStride, rect.width, rect.height);
    } else {
        scaleYUV(source, target, dstStride, rect.width, rect.height);
    }
    return noErr;
}

std::uint8_t* VTPixelTransferSession::scratch(std::size_t bytes) {
    if (scratch_.size() < bytes) {
        scratch_.resize(bytes);
    }
    return scratch_.data();
}

// libyuv's interleaved BGRA filter loses up to 2 levels per channel on flat areas. The colour
// channels keep that (within tolerance); alpha is put right afterwards so an opaque picture stays
// exactly opaque: set to 255 when the source is opaque, else scaled on its own plane.
void VTPixelTransferSession::scaleBGRA(const CVPixelBuffer& source, std::uint8_t* target, std::size_t targetStride,
                                       std::size_t width, std::size_t height) {
    const std::size_t sw = source.width();
    const std::size_t sh = source.height();
    const std::uint8_t* from = planeBytes(source, 0);
    const int fromStride = asInt(source.bytesPerRowOfPlane(0));
    libyuv::ARGBScale(from, fromStride, asInt(sw), asInt(sh), target, asInt(targetStride), asInt(width), asInt(height),
                      kScaleFilter);
    if (isOpaque(source)) {
        std::uint8_t* opaqueRow = scratch(width);
        std::memset(opaqueRow, 0xFF, width);
        libyuv::ARGBCopyYToAlpha(opaqueRow, 0, target, asInt(targetStride), asInt(width), asInt(height));
        return;
    }
    std::uint8_t* alpha = scratch(sw * sh + width * height);
    std::uint8_t* scaledAlpha = alpha + sw * sh;
    libyuv::ARGBExtractAlpha(from, fromStride, alpha, asInt(sw), asInt(sw), asInt(sh));
    libyuv::ScalePlane(alpha, asInt(sw), asInt(sw), asInt(sh), scaledAlpha, asInt(width), asInt(width), asInt(height),
                       kScaleFilter);
    libyuv::ARGBCopyYToAlpha(scaledAlpha, asInt(width), target, asInt(targetStride), asInt(width), asInt(height));
}

// YUV sources are scaled as separate planes (exact on flat areas, unlike the interleaved filters),
// then converted straight into the destination.
void VTPixelTransferSession::scaleYUV(const CVPixelBuffer& source, std::uint8_t* target, std::size_t targetStride,
                                      std::size_t width, std::size_t height) {
    const OSType format = source.pixelFormatType();
    const bool biPlanar = source.planeCount() == 2;
    const std::size_t sw = source.width();
    const std::size_t sh = source.height();
    const std::size_t scw = (sw + 1) / 2;
    const std::size_t sch = biPlanar ? (sh + 1) / 2 : sh;
    const std::size_t dcw = (width + 1) / 2;
    const std::size_t dch = biPlanar ? (height + 1) / 2 : height;

    const std::size_t sourceLuma = biPlanar ? 0 : sw * sh;  // NV12 luma is scaled from the buffer itself
    std::uint8_t* y = scratch(sourceLuma + 2 * scw * sch + width * height + 2 * dcw * dch);
    std::uint8_t* u = y + sourceLuma;
    std::uint8_t* v = u + scw * sch;
    std::uint8_t* scaledY = v + scw * sch;
    std::uint8_t* scaledU = scaledY + width * height;
    std::uint8_t* scaledV = scaledU + dcw * dch;

    const int w = asInt(width);
    const int h = asInt(height);
    const int cw = asInt(dcw);
    if (biPlanar) {
        libyuv::SplitUVPlane(planeBytes(source, 1), asInt(source.bytesPerRowOfPlane(1)), u, asInt(scw), v, asInt(scw),
                             asInt(scw), asInt(sch));
        libyuv::I420Scale(planeBytes(source, 0), asInt(source.bytesPerRowOfPlane(0)), u, asInt(scw), v, asInt(scw),
                          asInt(sw), asInt(sh), scaledY, w, scaledU, cw, scaledV, cw, w, h, kScaleFilter);
        const bool fullRange = format == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
        libyuv::I420ToARGBMatrix(scaledY, w, scaledU, cw, scaledV, cw, target, asInt(targetStride),
                                 fullRange ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants, w, h);
        return;
    }
    const int stride = asInt(source.bytesPerRowOfPlane(0));
    if (format == kCVPixelFormatType_422YpCbCr8_yuvs) {
        libyuv::YUY2ToI422(planeBytes(source, 0), stride, y, asInt(sw), u, asInt(scw), v, asInt(scw), asInt(sw),
                           asInt(sh));
    } else {
        libyuv::UYVYToI422(planeBytes(source, 0), stride, y, asInt(sw), u, asInt(scw), v, asInt(scw), asInt(sw),
                           asInt(sh));
    }
    libyuv::I422Scale(y, asInt(sw), u, asInt(scw), v, asInt(scw), asInt(sw), asInt(sh), scaledY, w, scaledU, cw,
                      scaledV, cw, w, h, kScaleFilter);
    libyuv::I422ToARGBMatrix(scaledY, w, scaledU, cw, scaledV, cw, target, asInt(targetStride),
                             &libyuv::kYuvI601Constants, w, h);
}

}  // namespace velunto

#include "platform/v4l2/V4L2FrameDecoder.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

namespace velunto {

namespace {

std::uint32_t rowBytes(const V4L2StreamFormat& format) {
    const std::uint32_t minimum = format.pixelFormat == V4L2_PIX_FMT_YUYV ? format.width * 2 : format.width;
    return std::max(format.bytesPerLine, minimum);
}

bool isJPEG(std::uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

}  // namespace

V4L2FrameDecoder::V4L2FrameDecoder(const V4L2StreamFormat& format) : format_(format) {
    switch (format.pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
            outputFormat_ = kCVPixelFormatType_422YpCbCr8_yuvs;
            break;
        case V4L2_PIX_FMT_NV12:
            outputFormat_ = format.fullRange ? kCVPixelFormatType_420YpCbCr8BiPlanarFullRange
                                             : kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange;
            break;
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
            outputFormat_ = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
            jpeg_ = tjInitDecompress();
            if (!jpeg_)
                return;
            break;
        default:
            return;
    }
    if (CVPixelBufferPool::create({outputFormat_, format.width, format.height}, &pool_) != kCVReturnSuccess)
        pool_.reset();
    else
        pool_->setMaximumBufferCount(kMaximumBuffers);
}

V4L2FrameDecoder::~V4L2FrameDecoder() {
    if (jpeg_)
        tjDestroy(jpeg_);
}

std::size_t V4L2FrameDecoder::minimumRawSize(const V4L2StreamFormat& format) {
    if (format.width == 0 || format.height == 0)
        return 0;
    const std::size_t stride = rowBytes(format);
    switch (format.pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
            return stride * (format.height - 1) + std::size_t{format.width} * 2;
        case V4L2_PIX_FMT_NV12: {
            const std::size_t chromaRows = (format.height + 1) / 2;
            return stride * format.height + stride * (chromaRows - 1) + ((format.width + 1) & ~1u);
        }
        default:
            return 0;
    }
}

std::shared_ptr<CVPixelBuffer> V4L2FrameDecoder::decode(const std::uint8_t* data, std::size_t bytesUsed) {
    if (!pool_ || !data || bytesUsed == 0)
        return nullptr;
    if (isJPEG(format_.pixelFormat))
        return decodeJPEG(data, bytesUsed);
    if (bytesUsed < minimumRawSize(format_))
        return nullptr;
    std::shared_ptr<CVPixelBuffer> frame;
    if (pool_->createPixelBuffer(&frame) != kCVReturnSuccess)
        return nullptr;
    const std::size_t stride = rowBytes(format_);
    if (format_.pixelFormat == V4L2_PIX_FMT_YUYV) {
        libyuv::CopyPlane(data, static_cast<int>(stride), static_cast<std::uint8_t*>(frame->baseAddressOfPlane(0)),
                          static_cast<int>(frame->bytesPerRowOfPlane(0)), static_cast<int>(format_.width * 2),
                          static_cast<int>(format_.height));
        return frame;
    }
    libyuv::CopyPlane(data, static_cast<int>(stride), static_cast<std::uint8_t*>(frame->baseAddressOfPlane(0)),
                      static_cast<int>(frame->bytesPerRowOfPlane(0)), static_cast<int>(format_.width),
                      static_cast<int>(format_.height));
    libyuv::CopyPlane(data + stride * format_.height, static_cast<int>(stride),
                      static_cast<std::uint8_t*>(frame->baseAddressOfPlane(1)),
                      static_cast<int>(frame->bytesPerRowOfPlane(1)), static_cast<int>(frame->widthOfPlane(1) * 2),
                      static_cast<int>(frame->heightOfPlane(1)));
    return frame;
}

std::shared_ptr<CVPixelBuffer> V4L2FrameDecoder::decodeJPEG(const std::uint8_t* data, std::size_t size) {
    if (!jpeg_)
        return nullptr;
    auto frame = decodeJPEGWith(static_cast<tjhandle>(jpeg_), data, size);
    if (!frame) {
        // After some errors TurboJPEG 2.1 keeps failing on every later image: start afresh.
        tjDestroy(jpeg_);
        jpeg_ = tjInitDecompress();
    }
    return frame;
}

std::shared_ptr<CVPixelBuffer> V4L2FrameDecoder::decodeJPEGWith(void* decompressor, const std::uint8_t* data,
                                                                std::size_t size) {
    auto* handle = static_cast<tjhandle>(decompressor);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle, data, size, &width, &height, &subsampling, &colorspace) != 0)
        return nullptr;
    if (width != static_cast<int>(format_.width) || height != static_cast<int>(format_.height))
        return nullptr;
    if (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY)
        return nullptr;
    std::shared_ptr<CVPixelBuffer> frame;
    if (pool_->createPixelBuffer(&frame) != kCVReturnSuccess)
        return nullptr;

    auto* luma = static_cast<std::uint8_t*>(frame->baseAddressOfPlane(0));
    auto* interleaved = static_cast<std::uint8_t*>(frame->baseAddressOfPlane(1));
    const int lumaStride = static_cast<int>(frame->bytesPerRowOfPlane(0));
    const int chromaStride = static_cast<int>(frame->bytesPerRowOfPlane(1));
    const int halfWidth = static_cast<int>(frame->widthOfPlane(1));
    const int halfHeight = static_cast<int>(frame->heightOfPlane(1));

    // The decoder writes whole MCU rows of luma; decode straight into the frame when they fit.
    const int paddedWidth = tjPlaneWidth(0, width, subsampling);
    const int paddedHeight = tjPlaneHeight(0, height, subsampling);
    const bool lumaFits = paddedWidth <= lumaStride && paddedHeight == height;
    const int chromaWidth = subsampling == TJSAMP_GRAY ? 0 : tjPlaneWidth(1, width, subsampling);
    const int chromaHeight = subsampling == TJSAMP_GRAY ? 0 : tjPlaneHeight(1, height, subsampling);
    const std::size_t chromaSize = std::size_t(chromaWidth) * std::size_t(chromaHeight);
    const std::size_t lumaScratch = lumaFits ? 0 : std::size_t(paddedWidth) * std::size_t(paddedHeight);
    chroma_.resize(2 * chromaSize + lumaScratch);

    unsigned char* planes[3] = {lumaFits ? luma : chroma_.data() + 2 * chromaSize, chroma_.data(),
                                chroma_.data() + chromaSize};
    int strides[3] = {lumaFits ? lumaStride : paddedWidth, chromaWidth, chromaWidth};
    if (tjDecompressToYUVPlanes(handle, data, size, planes, width, strides, height, TJFLAG_STOPONWARNING) != 0)
        return nullptr;
    if (!lumaFits)
        libyuv::CopyPlane(planes[0], paddedWidth, luma, lumaStride, width, height);

    if (subsampling == TJSAMP_GRAY) {
        for (int row = 0; row < halfHeight; ++row)
            std::memset(interleaved + std::size_t(row) * std::size_t(chromaStride), 128, std::size_t(halfWidth) * 2);
        return frame;
    }
    const std::uint8_t* cb = planes[1];
    const std::uint8_t* cr = planes[2];
    int sourceStride = chromaWidth;
    if (chromaWidth != halfWidth || chromaHeight != halfHeight) {
        const std::size_t halfSize = std::size_t(halfWidth) * std::size_t(halfHeight);
        halfChroma_.resize(2 * halfSize);
        libyuv::ScalePlane(cb, chromaWidth, chromaWidth, chromaHeight, halfChroma_.data(), halfWidth, halfWidth,
                           halfHeight, libyuv::kFilterBox);
        libyuv::ScalePlane(cr, chromaWidth, chromaWidth, chromaHeight, halfChroma_.data() + halfSize, halfWidth,
                           halfWidth, halfHeight, libyuv::kFilterBox);
        cb = halfChroma_.data();
        cr = halfChroma_.data() + halfSize;
        sourceStride = halfWidth;
    }
    libyuv::MergeUVPlane(cb, sourceStride, cr, sourceStride, interleaved, chromaStride, halfWidth, halfHeight);
    return frame;
}

}  // namespace velunto

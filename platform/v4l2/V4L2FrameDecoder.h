#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/corevideo/CVPixelBufferPool.h"

namespace velunto {

// What VIDIOC_G_FMT reported for a capture stream.
struct V4L2StreamFormat {
    std::uint32_t pixelFormat = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bytesPerLine = 0;
    std::uint32_t sizeImage = 0;
    bool fullRange = false;  // quantization said full range
};

// Turns the bytes of one dequeued buffer into a pixel buffer from its own pool: YUYV → 'yuvs',
// NV12 → '420v' ('420f' when the stream is full range), MJPEG → '420f' (JPEG's range). Short raw
// frames and undecodable JPEGs give null. Used from one thread at a time.
class V4L2FrameDecoder {
public:
    static constexpr std::size_t kMaximumBuffers = 12;

    explicit V4L2FrameDecoder(const V4L2StreamFormat& format);
    ~V4L2FrameDecoder();
    V4L2FrameDecoder(const V4L2FrameDecoder&) = delete;
    V4L2FrameDecoder& operator=(const V4L2FrameDecoder&) = delete;

    // False when the format cannot be decoded (unknown pixel format, bad size, no JPEG decoder).
    bool isValid() const { return pool_ != nullptr; }
    OSType outputPixelFormat() const { return outputFormat_; }
    std::shared_ptr<CVPixelBuffer> decode(const std::uint8_t* data, std::size_t bytesUsed);

    // The bytes a raw frame needs (0 for MJPEG).
    static std::size_t minimumRawSize(const V4L2StreamFormat& format);

private:
    std::shared_ptr<CVPixelBuffer> decodeJPEG(const std::uint8_t* data, std::size_t size);
    std::shared_ptr<CVPixelBuffer> decodeJPEGWith(void* decompressor, const std::uint8_t* data, std::size_t size);

    const V4L2StreamFormat format_;
    OSType outputFormat_ = 0;
    std::shared_ptr<CVPixelBufferPool> pool_;
    void* jpeg_ = nullptr;                  // tjhandle
    std::vector<std::uint8_t> chroma_;      // decoded Cb and Cr planes before interleaving
    std::vector<std::uint8_t> halfChroma_;  // the same, scaled to 4:2:0
};

}  // namespace velunto

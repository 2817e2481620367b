#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velunto {

// A frame interval as V4L2 gives it: seconds per frame = numerator / denominator.
struct V4L2FrameInterval {
    std::uint32_t numerator = 1;
    std::uint32_t denominator = 30;

    double framesPerSecond() const { return numerator == 0 ? 0.0 : double(denominator) / double(numerator); }
    bool operator==(const V4L2FrameInterval&) const = default;
};

struct V4L2FrameSizeOption {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<V4L2FrameInterval> intervals;  // fastest first

    double maximumFramesPerSecond() const;
};

struct V4L2FormatOption {
    std::uint32_t pixelFormat = 0;  // V4L2_PIX_FMT_*
    std::vector<V4L2FrameSizeOption> sizes;
};

// What one device node says about itself: VIDIOC_QUERYCAP plus the capture formats we can decode.
struct V4L2DeviceDescription {
    std::string path;
    std::string driver;
    std::string card;
    std::string busInfo;
    std::uint32_t capabilities = 0;  // the node's own (device_caps when the driver reports them)
    std::vector<V4L2FormatOption> formats;

    bool isUSB() const { return busInfo.rfind("usb-", 0) == 0; }
};

}  // namespace velunto

#pragma once

#include <cstdint>
#include <vector>

#include "platform/v4l2/V4L2DeviceDescription.h"

namespace velunto {

struct V4L2FormatChoice {
    std::uint32_t pixelFormat = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    V4L2FrameInterval interval;

    bool operator==(const V4L2FormatChoice&) const = default;
};

// Picks the capture format for a requested picture size.
//   - The asked size beats any other; without it, the smallest size covering it, else the largest.
//   - A format reaching 25 fps at that size beats one that does not.
//   - Then uncompressed (NV12, YUYV) beats MJPEG, except on USB cameras at 1280x720 and above,
//     where MJPEG comes first: raw video there needs most of the bus and fails once a second
//     device shares it.
//   - Within a size the rate is the one nearest 30 fps among those of at least 25, else the fastest.
class V4L2FormatNegotiator {
public:
    static constexpr double kMinimumFramesPerSecond = 25.0;
    static constexpr double kPreferredFramesPerSecond = 30.0;

    // Every format the device offers, best first (one entry per format); empty if none.
    static std::vector<V4L2FormatChoice> rank(const V4L2DeviceDescription& device, std::uint32_t width,
                                              std::uint32_t height);
    static V4L2FrameInterval preferredInterval(const V4L2FrameSizeOption& size);
};

}  // namespace velunto

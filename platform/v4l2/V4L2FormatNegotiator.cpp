#include "platform/v4l2/V4L2FormatNegotiator.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>
#include <tuple>

namespace velunto {

namespace {

const V4L2FrameSizeOption* closestSize(const V4L2FormatOption& format, std::uint32_t width, std::uint32_t height) {
    const V4L2FrameSizeOption* covering = nullptr;
    const V4L2FrameSizeOption* largest = nullptr;
    const auto area = [](const V4L2FrameSizeOption& size) { return std::uint64_t{size.width} * size.height; };
    for (const auto& size : format.sizes) {
        if (size.width == width && size.height == height)
            return &size;
        if (size.width >= width && size.height >= height && (!covering || area(size) < area(*covering)))
            covering = &size;
        if (!largest || area(size) > area(*largest))
            largest = &size;
    }
    return covering ? covering : largest;
}

int formatPreference(std::uint32_t pixelFormat, bool compressedFirst) {
    const bool compressed = pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
    const int raw = pixelFormat == V4L2_PIX_FMT_NV12 ? 0 : 1;
    if (compressed)
        return compressedFirst ? 0 : 2;
    return compressedFirst ? 1 + raw : raw;
}

}  // namespace

V4L2FrameInterval V4L2FormatNegotiator::preferredInterval(const V4L2FrameSizeOption& size) {
    if (size.intervals.empty())
        return {1, 30};
    const V4L2FrameInterval* best = nullptr;
    for (const auto& interval : size.intervals) {
        const double fps = interval.framesPerSecond();
        if (fps + 1e-6 < kMinimumFramesPerSecond)
            continue;
        if (!best ||
            std::abs(fps - kPreferredFramesPerSecond) < std::abs(best->framesPerSecond() - kPreferredFramesPerSecond))
            best = &interval;
    }
    if (best)
        return *best;
    return *std::max_element(size.intervals.begin(), size.intervals.end(),
                             [](const auto& a, const auto& b) { return a.framesPerSecond() < b.framesPerSecond(); });
}

std::vector<V4L2FormatChoice> V4L2FormatNegotiator::rank(const V4L2DeviceDescription& device, std::uint32_t width,
                                                         std::uint32_t height) {
    const bool compressedFirst = device.isUSB() && std::uint64_t{width} * height >= 1280u * 720u;
    struct Candidate {
        V4L2FormatChoice choice;
        std::tuple<bool, bool, int, double> key;  // exact size, fast enough, preference, fps
    };
    std::vector<Candidate> candidates;
    for (const auto& format : device.formats) {
        const auto* size = closestSize(format, width, height);
        if (!size)
            continue;
        const auto interval = preferredInterval(*size);
        const double fps = interval.framesPerSecond();
        candidates.push_back({{format.pixelFormat, size->width, size->height, interval},
                              {size->width == width && size->height == height, fps + 1e-6 >= kMinimumFramesPerSecond,
                               -formatPreference(format.pixelFormat, compressedFirst), fps}});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.key > b.key; });
    std::vector<V4L2FormatChoice> ranked;
    for (const auto& candidate : candidates)
        ranked.push_back(candidate.choice);
    return ranked;
}

}  // namespace velunto

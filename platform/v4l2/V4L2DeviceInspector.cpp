#include "platform/v4l2/V4L2DeviceInspector.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>

namespace velunto {

namespace {

std::string fixedString(const __u8* bytes, std::size_t size) {
    const auto* chars = reinterpret_cast<const char*>(bytes);
    return std::string(chars, strnlen(chars, size));
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Sizes tried inside a stepwise or continuous range.
constexpr std::pair<std::uint32_t, std::uint32_t> kCommonSizes[] = {
    {320, 240},  {640, 360},  {640, 480},   {800, 600},   {960, 540},   {1024, 768},
    {1280, 720}, {1280, 960}, {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160},
};

bool fitsStep(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum, std::uint32_t step) {
    return value >= minimum && value <= maximum && (step <= 1 || (value - minimum) % step == 0);
}

std::vector<V4L2FrameInterval> frameIntervals(V4L2DeviceIO& io, int fd, std::uint32_t pixelFormat, std::uint32_t width,
                                              std::uint32_t height) {
    std::vector<V4L2FrameInterval> intervals;
    for (std::uint32_t index = 0; index < 64; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = pixelFormat;
        interval.width = width;
        interval.height = height;
        if (io.xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0)
            break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (interval.discrete.numerator != 0 && interval.discrete.denominator != 0)
                intervals.push_back({interval.discrete.numerator, interval.discrete.denominator});
            continue;
        }
        // A range: its fastest end, and 30 fps when the range holds it.
        const auto& range = interval.stepwise;
        if (range.min.numerator != 0 && range.min.denominator != 0)
            intervals.push_back({range.min.numerator, range.min.denominator});
        const V4L2FrameInterval thirty{1, 30};
        if (range.max.numerator != 0 && range.max.denominator != 0 && !intervals.empty() &&
            intervals.back().framesPerSecond() > 30.0 &&
            V4L2FrameInterval{range.max.numerator, range.max.denominator}.framesPerSecond() <= 30.0)
            intervals.push_back(thirty);
        break;
    }
    std::stable_sort(intervals.begin(), intervals.end(),
                     [](const auto& a, const auto& b) { return a.framesPerSecond() > b.framesPerSecond(); });
    return intervals;
}

}  // namespace

double V4L2FrameSizeOption::maximumFramesPerSecond() const {
    double best = 0;
    for (const auto& interval : intervals)
        best = std::max(best, interval.framesPerSecond());
    return best;
}

std::optional<V4L2DeviceDescription> V4L2DeviceInspector::describe(V4L2DeviceIO& io, const std::string& path) {
    const int fd = io.open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    auto description = queryCapability(io, fd, path);
    if (description && (description->capabilities & V4L2_CAP_VIDEO_CAPTURE))
        description->formats = captureFormats(io, fd);
    const int savedErrno = errno;
    io.close(fd);
    errno = savedErrno;
    return description;
}

std::optional<V4L2DeviceDescription> V4L2DeviceInspector::queryCapability(V4L2DeviceIO& io, int fd,
                                                                          const std::string& path) {
    v4l2_capability capability{};
    if (io.xioctl(fd, VIDIOC_QUERYCAP, &capability) != 0)
        return std::nullopt;
    V4L2DeviceDescription description;
    description.path = path;
    description.driver = fixedString(capability.driver, sizeof capability.driver);
    description.card = fixedString(capability.card, sizeof capability.card);
    description.busInfo = fixedString(capability.bus_info, sizeof capability.bus_info);
    description.capabilities =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    return description;
}

std::vector<V4L2FormatOption> V4L2DeviceInspector::captureFormats(V4L2DeviceIO& io, int fd) {
    std::vector<V4L2FormatOption> formats;
    for (std::uint32_t index = 0; index < 64; ++index) {
        v4l2_fmtdesc format{};
        format.index = index;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io.xioctl(fd, VIDIOC_ENUM_FMT, &format) != 0)
            break;
        if (!isDecodablePixelFormat(format.pixelformat) ||
            std::any_of(formats.begin(), formats.end(),
                        [&](const V4L2FormatOption& known) { return known.pixelFormat == format.pixelformat; }))
            continue;
        V4L2FormatOption option{format.pixelformat, {}};
        for (std::uint32_t sizeIndex = 0; sizeIndex < 256; ++sizeIndex) {
            v4l2_frmsizeenum size{};
            size.index = sizeIndex;
            size.pixel_format = format.pixelformat;
            if (io.xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0)
                break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                const auto width = size.discrete.width, height = size.discrete.height;
                option.sizes.push_back({width, height, frameIntervals(io, fd, format.pixelformat, width, height)});
                continue;
            }
            const auto& range = size.stepwise;
            std::vector<std::pair<std::uint32_t, std::uint32_t>> picked;
            for (const auto& [width, height] : kCommonSizes)
                if (fitsStep(width, range.min_width, range.max_width, range.step_width) &&
                    fitsStep(height, range.min_height, range.max_height, range.step_height))
                    picked.emplace_back(width, height);
            if (std::find(picked.begin(), picked.end(), std::pair{range.max_width, range.max_height}) == picked.end() &&
                range.max_width > 0 && range.max_height > 0)
                picked.emplace_back(range.max_width, range.max_height);
            for (const auto& [width, height] : picked)
                option.sizes.push_back({width, height, frameIntervals(io, fd, format.pixelformat, width, height)});
            break;
        }
        if (!option.sizes.empty())
            formats.push_back(std::move(option));
    }
    return formats;
}

bool V4L2DeviceInspector::isDecodablePixelFormat(std::uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_YUYV || pixelFormat == V4L2_PIX_FMT_NV12 || pixelFormat == V4L2_PIX_FMT_MJPEG ||
           pixelFormat == V4L2_PIX_FMT_JPEG;
}

bool V4L2DeviceInspector::isCamera(const V4L2DeviceDescription& description, std::string* reason) {
    const auto fail = [&](const char* why) {
        if (reason)
            *reason = why;
        return false;
    };
    if (description.card == kOwnCardLabel)
        return fail("our own virtual camera");
    if (!(description.capabilities & V4L2_CAP_VIDEO_CAPTURE)) {
        if (description.capabilities & V4L2_CAP_VIDEO_CAPTURE_MPLANE)
            return fail("multi-planar capture only");
        if (description.capabilities & V4L2_CAP_META_CAPTURE)
            return fail("metadata node");
        return fail("no video capture");
    }
    if (!(description.capabilities & V4L2_CAP_STREAMING))
        return fail("no streaming I/O");
    if (description.formats.empty())
        return fail("no YUYV, NV12 or MJPEG format");
    return true;
}

bool V4L2DeviceInspector::isLoopbackOutput(const V4L2DeviceDescription& description) {
    return (description.capabilities & V4L2_CAP_VIDEO_OUTPUT) &&
           (description.driver == kLoopbackDriver || description.card == kOwnCardLabel);
}

std::string V4L2DeviceInspector::uniqueID(const V4L2DeviceDescription& description) {
    return "v4l2:" + (description.busInfo.empty() ? description.path : description.busInfo) + ":" + description.card;
}

AVCaptureDeviceType V4L2DeviceInspector::deviceType(const V4L2DeviceDescription& description) {
    const std::string card = lowercase(description.card);
    if (description.busInfo.rfind("platform:", 0) == 0 || card.find("integrated") != std::string::npos ||
        card.find("built-in") != std::string::npos)
        return AVCaptureDeviceTypeBuiltInWideAngleCamera;
    return AVCaptureDeviceTypeExternal;
}

std::vector<std::pair<std::int32_t, std::int32_t>> V4L2DeviceInspector::supportedSizes(
    const V4L2DeviceDescription& description) {
    std::set<std::tuple<std::int64_t, std::int32_t, std::int32_t>> ordered;
    for (const auto& format : description.formats)
        for (const auto& size : format.sizes)
            ordered.emplace(std::int64_t{size.width} * size.height, static_cast<std::int32_t>(size.width),
                            static_cast<std::int32_t>(size.height));
    std::vector<std::pair<std::int32_t, std::int32_t>> sizes;
    for (const auto& [area, width, height] : ordered)
        sizes.emplace_back(width, height);
    return sizes;
}

AVCaptureDeviceDescriptor V4L2DeviceInspector::descriptor(const V4L2DeviceDescription& description) {
    AVCaptureDeviceDescriptor descriptor;
    descriptor.uniqueID = uniqueID(description);
    descriptor.localizedName = description.card.empty() ? description.path : description.card;
    descriptor.deviceType = deviceType(description);
    descriptor.position = descriptor.deviceType == AVCaptureDeviceTypeBuiltInWideAngleCamera
                              ? AVCaptureDevicePosition::front
                              : AVCaptureDevicePosition::unspecified;
    descriptor.sizes = supportedSizes(description);
    return descriptor;
}

std::string V4L2DeviceInspector::fourCCString(std::uint32_t pixelFormat) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const auto c = static_cast<char>((pixelFormat >> shift) & 0xff);
        text.push_back(std::isprint(static_cast<unsigned char>(c)) ? c : '?');
    }
    return text;
}

}  // namespace velunto

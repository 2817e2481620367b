#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/v4l2/V4L2DeviceDescription.h"
#include "platform/v4l2/V4L2DeviceIO.h"

namespace velunto {

// Reads what a device node is and what it can deliver, and decides how the capture layer sees it.
class V4L2DeviceInspector {
public:
    // The card label our own virtual camera is created with.
    static constexpr const char* kOwnCardLabel = "Velunto Kamera";
    static constexpr const char* kLoopbackDriver = "v4l2 loopback";

    // Opens the node, reads its capabilities and (for capture nodes) its decodable formats. nullopt
    // with errno set when the node cannot be opened or queried.
    static std::optional<V4L2DeviceDescription> describe(V4L2DeviceIO& io, const std::string& path);
    // VIDIOC_QUERYCAP on an open node; nullopt with errno on failure.
    static std::optional<V4L2DeviceDescription> queryCapability(V4L2DeviceIO& io, int fd, const std::string& path);
    // The YUYV, NV12 and MJPEG capture formats with their sizes and intervals. Stepwise or continuous
    // size ranges become the common sizes inside the range plus the largest.
    static std::vector<V4L2FormatOption> captureFormats(V4L2DeviceIO& io, int fd);

    static bool isDecodablePixelFormat(std::uint32_t pixelFormat);
    // A camera we offer: single-planar video capture with streaming I/O, a decodable format, and not
    // our own loopback output. Otherwise reason says why.
    static bool isCamera(const V4L2DeviceDescription& description, std::string* reason);
    // A v4l2loopback node we can write to.
    static bool isLoopbackOutput(const V4L2DeviceDescription& description);

    // Stable across reconnection to the same port: "v4l2:<bus_info>:<card>" (the path when the
    // driver reports no bus).
    static std::string uniqueID(const V4L2DeviceDescription& description);
    // Built-in for platform devices and cards that call themselves integrated or built-in.
    static AVCaptureDeviceType deviceType(const V4L2DeviceDescription& description);
    // Every size of every decodable format, smallest area first, without duplicates.
    static std::vector<std::pair<std::int32_t, std::int32_t>> supportedSizes(const V4L2DeviceDescription& description);
    static AVCaptureDeviceDescriptor descriptor(const V4L2DeviceDescription& description);

    // "YUYV", "MJPG", ...
    static std::string fourCCString(std::uint32_t pixelFormat);
};

}  // namespace velunto

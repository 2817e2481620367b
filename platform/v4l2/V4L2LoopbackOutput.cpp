#include "platform/v4l2/V4L2LoopbackOutput.h"

#include <fcntl.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/oslog/Logger.h"
#include "platform/v4l2/V4L2DeviceInspector.h"

namespace velunto {

static_assert(V4L2LoopbackOutput::kClientUsageEvent == V4L2_EVENT_PRIVATE_START + 0x08E00000u + 1u);

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto", "V4L2");
    return instance;
}

}  // namespace

V4L2LoopbackOutput::V4L2LoopbackOutput(std::shared_ptr<V4L2DeviceIO> io)
    : io_(io ? std::move(io) : V4L2DeviceIO::system()) {}

V4L2LoopbackOutput::~V4L2LoopbackOutput() {
    close();
}

std::optional<V4L2DeviceDescription> V4L2LoopbackOutput::findDevice(V4L2DeviceIO& io) {
    std::optional<V4L2DeviceDescription> fallback;
    for (const auto& path : io.devicePaths()) {
        auto description = V4L2DeviceInspector::describe(io, path);
        if (!description || !V4L2DeviceInspector::isLoopbackOutput(*description))
            continue;
        if (description->card == V4L2DeviceInspector::kOwnCardLabel)
            return description;
        if (!fallback)
            fallback = std::move(description);
    }
    return fallback;
}

bool V4L2LoopbackOutput::open(std::int32_t width, std::int32_t height, double framesPerSecond,
                              std::string* failureReason) {
    const auto fail = [&](std::string reason) {
        if (failureReason)
            *failureReason = std::move(reason);
        closeLocked();
        return false;
    };
    std::lock_guard lock(mutex_);
    closeLocked();
    if (width <= 0 || height <= 0 || width % 2 != 0)
        return fail("the virtual camera needs a positive, even frame width");
    auto device = findDevice(*io_);
    if (!device)
        return fail("no v4l2loopback output device found (load the v4l2loopback module with card_label=\"" +
                    std::string(V4L2DeviceInspector::kOwnCardLabel) + "\")");
    device_ = std::move(*device);
    fd_ = io_->open(device_.path, O_RDWR | O_NONBLOCK);
    if (fd_ < 0)
        return fail("cannot open " + device_.path + ": " + std::strerror(errno));

    v4l2_control keepFormat{kKeepFormatControl, 1};
    io_->xioctl(fd_, VIDIOC_S_CTRL, &keepFormat);  // older modules lack it

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = static_cast<std::uint32_t>(width);
    format.fmt.pix.height = static_cast<std::uint32_t>(height);
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = static_cast<std::uint32_t>(width) * 2;
    format.fmt.pix.sizeimage = format.fmt.pix.bytesperline * static_cast<std::uint32_t>(height);
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    if (io_->xioctl(fd_, VIDIOC_S_FMT, &format) != 0)
        return fail(device_.path + " refused YUYV output: " + std::strerror(errno));
    if (format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV || format.fmt.pix.width != std::uint32_t(width) ||
        format.fmt.pix.height != std::uint32_t(height))
        return fail(device_.path + " offers " + V4L2DeviceInspector::fourCCString(format.fmt.pix.pixelformat) + " " +
                    std::to_string(format.fmt.pix.width) + "x" + std::to_string(format.fmt.pix.height) +
                    " instead of YUYV " + std::to_string(width) + "x" + std::to_string(height) +
                    " (another program may hold its format)");
    width_ = format.fmt.pix.width;
    height_ = format.fmt.pix.height;
    bytesPerLine_ = std::max(format.fmt.pix.bytesperline, width_ * 2);
    frame_.assign(std::size_t{bytesPerLine_} * height_, 0);

    if (framesPerSecond > 0) {
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        parameters.parm.output.timeperframe = {1000, static_cast<std::uint32_t>(std::lround(framesPerSecond * 1000))};
        io_->xioctl(fd_, VIDIOC_S_PARM, &parameters);  // a reader's own rate wins; not an error
    }

    v4l2_event_subscription subscription{};
    subscription.type = kClientUsageEvent;
    subscription.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
    eventsSubscribed_ = io_->xioctl(fd_, VIDIOC_SUBSCRIBE_EVENT, &subscription) == 0;
    logger().info("virtual camera output on %{public}s (%{public}s), %ux%u YUYV", device_.path.c_str(),
                  device_.card.c_str(), width_, height_);
    return true;
}

void V4L2LoopbackOutput::close() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void V4L2LoopbackOutput::closeLocked() {
    if (fd_ >= 0)
        io_->close(fd_);
    fd_ = -1;
    width_ = height_ = bytesPerLine_ = 0;
    eventsSubscribed_ = false;
    readers_.reset();
}

bool V4L2LoopbackOutput::isOpen() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

std::string V4L2LoopbackOutput::devicePath() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0 ? device_.path : std::string();
}

std::string V4L2LoopbackOutput::card() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0 ? device_.card : std::string();
}

std::pair<std::uint32_t, std::uint32_t> V4L2LoopbackOutput::size() const {
    std::lock_guard lock(mutex_);
    return {width_, height_};
}

bool V4L2LoopbackOutput::write(const CVPixelBuffer& frame) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || frame.width() != width_ || frame.height() != height_)
        return false;
    const auto* source = static_cast<const std::uint8_t*>(frame.baseAddressOfPlane(0));
    const int sourceStride = static_cast<int>(frame.bytesPerRowOfPlane(0));
    const int w = static_cast<int>(width_), h = static_cast<int>(height_), stride = static_cast<int>(bytesPerLine_);
    switch (frame.pixelFormatType()) {
        case kCVPixelFormatType_32BGRA:
            // libyuv's "ARGB" is B, G, R, A in memory.
            if (libyuv::ARGBToYUY2(source, sourceStride, frame_.data(), stride, w, h) != 0)
                return false;
            break;
        case kCVPixelFormatType_422YpCbCr8_yuvs:
            libyuv::CopyPlane(source, sourceStride, frame_.data(), stride, w * 2, h);
            break;
        default:
            return false;
    }
    const ssize_t written = io_->write(fd_, frame_.data(), frame_.size());
    if (written == static_cast<ssize_t>(frame_.size()))
        return true;
    const int error = written < 0 ? errno : EIO;
    std::uint64_t occurrence = 0;
    if (writeErrors_.admit(&occurrence))
        logger().error("%{public}s: frame write failed (%llu times): %{public}s", device_.path.c_str(),
                       static_cast<unsigned long long>(occurrence), std::strerror(error));
    if (error == ENODEV || error == ENXIO)
        closeLocked();
    return false;
}

bool V4L2LoopbackOutput::supportsReaderCount() const {
    std::lock_guard lock(mutex_);
    return eventsSubscribed_;
}

std::optional<std::uint32_t> V4L2LoopbackOutput::readerCount() {
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || !eventsSubscribed_)
        return std::nullopt;
    for (int drained = 0; drained < 64; ++drained) {
        v4l2_event event{};
        if (io_->xioctl(fd_, VIDIOC_DQEVENT, &event) != 0)
            break;  // ENOENT: nothing pending
        if (event.type != kClientUsageEvent)
            continue;
        std::uint32_t count = 0;
        std::memcpy(&count, event.u.data, sizeof count);
        readers_ = count;
    }
    return readers_;
}

}  // namespace velunto

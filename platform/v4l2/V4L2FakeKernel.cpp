#include "platform/v4l2/V4L2FakeKernel.h"

#include <linux/version.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/v4l2/V4L2LoopbackOutput.h"

namespace velunto {

namespace {

constexpr off_t kBufferOffsetStep = 0x100000;
constexpr std::uint32_t kMaximumBuffers = 8;

void copyString(__u8* destination, std::size_t size, const std::string& text) {
    std::memset(destination, 0, size);
    std::memcpy(destination, text.data(), std::min(size - 1, text.size()));
}

bool isJPEG(std::uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

void layOut(V4L2StreamFormat& format, std::uint32_t rowPadding) {
    switch (format.pixelFormat) {
        case V4L2_PIX_FMT_YUYV:
            format.bytesPerLine = format.width * 2 + rowPadding;
            format.sizeImage = format.bytesPerLine * format.height;
            break;
        case V4L2_PIX_FMT_NV12:
            format.bytesPerLine = format.width + rowPadding;
            format.sizeImage = format.bytesPerLine * (format.height + (format.height + 1) / 2);
            break;
        default:
            format.bytesPerLine = 0;
            format.sizeImage = format.width * format.height * 2;
            break;
    }
}

}  // namespace

V4L2FakeDevice V4L2FakeDevice::camera(std::string path, std::string card, std::string busInfo,
                                      std::vector<V4L2FakeFormat> formats) {
    V4L2FakeDevice device;
    device.path = std::move(path);
    device.card = std::move(card);
    device.busInfo = std::move(busInfo);
    device.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
    device.formats = std::move(formats);
    return device;
}

V4L2FakeDevice V4L2FakeDevice::loopback(std::string path, std::string card) {
    V4L2FakeDevice device;
    device.path = std::move(path);
    device.driver = "v4l2 loopback";
    device.card = std::move(card);
    device.busInfo = "platform:v4l2loopback-000";
    device.capabilities = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_READWRITE | V4L2_CAP_STREAMING;
    device.clientUsageEvents = true;
    device.keepFormatControl = true;
    return device;
}

struct V4L2FakeKernel::Node {
    V4L2FakeDevice device;
    bool present = true;
    V4L2FakeKernel::StreamState capture;
    std::optional<V4L2FakeKernel::StreamState> output;
    std::vector<std::vector<std::uint8_t>> written;
    bool keepFormat = false;
    std::uint32_t readers = 0;
    int streamingFd = -1;  // the descriptor whose buffers are in use
};

struct V4L2FakeKernel::Handle {
    struct Buffer {
        std::vector<std::uint8_t> memory;
        bool queued = false;
        std::uint32_t bytesUsed = 0;
        std::uint32_t flags = 0;
        timeval timestamp{};
        std::uint32_t sequence = 0;
    };
    int fd = -1;
    std::shared_ptr<Node> node;
    std::vector<Buffer> buffers;
    std::deque<std::uint32_t> queued;
    std::deque<std::uint32_t> done;
    bool subscribed = false;
    std::deque<std::uint32_t> events;  // pending client-usage counts
    std::uint32_t sequence = 0;
};

class V4L2FakeKernel::Watcher : public V4L2DeviceWatcher {
public:
    explicit Watcher(V4L2FakeKernel& kernel) : kernel_(kernel) {}
    ~Watcher() override { stop(); }

    bool start(std::function<void()> changed) override {
        {
            std::lock_guard lock(mutex_);
            changed_ = std::move(changed);
        }
        std::lock_guard lock(kernel_.watchersMutex_);
        if (std::find(kernel_.watchers_.begin(), kernel_.watchers_.end(), this) == kernel_.watchers_.end())
            kernel_.watchers_.push_back(this);
        return true;
    }
    void stop() override {
        {
            std::lock_guard lock(kernel_.watchersMutex_);
            std::erase(kernel_.watchers_, this);
        }
        std::lock_guard lock(mutex_);
        changed_ = nullptr;
    }
    void fire() {
        std::lock_guard lock(mutex_);
        if (changed_)
            changed_();
    }

private:
    V4L2FakeKernel& kernel_;
    std::mutex mutex_;
    std::function<void()> changed_;
};

V4L2FakeKernel::V4L2FakeKernel() = default;

V4L2FakeKernel::~V4L2FakeKernel() {
    for (const auto& [fd, handle] : handles_)
        ::close(fd);
}

void V4L2FakeKernel::plug(V4L2FakeDevice device) {
    {
        std::lock_guard lock(mutex_);
        auto node = std::make_shared<Node>();
        node->device = std::move(device);
        nodes_[node->device.path] = node;
        changed_.notify_all();
    }
    notifyWatchers();
}

void V4L2FakeKernel::unplug(const std::string& path) {
    {
        std::lock_guard lock(mutex_);
        const auto it = nodes_.find(path);
        if (it == nodes_.end())
            return;
        it->second->present = false;
        nodes_.erase(it);
        for (const auto& [fd, handle] : handles_)
            if (!handle->node->present)
                ring(fd);
        changed_.notify_all();
    }
    notifyWatchers();
}

std::unique_ptr<V4L2DeviceWatcher> V4L2FakeKernel::makeWatcher() {
    return std::make_unique<Watcher>(*this);
}

void V4L2FakeKernel::notifyWatchers() {
    std::lock_guard lock(watchersMutex_);
    for (auto* watcher : watchers_)
        watcher->fire();
}

void V4L2FakeKernel::ring(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

bool V4L2FakeKernel::emit(const std::string& path, Frame frame, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    Handle* target = nullptr;
    const bool ready = changed_.wait_for(lock, wait, [&] {
        const auto node = nodes_.find(path);
        if (node == nodes_.end() || !node->second->capture.streaming)
            return false;
        const auto handle = handles_.find(node->second->streamingFd);
        if (handle == handles_.end() || handle->second->queued.empty())
            return false;
        target = handle->second.get();
        return true;
    });
    if (!ready)
        return false;
    const std::uint32_t index = target->queued.front();
    target->queued.pop_front();
    auto& buffer = target->buffers[index];
    const std::size_t size = std::min(frame.bytes.size(), buffer.memory.size());
    std::copy_n(frame.bytes.begin(), size, buffer.memory.begin());
    buffer.bytesUsed = static_cast<std::uint32_t>(size);
    buffer.flags = V4L2_BUF_FLAG_DONE | (frame.error ? V4L2_BUF_FLAG_ERROR : 0u);
    buffer.timestamp = {};
    if (frame.monotonicNanoseconds) {
        buffer.flags |= V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        buffer.timestamp.tv_sec = static_cast<time_t>(*frame.monotonicNanoseconds / 1'000'000'000);
        buffer.timestamp.tv_usec = static_cast<suseconds_t>(*frame.monotonicNanoseconds % 1'000'000'000 / 1000);
    }
    buffer.sequence = target->sequence++;
    buffer.queued = false;
    target->done.push_back(index);
    ring(target->fd);
    return true;
}

bool V4L2FakeKernel::emitPattern(const std::string& path, std::uint32_t seed,
                                 std::optional<std::uint64_t> monotonicNanoseconds, std::chrono::milliseconds wait) {
    if (!waitUntilStreaming(path, true, wait))
        return false;
    const auto state = captureState(path);
    if (!state)
        return false;
    return emit(path, {pattern(state->format, seed), monotonicNanoseconds, false}, wait);
}

bool V4L2FakeKernel::waitUntilStreaming(const std::string& path, bool streaming, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [&] {
        const auto node = nodes_.find(path);
        return (node != nodes_.end() && node->second->capture.streaming) == streaming;
    });
}

std::optional<V4L2FakeKernel::StreamState> V4L2FakeKernel::captureState(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto node = nodes_.find(path);
    if (node == nodes_.end())
        return std::nullopt;
    return node->second->capture;
}

std::optional<V4L2FakeKernel::StreamState> V4L2FakeKernel::outputState(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto node = nodes_.find(path);
    if (node == nodes_.end())
        return std::nullopt;
    return node->second->output;
}

std::vector<std::vector<std::uint8_t>> V4L2FakeKernel::writtenFrames(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto node = nodes_.find(path);
    return node == nodes_.end() ? std::vector<std::vector<std::uint8_t>>{} : node->second->written;
}

bool V4L2FakeKernel::keepFormat(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto node = nodes_.find(path);
    return node != nodes_.end() && node->second->keepFormat;
}

void V4L2FakeKernel::setReaderCount(const std::string& path, std::uint32_t readers) {
    std::lock_guard lock(mutex_);
    const auto node = nodes_.find(path);
    if (node == nodes_.end())
        return;
    node->second->readers = readers;
    for (const auto& [fd, handle] : handles_)
        if (handle->node == node->second && handle->subscribed) {
            handle->events.push_back(readers);
            ring(fd);
        }
}

std::size_t V4L2FakeKernel::openDescriptors() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::size_t V4L2FakeKernel::liveMappings() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [address, n] : mappings_)
        count += n;
    return count;
}

std::uint8_t V4L2FakeKernel::patternByte(std::uint32_t x, std::uint32_t y, std::uint32_t plane, std::uint32_t seed) {
    return static_cast<std::uint8_t>((x * 7 + y * 13 + plane * 101 + seed * 29) & 0xff);
}

std::vector<std::uint8_t> V4L2FakeKernel::pattern(const V4L2StreamFormat& format, std::uint32_t seed) {
    if (isJPEG(format.pixelFormat)) {
        std::vector<std::uint8_t> luma(std::size_t{format.width} * format.height);
        for (std::uint32_t y = 0; y < format.height; ++y)
            for (std::uint32_t x = 0; x < format.width; ++x)
                luma[std::size_t{y} * format.width + x] = patternByte(x, y, 0, seed);
        tjhandle encoder = tjInitCompress();
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        std::vector<std::uint8_t> bytes;
        if (encoder && tjCompress2(encoder, luma.data(), static_cast<int>(format.width), 0,
                                   static_cast<int>(format.height), TJPF_GRAY, &jpeg, &size, TJSAMP_GRAY, 95, 0) == 0)
            bytes.assign(jpeg, jpeg + size);
        tjFree(jpeg);
        if (encoder)
            tjDestroy(encoder);
        return bytes;
    }
    std::vector<std::uint8_t> bytes(format.sizeImage, 0xEE);
    if (format.pixelFormat == V4L2_PIX_FMT_YUYV) {
        for (std::uint32_t y = 0; y < format.height; ++y)
            for (std::uint32_t x = 0; x < format.width * 2; ++x)
                bytes[std::size_t{y} * format.bytesPerLine + x] = patternByte(x, y, 0, seed);
    } else if (format.pixelFormat == V4L2_PIX_FMT_NV12) {
        for (std::uint32_t y = 0; y < format.height; ++y)
            for (std::uint32_t x = 0; x < format.width; ++x)
                bytes[std::size_t{y} * format.bytesPerLine + x] = patternByte(x, y, 0, seed);
        const std::size_t chroma = std::size_t{format.bytesPerLine} * format.height;
        for (std::uint32_t y = 0; y < (format.height + 1) / 2; ++y)
            for (std::uint32_t x = 0; x < ((format.width + 1) & ~1u); ++x)
                bytes[chroma + std::size_t{y} * format.bytesPerLine + x] = patternByte(x, y, 1, seed);
    }
    return bytes;
}

std::vector<std::string> V4L2FakeKernel::devicePaths() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    for (const auto& [path, node] : nodes_)
        paths.push_back(path);
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return paths;
}

int V4L2FakeKernel::open(const std::string& path, int) {
    std::lock_guard lock(mutex_);
    const auto node = nodes_.find(path);
    if (node == nodes_.end()) {
        errno = ENOENT;
        return -1;
    }
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return -1;
    auto handle = std::make_shared<Handle>();
    handle->fd = fd;
    handle->node = node->second;
    handles_[fd] = std::move(handle);
    return fd;
}

int V4L2FakeKernel::close(int fd) {
    std::lock_guard lock(mutex_);
    const auto it = handles_.find(fd);
    if (it == handles_.end()) {
        errno = EBADF;
        return -1;
    }
    auto& node = *it->second->node;
    if (node.streamingFd == fd) {
        node.streamingFd = -1;
        node.capture.streaming = false;
    }
    handles_.erase(it);
    ::close(fd);
    changed_.notify_all();
    return 0;
}

int V4L2FakeKernel::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mutex_);
    Handle* handle = presentHandleLocked(fd);
    if (handle == nullptr)
        return -1;
    const int result = ioctlLocked(*handle, request, argument);
    changed_.notify_all();
    return result;
}

int V4L2FakeKernel::ioctlLocked(Handle& handle, unsigned long request, void* argument) {
    Node& node = *handle.node;
    const V4L2FakeDevice& device = node.device;
    const auto fail = [](int error) {
        errno = error;
        return -1;
    };
    const auto findFormat = [&](std::uint32_t pixelFormat) -> const V4L2FakeFormat* {
        for (const auto& format : device.formats)
            if (format.pixelFormat == pixelFormat)
                return &format;
        return nullptr;
    };
    V4L2FakeFrameSize rangeSize;
    const auto findSize = [&](std::uint32_t pixelFormat, std::uint32_t width,
                              std::uint32_t height) -> const V4L2FakeFrameSize* {
        const auto* format = findFormat(pixelFormat);
        if (!format)
            return nullptr;
        if (format->range) {
            const auto& range = *format->range;
            const auto fits = [](std::uint32_t value, std::uint32_t low, std::uint32_t high, std::uint32_t step) {
                return value >= low && value <= high && (value - low) % std::max(step, 1u) == 0;
            };
            if (!fits(width, range.minWidth, range.maxWidth, range.stepWidth) ||
                !fits(height, range.minHeight, range.maxHeight, range.stepHeight))
                return nullptr;
            rangeSize = {width, height, range.framesPerSecond};
            return &rangeSize;
        }
        for (const auto& size : format->sizes)
            if (size.width == width && size.height == height)
                return &size;
        return nullptr;
    };
    const bool canCapture = device.capabilities & V4L2_CAP_VIDEO_CAPTURE;
    const bool canOutput = device.capabilities & V4L2_CAP_VIDEO_OUTPUT;

    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto& capability = *static_cast<v4l2_capability*>(argument);
            capability = {};
            copyString(capability.driver, sizeof capability.driver, device.driver);
            copyString(capability.card, sizeof capability.card, device.card);
            copyString(capability.bus_info, sizeof capability.bus_info, device.busInfo);
            capability.version = KERNEL_VERSION(6, 1, 0);
            capability.device_caps = device.capabilities;
            capability.capabilities = device.capabilities | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto& description = *static_cast<v4l2_fmtdesc*>(argument);
            if (description.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !canCapture ||
                description.index >= device.formats.size())
                return fail(EINVAL);
            description.pixelformat = device.formats[description.index].pixelFormat;
            description.flags = isJPEG(description.pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto& size = *static_cast<v4l2_frmsizeenum*>(argument);
            const auto* format = findFormat(size.pixel_format);
            if (format && format->range && size.index == 0) {
                const auto& range = *format->range;
                size.type = range.stepWidth == 1 && range.stepHeight == 1 ? V4L2_FRMSIZE_TYPE_CONTINUOUS
                                                                          : V4L2_FRMSIZE_TYPE_STEPWISE;
                size.stepwise = {range.minWidth,  range.maxWidth,  range.stepWidth,
                                 range.minHeight, range.maxHeight, range.stepHeight};
                return 0;
            }
            if (!format || size.index >= format->sizes.size())
                return fail(EINVAL);
            size.type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size.discrete = {format->sizes[size.index].width, format->sizes[size.index].height};
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto& interval = *static_cast<v4l2_frmivalenum*>(argument);
            const auto* size = findSize(interval.pixel_format, interval.width, interval.height);
            if (!size || interval.index >= size->framesPerSecond.size())
                return fail(EINVAL);
            interval.type = V4L2_FRMIVAL_TYPE_DISCRETE;
            interval.discrete = {1, size->framesPerSecond[interval.index]};
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT: {
            auto& format = *static_cast<v4l2_format*>(argument);
            if (format.type == V4L2_BUF_TYPE_VIDEO_OUTPUT && canOutput) {
                if (request == VIDIOC_S_FMT) {
                    StreamState state;
                    state.format.pixelFormat = V4L2_PIX_FMT_YUYV;
                    state.format.width = std::max(2u, format.fmt.pix.width & ~1u);
                    state.format.height = std::max(1u, format.fmt.pix.height);
                    layOut(state.format, 0);
                    node.output = state;
                }
                if (!node.output)
                    return fail(EINVAL);
                const auto& current = node.output->format;
                format.fmt.pix = {};
                format.fmt.pix.pixelformat = current.pixelFormat;
                format.fmt.pix.width = current.width;
                format.fmt.pix.height = current.height;
                format.fmt.pix.bytesperline = current.bytesPerLine;
                format.fmt.pix.sizeimage = current.sizeImage;
                format.fmt.pix.field = V4L2_FIELD_NONE;
                return 0;
            }
            if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !canCapture || device.formats.empty())
                return fail(EINVAL);
            if (request == VIDIOC_S_FMT) {
                if (node.streamingFd >= 0)
                    return fail(EBUSY);
                const auto* chosen = findFormat(format.fmt.pix.pixelformat);
                if (!chosen)
                    chosen = &device.formats.front();
                const V4L2FakeFrameSize* nearest = nullptr;
                std::int64_t distance = 0;
                if (chosen->range) {
                    const auto& range = *chosen->range;
                    const auto clamp = [](std::uint32_t value, std::uint32_t low, std::uint32_t high,
                                          std::uint32_t step) {
                        value = std::clamp(value, low, high);
                        return low + (value - low) / std::max(step, 1u) * std::max(step, 1u);
                    };
                    nearest =
                        findSize(chosen->pixelFormat,
                                 clamp(format.fmt.pix.width, range.minWidth, range.maxWidth, range.stepWidth),
                                 clamp(format.fmt.pix.height, range.minHeight, range.maxHeight, range.stepHeight));
                }
                for (const auto& size : chosen->sizes) {
                    const std::int64_t d = std::llabs(std::int64_t{size.width} - format.fmt.pix.width) +
                                           std::llabs(std::int64_t{size.height} - format.fmt.pix.height);
                    if (!nearest || d < distance) {
                        nearest = &size;
                        distance = d;
                    }
                }
                if (!nearest)
                    return fail(EINVAL);
                V4L2StreamFormat current{chosen->pixelFormat, nearest->width, nearest->height, 0, 0, device.fullRange};
                layOut(current, isJPEG(chosen->pixelFormat) ? 0 : device.rowPadding);
                node.capture.format = current;
                node.capture.framesPerSecond = nearest->framesPerSecond.empty() ? 0 : nearest->framesPerSecond.front();
            }
            const auto& current = node.capture.format;
            if (current.pixelFormat == 0)
                return fail(EINVAL);
            format.fmt.pix = {};
            format.fmt.pix.pixelformat = current.pixelFormat;
            format.fmt.pix.width = current.width;
            format.fmt.pix.height = current.height;
            format.fmt.pix.bytesperline = current.bytesPerLine;
            format.fmt.pix.sizeimage = current.sizeImage;
            format.fmt.pix.field = V4L2_FIELD_NONE;
            format.fmt.pix.quantization =
                current.fullRange ? V4L2_QUANTIZATION_FULL_RANGE : V4L2_QUANTIZATION_LIM_RANGE;
            return 0;
        }
        case VIDIOC_S_PARM: {
            auto& parameters = *static_cast<v4l2_streamparm*>(argument);
            if (parameters.type == V4L2_BUF_TYPE_VIDEO_OUTPUT && canOutput) {
                if (!node.output)
                    return fail(EINVAL);
                const auto& perFrame = parameters.parm.output.timeperframe;
                node.output->framesPerSecond = perFrame.numerator ? perFrame.denominator / perFrame.numerator : 0;
                parameters.parm.output.capability = V4L2_CAP_TIMEPERFRAME;
                return 0;
            }
            if (parameters.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !canCapture)
                return fail(EINVAL);
            const auto& current = node.capture.format;
            const auto* size = findSize(current.pixelFormat, current.width, current.height);
            if (!size || size->framesPerSecond.empty())
                return fail(EINVAL);
            const auto& perFrame = parameters.parm.capture.timeperframe;
            const double wanted = perFrame.numerator ? double(perFrame.denominator) / perFrame.numerator : 30.0;
            std::uint32_t best = size->framesPerSecond.front();
            for (const auto fps : size->framesPerSecond)
                if (std::abs(fps - wanted) < std::abs(best - wanted))
                    best = fps;
            node.capture.framesPerSecond = best;
            parameters.parm.capture = {};
            parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            parameters.parm.capture.timeperframe = {1, best};
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto& request_ = *static_cast<v4l2_requestbuffers*>(argument);
            if (request_.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request_.memory != V4L2_MEMORY_MMAP || !canCapture)
                return fail(EINVAL);
            if (node.streamingFd >= 0 && node.streamingFd != handle.fd)
                return fail(EBUSY);
            if (node.capture.streaming)
                return fail(EBUSY);
            handle.buffers.clear();
            handle.queued.clear();
            handle.done.clear();
            if (request_.count == 0) {
                node.streamingFd = -1;
                return 0;
            }
            request_.count = std::min(request_.count, kMaximumBuffers);
            handle.buffers.resize(request_.count);
            for (auto& buffer : handle.buffers)
                buffer.memory.assign(node.capture.format.sizeImage, 0);
            node.streamingFd = handle.fd;
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF: {
            auto& buffer = *static_cast<v4l2_buffer*>(argument);
            if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer.memory != V4L2_MEMORY_MMAP)
                return fail(EINVAL);
            if (request == VIDIOC_DQBUF) {
                if (handle.done.empty())
                    return fail(EAGAIN);
                buffer.index = handle.done.front();
                handle.done.pop_front();
                const auto& done = handle.buffers[buffer.index];
                buffer.bytesused = done.bytesUsed;
                buffer.flags = done.flags & ~V4L2_BUF_FLAG_DONE;
                buffer.timestamp = done.timestamp;
                buffer.sequence = done.sequence;
                buffer.field = V4L2_FIELD_NONE;
                buffer.length = static_cast<std::uint32_t>(done.memory.size());
                buffer.m.offset = static_cast<std::uint32_t>(buffer.index * kBufferOffsetStep);
                return 0;
            }
            if (buffer.index >= handle.buffers.size())
                return fail(EINVAL);
            auto& stored = handle.buffers[buffer.index];
            if (request == VIDIOC_QUERYBUF) {
                buffer.length = static_cast<std::uint32_t>(stored.memory.size());
                buffer.m.offset = static_cast<std::uint32_t>(buffer.index * kBufferOffsetStep);
                buffer.flags = stored.queued ? V4L2_BUF_FLAG_QUEUED : 0;
                return 0;
            }
            if (stored.queued || std::find(handle.done.begin(), handle.done.end(), buffer.index) != handle.done.end())
                return fail(EINVAL);
            stored.queued = true;
            handle.queued.push_back(buffer.index);
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            if (*static_cast<int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE || node.streamingFd != handle.fd)
                return fail(EINVAL);
            if (request == VIDIOC_STREAMON) {
                const auto& refused = device.streamOnRefused;
                if (std::find(refused.begin(), refused.end(), node.capture.format.pixelFormat) != refused.end())
                    return fail(ENOSPC);
                node.capture.streaming = true;
                return 0;
            }
            node.capture.streaming = false;
            handle.queued.clear();
            handle.done.clear();
            for (auto& buffer : handle.buffers)
                buffer.queued = false;
            return 0;
        }
        case VIDIOC_S_CTRL: {
            auto& control = *static_cast<v4l2_control*>(argument);
            if (!device.keepFormatControl || control.id != V4L2LoopbackOutput::kKeepFormatControl)
                return fail(EINVAL);
            node.keepFormat = control.value != 0;
            return 0;
        }
        case VIDIOC_SUBSCRIBE_EVENT: {
            auto& subscription = *static_cast<v4l2_event_subscription*>(argument);
            if (!device.clientUsageEvents || subscription.type != V4L2LoopbackOutput::kClientUsageEvent)
                return fail(EINVAL);
            handle.subscribed = true;
            if (subscription.flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) {
                handle.events.push_back(node.readers);
                ring(handle.fd);
            }
            return 0;
        }
        case VIDIOC_DQEVENT: {
            if (handle.events.empty())
                return fail(ENOENT);
            auto& event = *static_cast<v4l2_event*>(argument);
            event = {};
            event.type = V4L2LoopbackOutput::kClientUsageEvent;
            const std::uint32_t count = handle.events.front();
            handle.events.pop_front();
            std::memcpy(event.u.data, &count, sizeof count);
            event.pending = static_cast<std::uint32_t>(handle.events.size());
            return 0;
        }
        default:
            return fail(ENOTTY);
    }
}

void* V4L2FakeKernel::mmap(std::size_t length, int, int, int fd, off_t offset) {
    std::lock_guard lock(mutex_);
    Handle* handle = presentHandleLocked(fd);
    if (handle == nullptr)
        return MAP_FAILED;
    const auto index = static_cast<std::size_t>(offset / kBufferOffsetStep);
    auto& buffers = handle->buffers;
    if (offset % kBufferOffsetStep != 0 || index >= buffers.size() || length > buffers[index].memory.size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* address = buffers[index].memory.data();
    ++mappings_[address];
    return address;
}

int V4L2FakeKernel::munmap(void* address, std::size_t) {
    std::lock_guard lock(mutex_);
    const auto it = mappings_.find(address);
    if (it == mappings_.end()) {
        errno = EINVAL;
        return -1;
    }
    if (--it->second == 0)
        mappings_.erase(it);
    return 0;
}

// The open descriptor's handle on a node still plugged in; null with errno EBADF or ENODEV otherwise.
V4L2FakeKernel::Handle* V4L2FakeKernel::presentHandleLocked(int fd) {
    const auto it = handles_.find(fd);
    if (it == handles_.end()) {
        errno = EBADF;
        return nullptr;
    }
    if (!it->second->node->present) {
        errno = ENODEV;
        return nullptr;
    }
    return it->second.get();
}

short V4L2FakeKernel::readinessLocked(int fd) const {
    const auto it = handles_.find(fd);
    if (it == handles_.end())
        return POLLNVAL;
    const Handle& handle = *it->second;
    if (!handle.node->present)
        return POLLERR | POLLHUP;
    short ready = 0;
    if (!handle.done.empty())
        ready |= POLLIN | POLLRDNORM;
    if (!handle.events.empty())
        ready |= POLLPRI;
    if (handle.node->output)
        ready |= POLLOUT;
    return ready;
}

int V4L2FakeKernel::poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    std::vector<pollfd> system(fds, fds + count);
    for (;;) {
        int ready = 0;
        std::vector<bool> fake(count, false);
        {
            std::lock_guard lock(mutex_);
            for (nfds_t i = 0; i < count; ++i) {
                fds[i].revents = 0;
                if (handles_.count(fds[i].fd)) {
                    fake[i] = true;
                    const short state = readinessLocked(fds[i].fd);
                    fds[i].revents = static_cast<short>(state & (fds[i].events | POLLERR | POLLHUP | POLLNVAL));
                    ready += fds[i].revents != 0;
                }
            }
        }
        // Wait on the doorbells of our descriptors together with the caller's own ones.
        for (nfds_t i = 0; i < count; ++i) {
            system[i].fd = fds[i].fd;
            system[i].events = fake[i] ? POLLIN : fds[i].events;
            system[i].revents = 0;
        }
        int wait = 0;
        if (ready == 0) {
            if (timeoutMilliseconds < 0) {
                wait = -1;
            } else {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = static_cast<int>(std::max<std::int64_t>(0, left.count()));
            }
        }
        const int result = ::poll(system.data(), count, wait);
        if (result < 0)
            return -1;
        for (nfds_t i = 0; i < count; ++i) {
            if (fake[i]) {
                std::uint64_t drained;
                while (::read(system[i].fd, &drained, sizeof drained) > 0) {
                }
            } else if (system[i].revents) {
                fds[i].revents = system[i].revents;
                ++ready;
            }
        }
        if (ready > 0)
            return ready;
        if (timeoutMilliseconds >= 0 && std::chrono::steady_clock::now() >= deadline)
            return 0;
    }
}

ssize_t V4L2FakeKernel::write(int fd, const void* data, std::size_t size) {
    std::lock_guard lock(mutex_);
    Handle* handle = presentHandleLocked(fd);
    if (handle == nullptr)
        return -1;
    Node& node = *handle->node;
    if (!(node.device.capabilities & V4L2_CAP_VIDEO_OUTPUT) || !node.output) {
        errno = EINVAL;
        return -1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    node.written.emplace_back(bytes, bytes + size);
    return static_cast<ssize_t>(size);
}

}  // namespace velunto

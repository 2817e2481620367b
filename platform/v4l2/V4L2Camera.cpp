#include "platform/v4l2/V4L2Camera.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dispatch/HostClock.h"
#include "platform/oslog/Logger.h"
#include "platform/v4l2/V4L2DeviceInspector.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto", "V4L2");
    return instance;
}

// Consecutive failed dequeues after which the device counts as gone.
constexpr int kMaximumDequeueFailures = 50;
// A driver time stamp further back than this is not trusted.
constexpr std::uint64_t kMaximumTimestampAgeNanoseconds = 1'000'000'000;

bool isGone(int error) {
    return error == ENODEV || error == ENXIO || error == EBADF;
}

}  // namespace

V4L2Camera::V4L2Camera(std::shared_ptr<V4L2DeviceIO> io, V4L2DeviceDescription description)
    : io_(std::move(io)),
      description_(std::move(description)),
      queue_("app.velunto.v4l2.camera." + description_.path) {}

V4L2Camera::~V4L2Camera() {
    std::lock_guard streamLock(streamMutex_);
    closeStream(std::move(stream_));
}

void V4L2Camera::startCapture(std::int32_t width, std::int32_t height, FrameHandler handler) {
    std::lock_guard streamLock(streamMutex_);
    closeStream(std::move(stream_));
    std::uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        generation = ++generation_;
        handler_ = std::move(handler);
        activeFormat_.reset();
    }
    if (width <= 0 || height <= 0)
        return;
    auto stream = openStream(width, height);
    if (!stream)
        return;
    {
        std::lock_guard lock(mutex_);
        activeFormat_ = stream->format;
        activeFramesPerSecond_ = stream->framesPerSecond;
    }
    logger().info("%{public}s: capturing %{public}s %ux%u at %.2f fps", description_.path.c_str(),
                  V4L2DeviceInspector::fourCCString(stream->format.pixelFormat).c_str(), stream->format.width,
                  stream->format.height, stream->framesPerSecond);
    Stream* running = stream.get();
    stream->reader = std::thread([this, running, generation] { readFrames(*running, generation); });
    stream_ = std::move(stream);
}

void V4L2Camera::stopCapture() {
    {
        std::lock_guard streamLock(streamMutex_);
        closeStream(std::move(stream_));
    }
    FrameHandler released;  // destroyed outside the lock
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        released.swap(handler_);
        activeFormat_.reset();
    }
    // A delivery running right now finishes before this returns; queued ones see the new generation.
    if (!queue_.isCurrent())
        queue_.sync([] {});
}

double V4L2Camera::framesPerSecond() const {
    {
        std::lock_guard lock(mutex_);
        if (activeFormat_)
            return activeFramesPerSecond_;
    }
    const auto ranked = V4L2FormatNegotiator::rank(description_, 1280, 720);
    return ranked.empty() ? V4L2FormatNegotiator::kPreferredFramesPerSecond : ranked.front().interval.framesPerSecond();
}

std::shared_ptr<CMClock> V4L2Camera::clock() const {
    return CMClock::hostTimeClock();
}

bool V4L2Camera::isCapturing() const {
    std::lock_guard lock(mutex_);
    return activeFormat_.has_value();
}

std::optional<V4L2StreamFormat> V4L2Camera::streamFormat() const {
    std::lock_guard lock(mutex_);
    return activeFormat_;
}

void V4L2Camera::setDeviceLostHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    deviceLostHandler_ = std::move(handler);
}

std::unique_ptr<V4L2Camera::Stream> V4L2Camera::openStream(std::int32_t width, std::int32_t height) {
    const auto choices =
        V4L2FormatNegotiator::rank(description_, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    if (choices.empty()) {
        logger().error("%{public}s: no format to capture %dx%d in", description_.path.c_str(), width, height);
        return nullptr;
    }
    auto stream = std::make_unique<Stream>();
    stream->fd = io_->open(description_.path, O_RDWR | O_NONBLOCK);
    if (stream->fd < 0) {
        logger().error("%{public}s: open failed: %{public}s", description_.path.c_str(), std::strerror(errno));
        return nullptr;
    }
    stream->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stream->wakeFd < 0) {
        logger().error("eventfd failed: %{public}s", std::strerror(errno));
        closeStream(std::move(stream));
        return nullptr;
    }
    for (const auto& choice : choices) {
        int failure = 0;
        if (configure(*stream, choice, &failure)) {
            stream->decoder = std::make_unique<V4L2FrameDecoder>(stream->format);
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (stream->decoder->isValid() && mapAndQueue(*stream)) {
                if (io_->xioctl(stream->fd, VIDIOC_STREAMON, &type) == 0)
                    return stream;
                failure = errno;
            } else {
                failure = errno;
            }
            // ENOSPC from STREAMON: not enough bus bandwidth for this format; try the next.
            for (const auto& buffer : stream->buffers)
                io_->munmap(buffer.address, buffer.length);
            stream->buffers.clear();
            v4l2_requestbuffers release{};
            release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            release.memory = V4L2_MEMORY_MMAP;
            io_->xioctl(stream->fd, VIDIOC_REQBUFS, &release);
            stream->decoder.reset();
        }
        logger().error("%{public}s: %{public}s %ux%u refused: %{public}s", description_.path.c_str(),
                       V4L2DeviceInspector::fourCCString(choice.pixelFormat).c_str(), choice.width, choice.height,
                       std::strerror(failure));
        if (isGone(failure))
            break;
    }
    closeStream(std::move(stream));
    return nullptr;
}

bool V4L2Camera::configure(Stream& stream, const V4L2FormatChoice& choice, int* failure) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = choice.width;
    format.fmt.pix.height = choice.height;
    format.fmt.pix.pixelformat = choice.pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (io_->xioctl(stream.fd, VIDIOC_S_FMT, &format) != 0) {
        *failure = errno;
        return false;
    }
    if (format.fmt.pix.pixelformat != choice.pixelFormat || format.fmt.pix.width == 0 || format.fmt.pix.height == 0) {
        *failure = EINVAL;
        return false;
    }
    stream.format = {format.fmt.pix.pixelformat, format.fmt.pix.width,
                     format.fmt.pix.height,      format.fmt.pix.bytesperline,
                     format.fmt.pix.sizeimage,   format.fmt.pix.quantization == V4L2_QUANTIZATION_FULL_RANGE};
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe = {choice.interval.numerator, choice.interval.denominator};
    stream.framesPerSecond = choice.interval.framesPerSecond();
    if (io_->xioctl(stream.fd, VIDIOC_S_PARM, &parameters) == 0 &&
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
        const V4L2FrameInterval granted{parameters.parm.capture.timeperframe.numerator,
                                        parameters.parm.capture.timeperframe.denominator};
        if (granted.framesPerSecond() > 0)
            stream.framesPerSecond = granted.framesPerSecond();
    }
    return true;
}

bool V4L2Camera::mapAndQueue(Stream& stream) {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (io_->xioctl(stream.fd, VIDIOC_REQBUFS, &request) != 0)
        return false;
    if (request.count < 2) {
        errno = ENOMEM;
        return false;
    }
    for (std::uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (io_->xioctl(stream.fd, VIDIOC_QUERYBUF, &buffer) != 0)
            return false;
        void* address = io_->mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, stream.fd, buffer.m.offset);
        if (address == MAP_FAILED)
            return false;
        stream.buffers.push_back({address, buffer.length});
        if (io_->xioctl(stream.fd, VIDIOC_QBUF, &buffer) != 0)
            return false;
    }
    return true;
}

void V4L2Camera::closeStream(std::unique_ptr<Stream> stream) {
    if (!stream)
        return;
    if (stream->reader.joinable()) {
        const std::uint64_t one = 1;
        if (::write(stream->wakeFd, &one, sizeof one) != sizeof one)
            logger().error("%{public}s: cannot wake the reader: %{public}s", description_.path.c_str(),
                           std::strerror(errno));
        stream->reader.join();
    }
    if (stream->fd >= 0) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (!stream->buffers.empty())
            io_->xioctl(stream->fd, VIDIOC_STREAMOFF, &type);
        for (const auto& buffer : stream->buffers)
            io_->munmap(buffer.address, buffer.length);
        io_->close(stream->fd);
    }
    if (stream->wakeFd >= 0)
        ::close(stream->wakeFd);
}

void V4L2Camera::readFrames(Stream& stream, std::uint64_t generation) {
    bool lost = false;
    int failures = 0;
    while (!lost) {
        pollfd fds[2] = {{stream.fd, POLLIN, 0}, {stream.wakeFd, POLLIN, 0}};
        if (io_->poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            lost = true;
            break;
        }
        if (fds[1].revents)
            break;  // stopCapture
        if (!fds[0].revents)
            continue;
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (io_->xioctl(stream.fd, VIDIOC_DQBUF, &buffer) != 0) {
            const int error = errno;
            if (error == EAGAIN && !(fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)))
                continue;
            if (isGone(error) || (fds[0].revents & (POLLHUP | POLLNVAL)) || ++failures >= kMaximumDequeueFailures) {
                lost = true;
                break;
            }
            std::uint64_t occurrence = 0;
            if (dequeueErrors_.admit(&occurrence))
                logger().error("%{public}s: dequeue failed (%llu times): %{public}s", description_.path.c_str(),
                               static_cast<unsigned long long>(occurrence), std::strerror(error));
            continue;
        }
        failures = 0;
        const std::uint64_t captured = captureTimeNanoseconds(buffer.timestamp, buffer.flags);
        std::shared_ptr<CVPixelBuffer> frame;
        if (!(buffer.flags & V4L2_BUF_FLAG_ERROR) && buffer.index < stream.buffers.size()) {
            const auto& mapped = stream.buffers[buffer.index];
            frame = stream.decoder->decode(static_cast<const std::uint8_t*>(mapped.address),
                                           std::min<std::size_t>(buffer.bytesused, mapped.length));
        }
        if (io_->xioctl(stream.fd, VIDIOC_QBUF, &buffer) != 0 && isGone(errno))
            lost = true;
        if (frame) {
            deliver(std::move(frame), captured, generation);
        } else {
            framesDropped_.fetch_add(1, std::memory_order_acq_rel);
            std::uint64_t occurrence = 0;
            if (badFrames_.admit(&occurrence))
                logger().error("%{public}s: dropped an undecodable %{public}s frame of %u bytes (%llu so far)",
                               description_.path.c_str(),
                               V4L2DeviceInspector::fourCCString(stream.format.pixelFormat).c_str(), buffer.bytesused,
                               static_cast<unsigned long long>(occurrence));
        }
    }
    if (!lost)
        return;
    logger().error("%{public}s: device went away while capturing", description_.path.c_str());
    std::function<void()> onLost;
    {
        std::lock_guard lock(mutex_);
        if (generation == generation_) {
            activeFormat_.reset();
            onLost = deviceLostHandler_;
        }
    }
    if (onLost)
        onLost();
}

std::uint64_t V4L2Camera::captureTimeNanoseconds(const timeval& timestamp, std::uint32_t flags) const {
    const std::uint64_t monotonicBefore = HostClock::monotonicNanoseconds();
    const std::uint64_t dequeued = HostClock::nowNanoseconds();
    const std::uint64_t monotonicNow = HostClock::monotonicNanoseconds();
    if ((flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC || timestamp.tv_sec < 0 ||
        (timestamp.tv_sec == 0 && timestamp.tv_usec == 0))
        return dequeued;
    const std::uint64_t stamped = static_cast<std::uint64_t>(timestamp.tv_sec) * 1'000'000'000 +
                                  static_cast<std::uint64_t>(timestamp.tv_usec) * 1000;
    if (stamped > monotonicNow || monotonicNow - stamped > kMaximumTimestampAgeNanoseconds)
        return dequeued;
    // The host clock is the monotonic clock unless virtual time runs; then the stamp's age carries over.
    if (monotonicBefore <= dequeued && dequeued <= monotonicNow)
        return stamped;
    const std::uint64_t age = monotonicNow - stamped;
    return age > dequeued ? dequeued : dequeued - age;
}

void V4L2Camera::deliver(std::shared_ptr<CVPixelBuffer> frame, std::uint64_t hostNanoseconds,
                         std::uint64_t generation) {
    queue_.async([weak = weak_from_this(), frame = std::move(frame), hostNanoseconds, generation] {
        const auto self = weak.lock();
        if (!self)
            return;
        FrameHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            if (generation != self->generation_ || !self->handler_)
                return;
            handler = self->handler_;
        }
        self->framesDelivered_.fetch_add(1, std::memory_order_acq_rel);
        handler(frame, CMTimeMake(static_cast<std::int64_t>(hostNanoseconds), 1'000'000'000));
    });
}

}  // namespace velunto

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/avfoundation/AVCaptureDeviceBackend.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/v4l2/V4L2DeviceDescription.h"
#include "platform/v4l2/V4L2DeviceIO.h"
#include "platform/v4l2/V4L2FormatNegotiator.h"
#include "platform/v4l2/V4L2FrameDecoder.h"
#include "platform/v4l2/V4L2LogLimiter.h"

namespace velunto {

// One V4L2 capture device as a capture backend. startCapture negotiates a format (see
// V4L2FormatNegotiator), maps the driver's buffers and starts a reader thread that waits in poll(),
// decodes each dequeued buffer and hands the frame to the handler on the camera's queue. Capture
// times are on the host clock: the driver's monotonic time stamp when it gives one, else the time
// of dequeue. When the device goes away mid-stream capture ends and the device-lost handler runs.
// Make it with std::make_shared: frames reach the handler through a weak reference.
class V4L2Camera : public AVCaptureDeviceBackend, public std::enable_shared_from_this<V4L2Camera> {
public:
    static constexpr std::uint32_t kBufferCount = 4;

    V4L2Camera(std::shared_ptr<V4L2DeviceIO> io, V4L2DeviceDescription description);
    ~V4L2Camera() override;
    V4L2Camera(const V4L2Camera&) = delete;
    V4L2Camera& operator=(const V4L2Camera&) = delete;

    // Without a usable format or with the device refusing it, no frame arrives (the failure is logged).
    void startCapture(std::int32_t width, std::int32_t height, FrameHandler handler) override;
    void stopCapture() override;
    // The negotiated rate while capturing, else the rate the device would give at its largest size.
    double framesPerSecond() const override;
    std::shared_ptr<CMClock> clock() const override;

    const V4L2DeviceDescription& description() const { return description_; }
    bool isCapturing() const;
    // What the driver accepted for the running stream.
    std::optional<V4L2StreamFormat> streamFormat() const;
    // Called once, on the reader thread, when the device stops answering (ENODEV and the like).
    void setDeviceLostHandler(std::function<void()> handler);
    std::uint64_t framesDelivered() const { return framesDelivered_.load(std::memory_order_acquire); }
    std::uint64_t framesDropped() const { return framesDropped_.load(std::memory_order_acquire); }

private:
    struct MappedBuffer {
        void* address = nullptr;
        std::size_t length = 0;
    };
    struct Stream {
        int fd = -1;
        int wakeFd = -1;
        std::vector<MappedBuffer> buffers;
        V4L2StreamFormat format;
        double framesPerSecond = 0;
        std::unique_ptr<V4L2FrameDecoder> decoder;
        std::thread reader;
    };

    std::unique_ptr<Stream> openStream(std::int32_t width, std::int32_t height);
    bool configure(Stream& stream, const V4L2FormatChoice& choice, int* failure);
    bool mapAndQueue(Stream& stream);
    void closeStream(std::unique_ptr<Stream> stream);           // stops and joins the reader first
    void readFrames(Stream& stream, std::uint64_t generation);  // the reader thread
    std::uint64_t captureTimeNanoseconds(const timeval& timestamp, std::uint32_t flags) const;
    void deliver(std::shared_ptr<CVPixelBuffer> frame, std::uint64_t hostNanoseconds, std::uint64_t generation);

    const std::shared_ptr<V4L2DeviceIO> io_;
    const V4L2DeviceDescription description_;
    const DispatchQueue queue_;
    std::mutex streamMutex_;  // serializes start/stop
    std::unique_ptr<Stream> stream_;
    mutable std::mutex mutex_;
    FrameHandler handler_;
    std::function<void()> deviceLostHandler_;
    std::uint64_t generation_ = 0;
    std::optional<V4L2StreamFormat> activeFormat_;
    double activeFramesPerSecond_ = 0;
    std::atomic<std::uint64_t> framesDelivered_{0};
    std::atomic<std::uint64_t> framesDropped_{0};
    V4L2LogLimiter dequeueErrors_;
    V4L2LogLimiter badFrames_;
};

}  // namespace velunto

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/corevideo/CVPixelBuffer.h"
#include "platform/v4l2/V4L2DeviceDescription.h"
#include "platform/v4l2/V4L2DeviceIO.h"
#include "platform/v4l2/V4L2LogLimiter.h"

namespace velunto {

// Writes frames into a v4l2loopback device, which video-call apps then open as a camera. The device
// is found by its card label ("Velunto Kamera") or, failing that, as the first v4l2loopback node
// that accepts output. Frames are written as YUYV with write(). Where the module reports it, the
// number of apps reading the device is available from readerCount(). Thread-safe; write() takes a
// lock, so it is not for a real-time thread.
class V4L2LoopbackOutput {
public:
    // v4l2loopback's private event with the number of openers other than the writer, and its payload
    // (a __u32 count at the start of v4l2_event::u.data).
    static constexpr std::uint32_t kClientUsageEvent = 0x08000000u + 0x08E00000u + 1u;
    // v4l2loopback's keep_format control: the format stays when the writer closes.
    static constexpr std::uint32_t kKeepFormatControl = 0x0098f900u;

    // Null: the real system.
    explicit V4L2LoopbackOutput(std::shared_ptr<V4L2DeviceIO> io = nullptr);
    ~V4L2LoopbackOutput();
    V4L2LoopbackOutput(const V4L2LoopbackOutput&) = delete;
    V4L2LoopbackOutput& operator=(const V4L2LoopbackOutput&) = delete;

    // The device open() would use, or nullopt.
    static std::optional<V4L2DeviceDescription> findDevice(V4L2DeviceIO& io);

    // Opens the device for frames of this size (closing any earlier one). On failure returns false and,
    // if failureReason is given, a sentence the caller can log once; nothing is logged here.
    bool open(std::int32_t width, std::int32_t height, double framesPerSecond, std::string* failureReason = nullptr);
    void close();
    bool isOpen() const;
    std::string devicePath() const;
    std::string card() const;
    std::pair<std::uint32_t, std::uint32_t> size() const;

    // A 'BGRA' (converted to YUYV) or 'yuvs' (copied) frame of the open size. False when nothing was
    // written: not open, wrong size or format, or a write error (logged, rate-limited). A device that
    // went away is closed.
    bool write(const CVPixelBuffer& frame);

    // True once open() subscribed to the client-usage event.
    bool supportsReaderCount() const;
    // The readers (apps other than us with the device open) after the events that arrived so far;
    // nullopt when the module does not report them. Never blocks.
    std::optional<std::uint32_t> readerCount();

private:
    void closeLocked();

    const std::shared_ptr<V4L2DeviceIO> io_;
    mutable std::mutex mutex_;
    int fd_ = -1;
    V4L2DeviceDescription device_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::uint32_t bytesPerLine_ = 0;
    std::vector<std::uint8_t> frame_;  // one YUYV frame, reused
    bool eventsSubscribed_ = false;
    std::optional<std::uint32_t> readers_;
    V4L2LogLimiter writeErrors_;
};

}  // namespace velunto

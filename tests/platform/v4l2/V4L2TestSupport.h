#pragma once

#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/v4l2/V4L2FakeKernel.h"

namespace velunto::testing {

inline constexpr std::chrono::seconds kGenerousWait{10};

// Frames handed to a capture handler, kept until the test reads them.
class FrameSink {
public:
    struct Received {
        std::shared_ptr<CVPixelBuffer> frame;
        CMTime time;
    };

    AVCaptureDeviceBackend::FrameHandler handler() {
        return [this](const std::shared_ptr<CVPixelBuffer>& frame, CMTime time) {
            std::lock_guard lock(mutex_);
            frames_.push_back({frame, time});
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kGenerousWait, [&] { return frames_.size() >= count; });
    }
    std::vector<Received> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> frames_;
};

// Connect/disconnect notifications as "+<uniqueID>" / "-<uniqueID>", in order.
class DeviceNotifications {
public:
    DeviceNotifications() {
        for (const char* name : {AVCaptureDeviceWasConnectedNotification, AVCaptureDeviceWasDisconnectedNotification})
            tokens_.push_back(NotificationCenter::defaultCenter().addObserver(
                name, nullptr, std::nullopt,
                [this, connected = name == std::string(AVCaptureDeviceWasConnectedNotification)](
                    const Notification& notification) {
                    const auto* device = static_cast<const AVCaptureDevice*>(notification.object);
                    std::lock_guard lock(mutex_);
                    events_.push_back(std::string(connected ? "+" : "-") + device->uniqueID());
                    changed_.notify_all();
                }));
    }
    ~DeviceNotifications() {
        for (const auto& token : tokens_)
            NotificationCenter::defaultCenter().removeObserver(token);
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kGenerousWait, [&] { return events_.size() >= count; });
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    std::vector<NotificationCenter::Token> tokens_;
};

inline V4L2FakeFormat fakeFormat(std::uint32_t pixelFormat, std::vector<V4L2FakeFrameSize> sizes) {
    return {pixelFormat, std::move(sizes), std::nullopt};
}

// A typical USB 2 webcam: YUYV is slow above VGA, MJPEG is fast everywhere.
inline V4L2FakeDevice usbWebcam(std::string path, std::string card = "HD Webcam C270",
                                std::string bus = "usb-0000:00:14.0-1") {
    return V4L2FakeDevice::camera(
        std::move(path), std::move(card), std::move(bus),
        {fakeFormat(V4L2_PIX_FMT_YUYV, {{640, 480, {30, 15}}, {1280, 720, {10, 5}}, {1920, 1080, {5}}}),
         fakeFormat(V4L2_PIX_FMT_MJPEG, {{640, 480, {30}}, {1280, 720, {30}}, {1920, 1080, {30}}})});
}

}  // namespace velunto::testing

#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDeviceProvider.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/v4l2/V4L2Camera.h"
#include "platform/v4l2/V4L2DeviceIO.h"
#include "platform/v4l2/V4L2DeviceWatcher.h"

namespace velunto {

// The V4L2 cameras as the capture layer sees them. Scans the video device nodes, offers those
// V4L2DeviceInspector calls cameras, and follows hot-plug through the watcher: every change is
// posted as AVCaptureDeviceWasConnectedNotification / AVCaptureDeviceWasDisconnectedNotification
// (object: the AVCaptureDevice*) from the provider's queue. A camera that stops answering while
// capturing triggers a rescan, so its disconnect is reported even before the node disappears.
class V4L2CameraProvider : public AVCaptureDeviceProvider, public std::enable_shared_from_this<V4L2CameraProvider> {
public:
    struct Camera {
        std::shared_ptr<AVCaptureDevice> device;
        std::shared_ptr<V4L2Camera> camera;
    };

    // Null arguments mean the real system: libc and an inotify watcher on /dev.
    explicit V4L2CameraProvider(std::shared_ptr<V4L2DeviceIO> io = nullptr,
                                std::unique_ptr<V4L2DeviceWatcher> watcher = nullptr);
    ~V4L2CameraProvider() override;
    V4L2CameraProvider(const V4L2CameraProvider&) = delete;
    V4L2CameraProvider& operator=(const V4L2CameraProvider&) = delete;

    // Joins AVCaptureDeviceRegistry, connects the cameras present now and starts following hot-plug.
    void start();
    // Stops following, disconnects every camera (stopping its capture) and leaves the registry.
    void stop();
    // Looks at the device nodes again; the notifications for what changed are posted before it returns.
    // Not to be called from a notification observer (that runs on the provider's queue).
    void rescan();

    std::vector<std::shared_ptr<AVCaptureDevice>> connectedDevices() const override;
    // The first built-in camera, else the first connected one.
    std::shared_ptr<AVCaptureDevice> defaultDevice(const AVMediaType& type) const override;
    std::optional<Camera> find(const std::string& uniqueID) const;

private:
    void rescanOnQueue();
    void scheduleRescan();
    void disconnectOnQueue(const Camera& camera);

    const std::shared_ptr<V4L2DeviceIO> io_;
    const std::unique_ptr<V4L2DeviceWatcher> watcher_;
    const DispatchQueue queue_;
    mutable std::mutex mutex_;
    std::vector<Camera> cameras_;                 // in connection order
    std::map<std::string, std::string> skipped_;  // path → why it is not offered (logged once)
    bool started_ = false;
};

}  // namespace velunto

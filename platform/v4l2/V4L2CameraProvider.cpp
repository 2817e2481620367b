#include "platform/v4l2/V4L2CameraProvider.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/avfoundation/AVCaptureDeviceRegistry.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/oslog/Logger.h"
#include "platform/v4l2/V4L2DeviceInspector.h"
#include "platform/v4l2/V4L2InotifyWatcher.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto", "V4L2");
    return instance;
}

}  // namespace

V4L2CameraProvider::V4L2CameraProvider(std::shared_ptr<V4L2DeviceIO> io, std::unique_ptr<V4L2DeviceWatcher> watcher)
    : io_(io ? std::move(io) : V4L2DeviceIO::system()),
      watcher_(watcher ? std::move(watcher) : std::make_unique<V4L2InotifyWatcher>()),
      queue_("app.velunto.v4l2.provider") {}

V4L2CameraProvider::~V4L2CameraProvider() {
    watcher_->stop();
    std::lock_guard lock(mutex_);
    for (const auto& camera : cameras_)
        camera.camera->stopCapture();
}

void V4L2CameraProvider::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_)
            return;
        started_ = true;
    }
    AVCaptureDeviceRegistry::shared().addProvider(shared_from_this());
    watcher_->start([weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->scheduleRescan();
    });
    rescan();
}

void V4L2CameraProvider::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            return;
        started_ = false;
    }
    watcher_->stop();
    queue_.sync([this] {
        std::vector<Camera> cameras;
        {
            std::lock_guard lock(mutex_);
            cameras = cameras_;
        }
        for (auto it = cameras.rbegin(); it != cameras.rend(); ++it)
            disconnectOnQueue(*it);
    });
    AVCaptureDeviceRegistry::shared().removeProvider(shared_from_this());
}

void V4L2CameraProvider::rescan() {
    queue_.sync([this] { rescanOnQueue(); });
}

void V4L2CameraProvider::scheduleRescan() {
    queue_.async([weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->rescanOnQueue();
    });
}

std::vector<std::shared_ptr<AVCaptureDevice>> V4L2CameraProvider::connectedDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<AVCaptureDevice>> devices;
    for (const auto& camera : cameras_)
        devices.push_back(camera.device);
    return devices;
}

std::shared_ptr<AVCaptureDevice> V4L2CameraProvider::defaultDevice(const AVMediaType& type) const {
    std::lock_guard lock(mutex_);
    if (type != AVMediaTypeVideo || cameras_.empty())
        return nullptr;
    for (const auto& camera : cameras_)
        if (camera.device->deviceType() == AVCaptureDeviceTypeBuiltInWideAngleCamera)
            return camera.device;
    return cameras_.front().device;
}

std::optional<V4L2CameraProvider::Camera> V4L2CameraProvider::find(const std::string& uniqueID) const {
    std::lock_guard lock(mutex_);
    for (const auto& camera : cameras_)
        if (camera.device->uniqueID() == uniqueID)
            return camera;
    return std::nullopt;
}

void V4L2CameraProvider::rescanOnQueue() {
    {
        std::lock_guard lock(mutex_);
        if (!started_)
            return;
    }
    std::vector<V4L2DeviceDescription> present;
    std::vector<std::string> unreadable;  // nodes that exist but could not be opened right now
    for (const auto& path : io_->devicePaths()) {
        auto description = V4L2DeviceInspector::describe(*io_, path);
        std::string reason;
        if (!description) {
            const int error = errno;
            if (error != ENODEV && error != ENOENT && error != ENXIO)
                unreadable.push_back(path);
            reason = std::string("cannot open: ") + std::strerror(error);
        } else if (V4L2DeviceInspector::isCamera(*description, &reason)) {
            const auto id = V4L2DeviceInspector::uniqueID(*description);
            if (std::none_of(present.begin(), present.end(), [&](const V4L2DeviceDescription& other) {
                    return V4L2DeviceInspector::uniqueID(other) == id;
                })) {
                present.push_back(std::move(*description));
                skipped_.erase(path);
                continue;
            }
            reason = "a second node of " + id;
        }
        if (auto& known = skipped_[path]; known != reason) {
            known = reason;
            logger().info("skipping %{public}s (%{public}s): %{public}s", path.c_str(),
                          description ? description->card.c_str() : "?", reason.c_str());
        }
    }

    std::vector<Camera> gone;
    {
        std::lock_guard lock(mutex_);
        for (const auto& camera : cameras_) {
            const auto& path = camera.camera->description().path;
            const bool stillThere = std::any_of(present.begin(), present.end(), [&](const V4L2DeviceDescription& d) {
                return d.path == path && V4L2DeviceInspector::uniqueID(d) == camera.device->uniqueID();
            });
            const bool keptUnreadable = std::find(unreadable.begin(), unreadable.end(), path) != unreadable.end();
            if (!stillThere && !keptUnreadable)
                gone.push_back(camera);
        }
    }
    for (const auto& camera : gone)
        disconnectOnQueue(camera);

    for (auto& description : present) {
        const auto id = V4L2DeviceInspector::uniqueID(description);
        {
            std::lock_guard lock(mutex_);
            if (std::any_of(cameras_.begin(), cameras_.end(),
                            [&](const Camera& camera) { return camera.device->uniqueID() == id; }))
                continue;
        }
        auto descriptor = V4L2DeviceInspector::descriptor(description);
        auto camera = std::make_shared<V4L2Camera>(io_, std::move(description));
        camera->setDeviceLostHandler([weak = weak_from_this()] {
            if (const auto self = weak.lock())
                self->scheduleRescan();
        });
        auto device = std::make_shared<AVCaptureDevice>(std::move(descriptor), camera);
        {
            std::lock_guard lock(mutex_);
            cameras_.push_back({device, camera});
        }
        logger().info("camera connected: %{public}s (%{public}s)", device->localizedName().c_str(),
                      camera->description().path.c_str());
        NotificationCenter::defaultCenter().post({AVCaptureDeviceWasConnectedNotification, device.get()});
    }
}

void V4L2CameraProvider::disconnectOnQueue(const Camera& camera) {
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find_if(cameras_.begin(), cameras_.end(),
                                     [&](const Camera& known) { return known.device == camera.device; });
        if (it == cameras_.end())
            return;
        cameras_.erase(it);
    }
    camera.device->markDisconnected();
    camera.camera->stopCapture();
    logger().info("camera disconnected: %{public}s (%{public}s)", camera.device->localizedName().c_str(),
                  camera.camera->description().path.c_str());
    NotificationCenter::defaultCenter().post({AVCaptureDeviceWasDisconnectedNotification, camera.device.get()});
}

}  // namespace velunto

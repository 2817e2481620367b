#include "platform/avfoundation/AVCaptureSession.h"

#include <algorithm>

#include "platform/avfoundation/AVCaptureDeviceInput.h"
#include "platform/avfoundation/AVCaptureSessionPipeline.h"
#include "platform/avfoundation/AVCaptureVideoDataOutput.h"
#include "platform/dispatch/Weakly.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger logger("app.velunto.capture", "Session");

std::shared_ptr<AVCaptureDeviceInput> asDeviceInput(const std::shared_ptr<AVCaptureInput>& input) {
    return std::dynamic_pointer_cast<AVCaptureDeviceInput>(input);
}

std::pair<std::int32_t, std::int32_t> presetSize(const AVCaptureSessionPreset& preset) {
    if (preset == AVCaptureSessionPreset1280x720)
        return {1280, 720};
    if (preset == AVCaptureSessionPreset1920x1080)
        return {1920, 1080};
    return {0, 0};
}

bool supports(const AVCaptureDevice& device, std::pair<std::int32_t, std::int32_t> size) {
    const auto sizes = device.supportedSizes();
    return std::find(sizes.begin(), sizes.end(), size) != sizes.end();
}

}  // namespace

std::shared_ptr<AVCaptureSession> AVCaptureSession::make() {
    auto session = std::shared_ptr<AVCaptureSession>(new AVCaptureSession());
    session->disconnectObserver_ = NotificationCenter::defaultCenter().addObserver(
        AVCaptureDeviceWasDisconnectedNotification, nullptr, std::nullopt,
        weakly(session,
               [](AVCaptureSession& self, const Notification& note) { self.deviceDisconnected(note.object); }));
    return session;
}

AVCaptureSession::~AVCaptureSession() {
    NotificationCenter::defaultCenter().removeObserver(disconnectObserver_);
    std::shared_ptr<AVCaptureSessionPipeline> retired;
    {
        std::lock_guard lock(mutex_);
        retired = stopCaptureLocked();
        for (const auto& input : inputs_)
            if (auto deviceInput = asDeviceInput(input))
                deviceInput->device()->relinquish(this);
    }
    if (retired)
        retired->close();
}

void AVCaptureSession::beginConfiguration() {
    std::lock_guard lock(mutex_);
    ++configurationDepth_;
}

void AVCaptureSession::commitConfiguration() {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        if (configurationDepth_ == 0)
            return;
        if (--configurationDepth_ == 0)
            aftermath = reconcileLocked();
    }
    finish(std::move(aftermath));
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const {
    const auto deviceInput = asDeviceInput(input);
    if (!deviceInput || !deviceInput->device()->isConnected() || deviceInput->device()->isClaimedByOtherThan(this))
        return false;
    std::lock_guard lock(mutex_);
    return std::none_of(inputs_.begin(), inputs_.end(), [](const auto& existing) { return asDeviceInput(existing); });
}

void AVCaptureSession::addInput(const std::shared_ptr<AVCaptureInput>& input) {
    if (!canAddInput(input)) {
        logger.error("cannot add the input");
        return;
    }
    const auto deviceInput = asDeviceInput(input);
    if (!deviceInput->device()->claim(this))
        return;
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        inputs_.push_back(input);
        for (const auto& output : outputs_)
            connections_.push_back(std::make_shared<AVCaptureConnection>(input, output));
        if (!canSetPresetLocked(preset_))
            preset_ = AVCaptureSessionPresetHigh;
        if (configurationDepth_ == 0)
            aftermath = reconcileLocked();
    }
    finish(std::move(aftermath));
}

void AVCaptureSession::removeInput(const std::shared_ptr<AVCaptureInput>& input) {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find(inputs_.begin(), inputs_.end(), input);
        if (it == inputs_.end())
            return;
        inputs_.erase(it);
        std::erase_if(connections_, [&](const auto& connection) { return connection->input() == input; });
        if (const auto deviceInput = asDeviceInput(input))
            deviceInput->device()->relinquish(this);
        if (configurationDepth_ == 0)
            aftermath = reconcileLocked();
    }
    finish(std::move(aftermath));
}

std::vector<std::shared_ptr<AVCaptureInput>> AVCaptureSession::inputs() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const {
    if (!std::dynamic_pointer_cast<AVCaptureVideoDataOutput>(output))
        return false;
    std::lock_guard lock(mutex_);
    return std::find(outputs_.begin(), outputs_.end(), output) == outputs_.end();
}

void AVCaptureSession::addOutput(const std::shared_ptr<AVCaptureOutput>& output) {
    if (!canAddOutput(output)) {
        logger.error("cannot add the output");
        return;
    }
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        outputs_.push_back(output);
        for (const auto& input : inputs_)
            connections_.push_back(std::make_shared<AVCaptureConnection>(input, output));
        if (configurationDepth_ == 0)
            aftermath = reconcileLocked();
    }
    finish(std::move(aftermath));
}

void AVCaptureSession::removeOutput(const std::shared_ptr<AVCaptureOutput>& output) {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find(outputs_.begin(), outputs_.end(), output);
        if (it == outputs_.end())
            return;
        outputs_.erase(it);
        std::erase_if(connections_, [&](const auto& connection) { return connection->output() == output; });
        if (configurationDepth_ == 0)
            aftermath = reconcileLocked();
    }
    finish(std::move(aftermath));
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
    std::lock_guard lock(mutex_);
    return outputs_;
}

std::vector<std::shared_ptr<AVCaptureConnection>> AVCaptureSession::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool AVCaptureSession::canSetSessionPreset(const AVCaptureSessionPreset& preset) const {
    std::lock_guard lock(mutex_);
    return canSetPresetLocked(preset);
}

bool AVCaptureSession::canSetPresetLocked(const AVCaptureSessionPreset& preset) const {
    if (preset == AVCaptureSessionPresetHigh)
        return true;
    const auto size = presetSize(preset);
    if (size.first == 0)
        return false;
    const auto device = deviceLocked();
    return !device || supports(*device, size);
}

void AVCaptureSession::setSessionPreset(const AVCaptureSessionPreset& preset) {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        if (!canSetPresetLocked(preset)) {
            logger.error("cannot set the session preset %{public}s", preset);
            return;
        }
        preset_ = preset;
        if (configurationDepth_ == 0)
            aftermath = reconcileLocked();
    }
    finish(std::move(aftermath));
}

AVCaptureSessionPreset AVCaptureSession::sessionPreset() const {
    std::lock_guard lock(mutex_);
    return preset_;
}

void AVCaptureSession::startRunning() {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        if (running_)
            return;
        const auto device = deviceLocked();
        if (!device || !device->isConnected()) {
            logger.error("cannot start running without a connected camera");
            return;
        }
        if (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) != AVAuthorizationStatus::authorized) {
            logger.error("cannot start running: camera access is not authorized");
            return;
        }
        running_ = true;
        startCaptureLocked(device);
        aftermath.started = true;
    }
    finish(std::move(aftermath));
}

void AVCaptureSession::stopRunning() {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        running_ = false;
        aftermath.retired = stopCaptureLocked();
        aftermath.stopped = true;
    }
    finish(std::move(aftermath));
}

bool AVCaptureSession::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

std::shared_ptr<CMClock> AVCaptureSession::synchronizationClock() const {
    std::lock_guard lock(mutex_);
    const auto device = deviceLocked();
    return device ? device->backend()->clock() : nullptr;
}

std::shared_ptr<AVCaptureDevice> AVCaptureSession::deviceLocked() const {
    for (const auto& input : inputs_)
        if (const auto deviceInput = asDeviceInput(input))
            return deviceInput->device();
    return nullptr;
}

std::pair<std::int32_t, std::int32_t> AVCaptureSession::sizeForLocked(const AVCaptureDevice& device) const {
    const auto size = presetSize(preset_);
    if (size.first != 0 && supports(device, size))
        return size;
    std::pair<std::int32_t, std::int32_t> largest{0, 0};
    for (const auto& candidate : device.supportedSizes())
        if (std::int64_t{candidate.first} * candidate.second > std::int64_t{largest.first} * largest.second)
            largest = candidate;
    return largest;
}

AVCaptureSession::Aftermath AVCaptureSession::reconcileLocked() {
    Aftermath aftermath;
    if (!running_)
        return aftermath;
    const auto device = deviceLocked();
    if (!device || !device->isConnected()) {
        running_ = false;
        aftermath.retired = stopCaptureLocked();
        aftermath.stopped = true;
    } else if (device != activeDevice_ || sizeForLocked(*device) != activeSize_) {
        aftermath.retired = stopCaptureLocked();
        startCaptureLocked(device);
    } else {
        updateRoutesLocked();
    }
    return aftermath;
}

void AVCaptureSession::startCaptureLocked(const std::shared_ptr<AVCaptureDevice>& device) {
    const auto& backend = device->backend();
    pipeline_ = std::make_shared<AVCaptureSessionPipeline>(backend->framesPerSecond());
    for (const auto& output : outputs_)
        if (auto videoOutput = std::dynamic_pointer_cast<AVCaptureVideoDataOutput>(output))
            videoOutput->beginDelivery();
    updateRoutesLocked();
    activeDevice_ = device;
    activeSize_ = sizeForLocked(*device);
    backend->startCapture(activeSize_.first, activeSize_.second,
                          [pipeline = pipeline_](const std::shared_ptr<CVPixelBuffer>& frame, CMTime captureTime) {
                              pipeline->deliver(frame, captureTime);
                          });
}

std::shared_ptr<AVCaptureSessionPipeline> AVCaptureSession::stopCaptureLocked() {
    if (activeDevice_)
        activeDevice_->backend()->stopCapture();
    activeDevice_.reset();
    activeSize_ = {0, 0};
    return std::exchange(pipeline_, nullptr);
}

void AVCaptureSession::updateRoutesLocked() {
    if (!pipeline_)
        return;
    std::vector<AVCaptureSessionPipeline::Route> routes;
    for (const auto& connection : connections_)
        if (auto output = std::dynamic_pointer_cast<AVCaptureVideoDataOutput>(connection->output()))
            routes.emplace_back(connection, std::move(output));
    pipeline_->setRoutes(std::move(routes));
}

void AVCaptureSession::finish(Aftermath aftermath) {
    if (aftermath.retired)
        aftermath.retired->close();
    if (aftermath.started)
        NotificationCenter::defaultCenter().post({AVCaptureSessionDidStartRunningNotification, this});
    if (aftermath.stopped)
        NotificationCenter::defaultCenter().post({AVCaptureSessionDidStopRunningNotification, this});
}

void AVCaptureSession::deviceDisconnected(const void* device) {
    Aftermath aftermath;
    {
        std::lock_guard lock(mutex_);
        if (!running_ || !activeDevice_ || activeDevice_.get() != device)
            return;
        logger.notice("%{public}s was disconnected; the session stops", activeDevice_->localizedName());
        running_ = false;
        aftermath.retired = stopCaptureLocked();
        aftermath.stopped = true;
    }
    finish(std::move(aftermath));
}

}  // namespace velunto

#include "app/camera/CameraEngine.h"

#include <algorithm>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureDeviceDiscoverySession.h"
#include "platform/avfoundation/AVCaptureDeviceInput.h"
#include "platform/coremedia/CMClock.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/Weakly.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "CameraEngine");
    return logger;
}

bool isOwnCamera(const AVCaptureDevice& device) {
    return device.uniqueID() == CameraEngine::kOwnCameraUniqueID ||
           device.localizedName() == CameraEngine::kOwnCameraName;
}

}  // namespace

std::shared_ptr<CameraEngine> CameraEngine::make(SettingsStore settingsStore) {
    std::shared_ptr<CameraEngine> engine(new CameraEngine(std::move(settingsStore)));
    engine->construct();
    return engine;
}

CameraEngine::CameraEngine(SettingsStore settingsStore)
    : settingsStore_(std::move(settingsStore)),
      session_(AVCaptureSession::make()),
      videoOutput_(AVCaptureVideoDataOutput::make()) {}

CameraEngine::~CameraEngine() = default;

void CameraEngine::construct() {
    selection.set(settingsStore_.loadCameraSelection());
    client_ = VirtualCameraClient::make(queue_);
    refreshCameras();
    desiredCameraID_ = resolveDesiredCameraID();
    // The tokens are not kept: the handlers hold the engine weakly and stay for the process's life.
    auto& center = NotificationCenter::defaultCenter();
    for (const char* name : {AVCaptureDeviceWasConnectedNotification, AVCaptureDeviceWasDisconnectedNotification})
        center.addObserver(
            name, nullptr, DispatchQueue::main(),
            weakly(shared_from_this(), [](CameraEngine& engine, const Notification&) { engine.deviceListChanged(); }));
    queue_.async(weakly(shared_from_this(), [](CameraEngine& engine) {
        engine.configureOutput();
        engine.startPolling();
    }));
}

void CameraEngine::setSelection(const CameraSelection& newSelection) {
    if (newSelection == selection.value())
        return;
    selection.set(newSelection);
    settingsStore_.saveCameraSelection(newSelection);
    queue_.async(weakly(shared_from_this(), [desired = resolveDesiredCameraID()](CameraEngine& engine) {
        engine.desiredCameraID_ = desired;
        engine.applyCaptureState();
    }));
}

void CameraEngine::setDelay(double milliseconds) {
    const auto nanoseconds = static_cast<std::uint64_t>(std::max(0.0, milliseconds) * 1'000'000.0);
    queue_.async(weakly(shared_from_this(), [nanoseconds](CameraEngine& engine) {
        engine.delayNanoseconds_.store(nanoseconds, std::memory_order_relaxed);
    }));
}

std::optional<CameraInfo> CameraEngine::currentCamera() const {
    const auto desired = resolveDesiredCameraID();
    if (!desired)
        return std::nullopt;
    for (const auto& camera : availableCameras.value())
        if (camera.uniqueID == *desired)
            return camera;
    return std::nullopt;
}

void CameraEngine::deviceListChanged() {
    refreshCameras();
    queue_.async(weakly(shared_from_this(), [desired = resolveDesiredCameraID()](CameraEngine& engine) {
        engine.desiredCameraID_ = desired;
        engine.applyCaptureState();
    }));
}

void CameraEngine::refreshCameras() {
    const auto discovery = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
        {AVCaptureDeviceTypeBuiltInWideAngleCamera, AVCaptureDeviceTypeExternal, AVCaptureDeviceTypeContinuityCamera},
        AVMediaTypeVideo, AVCaptureDevicePosition::unspecified);
    std::vector<CameraInfo> cameras;
    for (const auto& device : discovery->devices())
        if (!isOwnCamera(*device))
            cameras.push_back({device->uniqueID(), device->localizedName()});
    availableCameras.set(std::move(cameras));
}

std::optional<std::string> CameraEngine::resolveDesiredCameraID() const {
    const CameraSelection& chosen = selection.value();
    switch (chosen.kind) {
        case CameraSelection::Kind::none:
            return std::nullopt;
        case CameraSelection::Kind::device:
            for (const auto& camera : availableCameras.value())
                if (camera.uniqueID == chosen.uniqueID)
                    return camera.uniqueID;
            return std::nullopt;
        case CameraSelection::Kind::automatic:
            break;
    }
    return automaticCameraID();
}

std::optional<std::string> CameraEngine::automaticCameraID() const {
    if (const auto device = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
        device && !isOwnCamera(*device))
        return device->uniqueID();
    if (!availableCameras.value().empty())
        return availableCameras.value().front().uniqueID;
    return std::nullopt;
}

void CameraEngine::configureOutput() {
    videoOutput_->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
    videoOutput_->setAlwaysDiscardsLateVideoFrames(true);
    videoOutput_->setSampleBufferDelegate(weak_from_this(), queue_);
    session_->beginConfiguration();
    if (session_->canAddOutput(videoOutput_))
        session_->addOutput(videoOutput_);
    session_->commitConfiguration();

    std::shared_ptr<VTPixelTransferSession> transfer;
    const OSStatus status = VTPixelTransferSession::create(&transfer);
    if (status == 0 && transfer) {
        transfer->setScalingMode(kVTScalingMode_Letterbox);
        transferSession_ = std::move(transfer);
    } else {
        log().error("VTPixelTransferSessionCreate failed: %d", status);
    }
    if (CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, kOutputWidth, kOutputHeight}, &pixelBufferPool_) !=
        kCVReturnSuccess)
        pixelBufferPool_.reset();
}

void CameraEngine::startPolling() {
    pollTimer_ = DispatchSourceTimer::make(queue_);
    pollTimer_->schedule(DispatchTime::now(), std::chrono::seconds(1), std::chrono::nanoseconds(0));
    pollTimer_->setEventHandler(weakly(shared_from_this(), [](CameraEngine& engine) { engine.pollClientStatus(); }));
    pollTimer_->resume();
}

void CameraEngine::pollClientStatus() {
    const bool watched = client_->connectIfNeeded() && client_->isSourceActive();
    if (watched == isClientStreaming_)
        return;
    log().notice("Velunto Kamera wird %{public}s.", watched ? "genutzt" : "nicht mehr genutzt");
    isClientStreaming_ = watched;
    applyCaptureState();
}

void CameraEngine::publishCapturing(bool capturing) {
    DispatchQueue::main().async(
        weakly(shared_from_this(), [capturing](CameraEngine& engine) { engine.isCapturing.set(capturing); }));
}

void CameraEngine::applyCaptureState() {
    const std::optional<std::string> target = isClientStreaming_ ? desiredCameraID_ : std::nullopt;
    if (!target && !activeCameraID_)
        return;
    if (target && target == activeCameraID_ && session_->isRunning())
        return;

    if (session_->isRunning())
        session_->stopRunning();
    session_->beginConfiguration();
    for (const auto& input : session_->inputs())
        session_->removeInput(input);
    activeCameraID_.reset();

    if (!target || !ensureCameraAccess()) {
        session_->commitConfiguration();
        publishCapturing(false);
        return;
    }
    const auto device = AVCaptureDevice::deviceWithUniqueID(*target);
    if (!device) {
        session_->commitConfiguration();
        log().error("Kamera %{public}s nicht gefunden.", *target);
        publishCapturing(false);
        return;
    }
    NSError error;
    const auto input = AVCaptureDeviceInput::deviceInputWithDevice(device, &error);
    if (!input) {
        log().error("Kamera-Eingang fehlgeschlagen: %{public}s", error.localizedDescription);
        session_->commitConfiguration();
        publishCapturing(false);
        return;
    }
    if (session_->canAddInput(input))
        session_->addInput(input);
    session_->setSessionPreset(session_->canSetSessionPreset(AVCaptureSessionPreset1920x1080)
                                   ? AVCaptureSessionPreset1920x1080
                                   : AVCaptureSessionPresetHigh);
    session_->commitConfiguration();
    session_->startRunning();

    activeCameraID_ = target;
    lastScheduledSendTime_ = 0;
    log().notice("Kamera gestartet: %{public}s", device->localizedName());
    publishCapturing(session_->isRunning());
}

bool CameraEngine::ensureCameraAccess() {
    auto publishDenied = [this](bool denied) {
        DispatchQueue::main().async(
            weakly(shared_from_this(), [denied](CameraEngine& engine) { engine.isAccessDenied.set(denied); }));
    };
    switch (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo)) {
        case AVAuthorizationStatus::authorized:
            publishDenied(false);
            return true;
        case AVAuthorizationStatus::denied:
        case AVAuthorizationStatus::restricted:
            publishDenied(true);
            return false;
        case AVAuthorizationStatus::notDetermined:
            break;
    }
    // The queue waits for the user's answer; frames and polls wait with it.
    struct Answer {
        DispatchSemaphore answered{0};
        bool granted = false;
    };
    const auto answer = std::make_shared<Answer>();
    AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [answer](bool granted) {
        answer->granted = granted;
        answer->answered.signal();
    });
    answer->answered.wait();
    publishDenied(!answer->granted);
    return answer->granted;
}

void CameraEngine::captureOutputDidOutputSampleBuffer(AVCaptureOutput&, const CMSampleBufferRef& sampleBuffer,
                                                      AVCaptureConnection&) {
    const auto& image = sampleBuffer ? sampleBuffer->imageBuffer() : nullptr;
    if (!image)
        return;
    const auto converted = transferFrame(*image);
    if (!converted)
        return;
    CMSampleBufferRef output = makeSampleBuffer(converted);
    if (!output)
        return;
    const std::uint64_t sendTime =
        captureHostNanoseconds(*sampleBuffer) + delayNanoseconds_.load(std::memory_order_relaxed);
    // Never out of order: right after the delay shrinks, frames are dropped until time catches up.
    if (sendTime < lastScheduledSendTime_)
        return;
    lastScheduledSendTime_ = sendTime;
    scheduleSend(std::move(output), sendTime);
}

std::shared_ptr<CVPixelBuffer> CameraEngine::transferFrame(CVPixelBuffer& image) {
    if (!transferSession_ || !pixelBufferPool_)
        return nullptr;
    std::shared_ptr<CVPixelBuffer> buffer;
    if (pixelBufferPool_->createPixelBuffer(&buffer) != kCVReturnSuccess || !buffer)
        return nullptr;
    if (const OSStatus status = transferSession_->transferImage(image, *buffer); status != 0) {
        log().error("VTPixelTransferSessionTransferImage failed: %d", status);
        return nullptr;
    }
    return buffer;
}

CMSampleBufferRef CameraEngine::makeSampleBuffer(const std::shared_ptr<CVPixelBuffer>& buffer) {
    if (!outputFormatDescription_ || !outputFormatDescription_->matchesImageBuffer(*buffer)) {
        outputFormatDescription_.reset();
        CMVideoFormatDescription::createForImageBuffer(*buffer, &outputFormatDescription_);
        if (!outputFormatDescription_)
            return nullptr;
    }
    const CMSampleTimingInfo timing{CMTimeMake(1, 30),
                                    CMTimeMake(static_cast<std::int64_t>(HostClock::nowNanoseconds()), 1'000'000'000),
                                    kCMTimeInvalid};
    CMSampleBufferRef sampleBuffer;
    const OSStatus status =
        CMSampleBuffer::createReadyWithImageBuffer(buffer, outputFormatDescription_, timing, &sampleBuffer);
    if (status != 0 || !sampleBuffer) {
        log().error("CMSampleBufferCreateReadyWithImageBuffer failed: %d", status);
        return nullptr;
    }
    return sampleBuffer;
}

std::uint64_t CameraEngine::captureHostNanoseconds(const CMSampleBuffer& sampleBuffer) const {
    CMTime captured = CMTimeMake(static_cast<std::int64_t>(HostClock::nowNanoseconds()), 1'000'000'000);
    if (const auto clock = session_->synchronizationClock())
        captured = CMSyncConvertTime(sampleBuffer.presentationTimeStamp(), *clock, *CMClock::hostTimeClock());
    if (!CMTIME_IS_VALID(captured))
        return HostClock::nowNanoseconds();
    if (captured.timescale == 1'000'000'000)
        return static_cast<std::uint64_t>(std::max<std::int64_t>(0, captured.value));
    return static_cast<std::uint64_t>(std::max(0.0, CMTimeGetSeconds(captured)) * 1e9);
}

void CameraEngine::scheduleSend(CMSampleBufferRef sampleBuffer, std::uint64_t sendTime) {
    queue_.asyncAfter(DispatchTime{sendTime},
                      [weak = weak_from_this(), sampleBuffer = std::move(sampleBuffer)]() mutable {
                          const auto engine = weak.lock();
                          if (!engine)
                              return;
                          const auto& sink = engine->client_->bufferQueue();
                          if (sink && sink->count() < sink->capacity())
                              sink->enqueue(std::move(sampleBuffer));
                      });
}

}  // namespace velunto

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/camera/CameraInfo.h"
#include "app/camera/CameraSelection.h"
#include "app/camera/VirtualCameraClient.h"
#include "app/settings/SettingsStore.h"
#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/avfoundation/AVCaptureVideoDataOutput.h"
#include "platform/combine/Published.h"
#include "platform/coremedia/CMFormatDescription.h"
#include "platform/corevideo/CVPixelBufferPool.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/videotoolbox/VTPixelTransferSession.h"

namespace velunto {

// Captures one real camera while somebody watches "Velunto Kamera", converts every frame to
// 1920 × 1080 BGRA, holds it back by the video delay and hands it to the virtual camera. The
// observable properties belong to the main thread; everything else runs on the engine's queue.
class CameraEngine : public AVCaptureVideoDataOutputSampleBufferDelegate,
                     public std::enable_shared_from_this<CameraEngine> {
public:
    static constexpr const char* kQueueLabel = "app.velunto.camera";
    static constexpr const char* kOwnCameraUniqueID = "app.velunto.camera";
    static constexpr const char* kOwnCameraName = "Velunto Kamera";
    static constexpr std::size_t kOutputWidth = 1920;
    static constexpr std::size_t kOutputHeight = 1080;

    static std::shared_ptr<CameraEngine> make(SettingsStore settingsStore);
    ~CameraEngine() override;
    CameraEngine(const CameraEngine&) = delete;
    CameraEngine& operator=(const CameraEngine&) = delete;

    Published<std::vector<CameraInfo>> availableCameras{{}};
    Published<bool> isCapturing{false};
    Published<bool> isAccessDenied{false};
    // Read here; changed through setSelection().
    Published<CameraSelection> selection{CameraSelection::automatic()};

    // A different value is saved and applied; the same value does nothing.
    void setSelection(const CameraSelection& newSelection);
    // The picture delay; negative counts as 0. Applies to frames captured after it is stored.
    void setDelay(double milliseconds);
    // The delay the frames now get (setDelay takes effect on the engine's queue).
    std::uint64_t delayNanoseconds() const { return delayNanoseconds_.load(std::memory_order_relaxed); }
    // The camera that runs while somebody watches, as the user sees it.
    std::optional<CameraInfo> currentCamera() const;
    // The camera automatic selection takes: the system's default camera, else the first one.
    std::optional<std::string> automaticCameraID() const;

    void captureOutputDidOutputSampleBuffer(AVCaptureOutput& output, const CMSampleBufferRef& sampleBuffer,
                                            AVCaptureConnection& connection) override;

    const DispatchQueue& queue() const { return queue_; }
    VirtualCameraClient& client() { return *client_; }

private:
    explicit CameraEngine(SettingsStore settingsStore);
    void construct();
    void refreshCameras();
    std::optional<std::string> resolveDesiredCameraID() const;
    void deviceListChanged();
    void configureOutput();
    void startPolling();
    void pollClientStatus();
    void applyCaptureState();
    bool ensureCameraAccess();
    void publishCapturing(bool capturing);
    std::shared_ptr<CVPixelBuffer> transferFrame(CVPixelBuffer& image);
    CMSampleBufferRef makeSampleBuffer(const std::shared_ptr<CVPixelBuffer>& buffer);
    std::uint64_t captureHostNanoseconds(const CMSampleBuffer& sampleBuffer) const;
    void scheduleSend(CMSampleBufferRef sampleBuffer, std::uint64_t sendTime);

    const SettingsStore settingsStore_;
    const DispatchQueue queue_{kQueueLabel};
    const std::shared_ptr<AVCaptureSession> session_;
    const std::shared_ptr<AVCaptureVideoDataOutput> videoOutput_;
    std::shared_ptr<VirtualCameraClient> client_;
    std::shared_ptr<DispatchSourceTimer> pollTimer_;
    std::optional<std::string> desiredCameraID_;
    std::optional<std::string> activeCameraID_;
    bool isClientStreaming_ = false;
    std::atomic<std::uint64_t> delayNanoseconds_{0};  // written and used on the queue; read anywhere
    std::uint64_t lastScheduledSendTime_ = 0;
    std::shared_ptr<VTPixelTransferSession> transferSession_;
    std::shared_ptr<CVPixelBufferPool> pixelBufferPool_;
    std::shared_ptr<const CMVideoFormatDescription> outputFormatDescription_;
};

}  // namespace velunto

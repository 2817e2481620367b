#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/avfoundation/AVCaptureConnection.h"
#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureInput.h"
#include "platform/avfoundation/AVCaptureOutput.h"
#include "platform/coremedia/CMClock.h"
#include "platform/foundation/NotificationCenter.h"

namespace velunto {

using AVCaptureSessionPreset = std::string;
inline const AVCaptureSessionPreset AVCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
inline const AVCaptureSessionPreset AVCaptureSessionPreset1280x720 = "AVCaptureSessionPreset1280x720";
inline const AVCaptureSessionPreset AVCaptureSessionPreset1920x1080 = "AVCaptureSessionPreset1920x1080";

// Posted with the session as object when it starts, and when it stops (by stopRunning or because its
// device went away).
inline constexpr const char* AVCaptureSessionDidStartRunningNotification =
    "AVCaptureSessionDidStartRunningNotification";
inline constexpr const char* AVCaptureSessionDidStopRunningNotification = "AVCaptureSessionDidStopRunningNotification";

class AVCaptureDeviceInput;
class AVCaptureSessionPipeline;

// Runs a device input into its outputs. Thread-safe; all calls may come from any one queue.
// One device input at a time; a device serves one session at a time.
class AVCaptureSession : public std::enable_shared_from_this<AVCaptureSession> {
public:
    static std::shared_ptr<AVCaptureSession> make();
    ~AVCaptureSession();
    AVCaptureSession(const AVCaptureSession&) = delete;
    AVCaptureSession& operator=(const AVCaptureSession&) = delete;

    void beginConfiguration();
    void commitConfiguration();  // changes take effect here (nested begin/commit pairs allowed)
    bool canAddInput(const std::shared_ptr<AVCaptureInput>& input) const;
    void addInput(const std::shared_ptr<AVCaptureInput>& input);
    void removeInput(const std::shared_ptr<AVCaptureInput>& input);
    std::vector<std::shared_ptr<AVCaptureInput>> inputs() const;
    bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const;
    void addOutput(const std::shared_ptr<AVCaptureOutput>& output);
    void removeOutput(const std::shared_ptr<AVCaptureOutput>& output);
    std::vector<std::shared_ptr<AVCaptureOutput>> outputs() const;
    std::vector<std::shared_ptr<AVCaptureConnection>> connections() const;

    // 1920x1080 / 1280x720 only if the current input's device supports that size (any size while
    // there is no device input); High always (the device's largest size).
    bool canSetSessionPreset(const AVCaptureSessionPreset& preset) const;
    void setSessionPreset(const AVCaptureSessionPreset& preset);
    AVCaptureSessionPreset sessionPreset() const;  // default High

    // Synchronous; runs only with a connected device input and video access authorized.
    void startRunning();
    // Synchronous; no frame is delivered to a delegate after it returns (unless the delegate
    // called it from its own callback, which finishes).
    void stopRunning();
    bool isRunning() const;
    // The clock the delivered presentation time stamps are on: the input device's clock while
    // there is one, else null.
    std::shared_ptr<CMClock> synchronizationClock() const;

private:
    // What a change leaves to do once the lock is released.
    struct Aftermath {
        std::shared_ptr<AVCaptureSessionPipeline> retired;
        bool started = false;
        bool stopped = false;
    };

    AVCaptureSession() = default;

    std::shared_ptr<AVCaptureDevice> deviceLocked() const;
    std::pair<std::int32_t, std::int32_t> sizeForLocked(const AVCaptureDevice& device) const;
    bool canSetPresetLocked(const AVCaptureSessionPreset& preset) const;
    Aftermath reconcileLocked();
    void startCaptureLocked(const std::shared_ptr<AVCaptureDevice>& device);
    std::shared_ptr<AVCaptureSessionPipeline> stopCaptureLocked();
    void updateRoutesLocked();
    void finish(Aftermath aftermath);
    void deviceDisconnected(const void* device);

    mutable std::mutex mutex_;
    int configurationDepth_ = 0;
    std::vector<std::shared_ptr<AVCaptureInput>> inputs_;
    std::vector<std::shared_ptr<AVCaptureOutput>> outputs_;
    std::vector<std::shared_ptr<AVCaptureConnection>> connections_;
    AVCaptureSessionPreset preset_ = AVCaptureSessionPresetHigh;
    bool running_ = false;
    std::shared_ptr<AVCaptureDevice> activeDevice_;
    std::pair<std::int32_t, std::int32_t> activeSize_{0, 0};
    std::shared_ptr<AVCaptureSessionPipeline> pipeline_;
    NotificationCenter::Token disconnectObserver_;
};

}  // namespace velunto

#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDeviceProvider.h"
#include "platform/avfoundation/AVCapturePrivacyAuthority.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/sim/SimulatedCamera.h"

namespace velunto {

// The simulated cameras as the capture layer sees them, and the simulated user's privacy answers
// (one status for every media type).
class SimulatedCameraProvider : public AVCaptureDeviceProvider,
                                public AVCapturePrivacyAuthority,
                                public std::enable_shared_from_this<SimulatedCameraProvider> {
public:
    struct Camera {
        std::shared_ptr<AVCaptureDevice> device;
        std::shared_ptr<SimulatedCamera> camera;
    };

    SimulatedCameraProvider();

    std::vector<std::shared_ptr<AVCaptureDevice>> connectedDevices() const override;
    std::shared_ptr<AVCaptureDevice> defaultDevice(const AVMediaType& type) const override;
    AVAuthorizationStatus authorizationStatus(const AVMediaType& type) const override;
    void requestAccess(const AVMediaType& type, std::function<void(bool granted)> handler) override;

    // Null if a connected camera already has that unique ID.
    std::shared_ptr<AVCaptureDevice> add(const SimulatedCameraDescription& description);
    std::optional<Camera> remove(const std::string& uniqueID);
    std::optional<Camera> find(const std::string& uniqueID) const;
    std::vector<std::string> uniqueIDs() const;
    void setDefaultCamera(std::optional<std::string> uniqueID);
    void setAuthorizationStatus(AVAuthorizationStatus status);
    void setAccessAnswer(bool granted, std::chrono::nanoseconds after);

private:
    const DispatchQueue privacyQueue_;
    mutable std::mutex mutex_;
    std::vector<Camera> cameras_;  // in connection order
    std::optional<std::string> defaultCamera_;
    AVAuthorizationStatus status_ = AVAuthorizationStatus::authorized;
    bool answer_ = true;
    std::chrono::nanoseconds answerDelay_ = std::chrono::milliseconds(300);
};

}  // namespace velunto

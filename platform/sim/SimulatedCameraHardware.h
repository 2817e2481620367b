#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/sim/SimulatedCameraDescription.h"

namespace velunto {

class SimulatedCameraProvider;

// While alive, the capture devices are these simulated cameras (one hardware object alive at a time).
// Its destructor unplugs every camera it still has. Make a VirtualTime first to run the cameras on
// the virtual clock.
class SimulatedCameraHardware {
public:
    explicit SimulatedCameraHardware(std::vector<SimulatedCameraDescription> cameras = standardCameras());
    ~SimulatedCameraHardware();
    SimulatedCameraHardware(const SimulatedCameraHardware&) = delete;
    SimulatedCameraHardware& operator=(const SimulatedCameraHardware&) = delete;

    // "builtin": a built-in 720p NV12 camera; "external": an external 1080p BGRA one.
    static std::vector<SimulatedCameraDescription> standardCameras();

    // Posts AVCaptureDeviceWasConnectedNotification (object: the AVCaptureDevice*). Ignored if a
    // connected camera has the same unique ID.
    void plug(const SimulatedCameraDescription& camera);
    // Stops the camera and posts AVCaptureDeviceWasDisconnectedNotification.
    void unplug(const std::string& uniqueID);
    void setDefaultCamera(std::optional<std::string> uniqueID);  // default: the first camera
    void setAuthorizationStatus(AVAuthorizationStatus status);   // default authorized
    // What the simulated user answers to requestAccess (status becomes authorized/denied), after `after`.
    void setAccessAnswer(bool granted, std::chrono::nanoseconds after = std::chrono::milliseconds(300));
    void setFrameSize(const std::string& uniqueID, std::int32_t width, std::int32_t height);  // changes size mid-stream
    void flash(const std::string& uniqueID);              // the next frame is a flash frame
    bool isCapturing(const std::string& uniqueID) const;  // the camera's light: a running session uses it
    std::uint64_t framesProduced(const std::string& uniqueID) const;
    // The connected camera's device, or null.
    std::shared_ptr<AVCaptureDevice> device(const std::string& uniqueID) const;

private:
    std::shared_ptr<SimulatedCameraProvider> provider_;
};

}  // namespace velunto

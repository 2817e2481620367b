#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coremedia/CMSimpleQueue.h"
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// The application's end of the link to the virtual camera: finds "Velunto Kamera", opens and starts
// its sink stream so that the camera engine can enqueue frames, and tells whether anybody watches
// the camera. Used on the camera engine's queue only.
class VirtualCameraClient : public std::enable_shared_from_this<VirtualCameraClient> {
public:
    static constexpr const char* kDeviceUID = "app.velunto.camera";
    static constexpr const char* kDeviceName = "Velunto Kamera";
    static constexpr CMIOObjectPropertySelector kSourceActiveSelector = 'vnsa';

    // Registers the device-list listener on `queue`.
    static std::shared_ptr<VirtualCameraClient> make(DispatchQueue queue);
    ~VirtualCameraClient();
    VirtualCameraClient(const VirtualCameraClient&) = delete;
    VirtualCameraClient& operator=(const VirtualCameraClient&) = delete;

    // Connected and usable after the call.
    bool connectIfNeeded();
    // Whether the virtual camera's source stream has at least one client.
    bool isSourceActive();
    void disconnect();
    std::optional<CMIODeviceID> findDevice();

    // The sink stream's queue while connected; the engine enqueues only below its capacity.
    const std::shared_ptr<CMSimpleQueue>& bufferQueue() const { return bufferQueue_; }
    std::optional<CMIODeviceID> deviceID() const { return deviceID_; }
    std::optional<CMIOStreamID> sinkStreamID() const { return sinkStreamID_; }

private:
    explicit VirtualCameraClient(DispatchQueue queue);
    void devicesChanged();
    bool isConnected() const { return deviceID_.has_value(); }
    bool deviceIsAlive(CMIODeviceID device) const;

    const DispatchQueue queue_;
    std::optional<CMIODeviceID> deviceID_;
    std::optional<CMIOStreamID> sinkStreamID_;
    std::shared_ptr<CMSimpleQueue> bufferQueue_;
    bool loggedCustomPropertyFailure_ = false;
    std::optional<std::uint64_t> devicesListener_;
};

}  // namespace velunto

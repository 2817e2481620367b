#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/avfoundation/AVCaptureDeviceBackend.h"

namespace velunto {

using AVMediaType = std::string;
inline const AVMediaType AVMediaTypeVideo = "vide";
inline const AVMediaType AVMediaTypeAudio = "soun";

using AVCaptureDeviceType = std::string;
inline const AVCaptureDeviceType AVCaptureDeviceTypeBuiltInWideAngleCamera =
    "AVCaptureDeviceTypeBuiltInWideAngleCamera";
inline const AVCaptureDeviceType AVCaptureDeviceTypeExternal = "AVCaptureDeviceTypeExternal";
inline const AVCaptureDeviceType AVCaptureDeviceTypeContinuityCamera = "AVCaptureDeviceTypeContinuityCamera";

enum class AVCaptureDevicePosition { unspecified = 0, back = 1, front = 2 };
enum class AVAuthorizationStatus { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

// Posted by the device's provider; the object is the AVCaptureDevice*.
inline constexpr const char* AVCaptureDeviceWasConnectedNotification = "AVCaptureDeviceWasConnectedNotification";
inline constexpr const char* AVCaptureDeviceWasDisconnectedNotification = "AVCaptureDeviceWasDisconnectedNotification";

// What a provider knows about one of its devices.
struct AVCaptureDeviceDescriptor {
    std::string uniqueID;
    std::string localizedName;
    AVCaptureDeviceType deviceType = AVCaptureDeviceTypeExternal;
    AVCaptureDevicePosition position = AVCaptureDevicePosition::unspecified;
    std::vector<AVMediaType> mediaTypes{AVMediaTypeVideo};
    std::vector<std::pair<std::int32_t, std::int32_t>> sizes;
};

// A camera (or other capture device). Made by a provider (see AVCaptureDeviceProvider), which drives
// its frames through the backend; applications find devices through the class functions below.
class AVCaptureDevice {
public:
    AVCaptureDevice(AVCaptureDeviceDescriptor descriptor, std::shared_ptr<AVCaptureDeviceBackend> backend);
    AVCaptureDevice(const AVCaptureDevice&) = delete;
    AVCaptureDevice& operator=(const AVCaptureDevice&) = delete;

    const std::string& uniqueID() const { return descriptor_.uniqueID; }
    const std::string& localizedName() const { return descriptor_.localizedName; }
    const AVCaptureDeviceType& deviceType() const { return descriptor_.deviceType; }
    AVCaptureDevicePosition position() const { return descriptor_.position; }
    bool hasMediaType(const AVMediaType& type) const;
    bool isConnected() const;
    // Picture sizes the device can deliver, e.g. {1280,720},{1920,1080}.
    std::vector<std::pair<std::int32_t, std::int32_t>> supportedSizes() const { return descriptor_.sizes; }

    static std::shared_ptr<AVCaptureDevice> defaultDeviceWithMediaType(const AVMediaType& type);  // null if none
    static std::shared_ptr<AVCaptureDevice> deviceWithUniqueID(const std::string& uniqueID);  // null if not connected
    static AVAuthorizationStatus authorizationStatusForMediaType(const AVMediaType& type);
    // Asks the user; the handler runs once, on a queue of the framework's (never the caller's
    // queue, so a caller may block its queue on a semaphore until the answer comes).
    static void requestAccessForMediaType(const AVMediaType& type, std::function<void(bool granted)> handler);

    // For providers and sessions.
    const std::shared_ptr<AVCaptureDeviceBackend>& backend() const { return backend_; }
    // Connection order across all providers: a larger number was connected later.
    std::uint64_t connectionSequence() const { return connectionSequence_; }
    void markDisconnected();
    // A device serves one session at a time; claim() fails while another owner holds it.
    bool claim(const void* owner);
    void relinquish(const void* owner);
    bool isClaimedByOtherThan(const void* owner) const;

private:
    const AVCaptureDeviceDescriptor descriptor_;
    const std::shared_ptr<AVCaptureDeviceBackend> backend_;
    const std::uint64_t connectionSequence_;
    mutable std::mutex mutex_;
    bool connected_ = true;
    const void* owner_ = nullptr;
};

}  // namespace velunto

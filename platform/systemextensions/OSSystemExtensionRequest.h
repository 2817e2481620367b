#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

enum OSSystemExtensionRequestResult : std::int64_t {
    OSSystemExtensionRequestResultCompleted = 0,
    OSSystemExtensionRequestResultWillCompleteAfterReboot = 1
};

enum OSSystemExtensionReplacementAction : std::int64_t {
    OSSystemExtensionReplacementActionCancel = 0,
    OSSystemExtensionReplacementActionReplace = 1
};

inline constexpr const char* OSSystemExtensionErrorDomain = "OSSystemExtensionErrorDomain";

enum OSSystemExtensionErrorCode : long {
    OSSystemExtensionErrorUnknown = 1,
    OSSystemExtensionErrorExtensionNotFound = 4,
    OSSystemExtensionErrorValidationFailed = 9,
    OSSystemExtensionErrorRequestCanceled = 11,
    OSSystemExtensionErrorAuthorizationRequired = 13,
};

struct OSSystemExtensionProperties {
    std::string bundleIdentifier;
    std::string bundleVersion;
    std::string bundleShortVersion;

    friend bool operator==(const OSSystemExtensionProperties&, const OSSystemExtensionProperties&) = default;
};

class OSSystemExtensionRequestDelegate;

// One activation or deactivation of an extension, submitted to OSSystemExtensionManager. The delegate
// is held weakly and called on the request's queue.
class OSSystemExtensionRequest {
public:
    enum class Action { activate, deactivate };

    static std::shared_ptr<OSSystemExtensionRequest> activationRequestForExtension(std::string identifier,
                                                                                   DispatchQueue queue);
    // Stops the extension's running instance (if any) and ends its supervision.
    static std::shared_ptr<OSSystemExtensionRequest> deactivationRequestForExtension(std::string identifier,
                                                                                     DispatchQueue queue);

    const std::string& identifier() const;
    Action action() const;
    const DispatchQueue& queue() const;

    void setDelegate(std::weak_ptr<OSSystemExtensionRequestDelegate> delegate);
    // The delegate if it is still alive.
    std::shared_ptr<OSSystemExtensionRequestDelegate> delegate() const;

private:
    OSSystemExtensionRequest(std::string identifier, DispatchQueue queue, Action action);

    const std::string identifier_;
    const DispatchQueue queue_;
    const Action action_;
    mutable std::mutex mutex_;
    std::weak_ptr<OSSystemExtensionRequestDelegate> delegate_;
};

}  // namespace velunto

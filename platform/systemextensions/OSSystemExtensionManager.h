#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/systemextensions/ExtensionSupervisor.h"
#include "platform/systemextensions/OSSystemExtensionRequest.h"
#include "platform/systemextensions/SystemExtensionBackend.h"

namespace velunto {

// Accepts extension requests. Activating means making sure the extension's program runs and keeps
// running (see ExtensionSupervisor); while a backend is installed (the simulation) it decides instead.
// The manager keeps each request until its final callback has been delivered.
class OSSystemExtensionManager {
public:
    static OSSystemExtensionManager& sharedManager();

    void submitRequest(std::shared_ptr<OSSystemExtensionRequest> request);
    void setExtensionLocation(const std::string& identifier, std::string programPath, std::string bundleVersion);
    std::optional<ExtensionLocation> extensionLocation(const std::string& identifier) const;

    // Applies to restarts and stops from now on.
    void setRestartPolicy(const ExtensionRestartPolicy& policy);

    // Returns the backend it replaces; nullptr restores the process supervisor.
    std::shared_ptr<SystemExtensionBackend> setBackend(std::shared_ptr<SystemExtensionBackend> backend);

    // For whoever carries out a request: each posts to the request's queue and calls the delegate
    // there if it is still alive. deliverResult and deliverError end the request.
    void deliverResult(const std::shared_ptr<OSSystemExtensionRequest>& request, OSSystemExtensionRequestResult result);
    void deliverError(const std::shared_ptr<OSSystemExtensionRequest>& request, NSError error);
    void deliverNeedsApproval(const std::shared_ptr<OSSystemExtensionRequest>& request);
    // `answer` runs on the request's queue with the delegate's choice (Cancel when the delegate is gone).
    void askReplacement(const std::shared_ptr<OSSystemExtensionRequest>& request, OSSystemExtensionProperties existing,
                        OSSystemExtensionProperties replacement,
                        std::function<void(OSSystemExtensionReplacementAction)> answer);
    // Drops a request that will never be answered.
    void abandon(const std::shared_ptr<OSSystemExtensionRequest>& request);

    std::size_t pendingRequestCount() const;

private:
    OSSystemExtensionManager() = default;
    ExtensionSupervisor& supervisor();  // created on first use, with its own queue
    void release(const OSSystemExtensionRequest* request);

    mutable std::mutex mutex_;
    std::map<std::string, ExtensionLocation> locations_;
    std::vector<std::shared_ptr<OSSystemExtensionRequest>> pending_;
    std::shared_ptr<SystemExtensionBackend> backend_;
    std::unique_ptr<ExtensionSupervisor> supervisor_;
    ExtensionRestartPolicy policy_;
};

}  // namespace velunto

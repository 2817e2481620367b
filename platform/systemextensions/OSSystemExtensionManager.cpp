#include "platform/systemextensions/OSSystemExtensionManager.h"

#include <algorithm>
#include <utility>

#include "platform/systemextensions/OSSystemExtensionRequestDelegate.h"

namespace velunto {

OSSystemExtensionManager& OSSystemExtensionManager::sharedManager() {
    // Never destroyed: supervised extensions stay watched until the process ends.
    static auto* manager = new OSSystemExtensionManager();
    return *manager;
}

void OSSystemExtensionManager::submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) {
    if (!request)
        return;
    std::shared_ptr<SystemExtensionBackend> backend;
    std::optional<ExtensionLocation> location;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(request);
        backend = backend_;
        if (const auto found = locations_.find(request->identifier()); found != locations_.end())
            location = found->second;
    }
    if (backend)
        backend->handle(request);
    else if (request->action() == OSSystemExtensionRequest::Action::activate)
        supervisor().activate(std::move(request), std::move(location));
    else
        supervisor().deactivate(std::move(request));
}

void OSSystemExtensionManager::setExtensionLocation(const std::string& identifier, std::string programPath,
                                                    std::string bundleVersion) {
    std::lock_guard lock(mutex_);
    locations_[identifier] = ExtensionLocation{std::move(programPath), std::move(bundleVersion)};
}

std::optional<ExtensionLocation> OSSystemExtensionManager::extensionLocation(const std::string& identifier) const {
    std::lock_guard lock(mutex_);
    if (const auto found = locations_.find(identifier); found != locations_.end())
        return found->second;
    return std::nullopt;
}

void OSSystemExtensionManager::setRestartPolicy(const ExtensionRestartPolicy& policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
    if (supervisor_)
        supervisor_->setRestartPolicy(policy);
}

std::shared_ptr<SystemExtensionBackend> OSSystemExtensionManager::setBackend(
    std::shared_ptr<SystemExtensionBackend> backend) {
    std::lock_guard lock(mutex_);
    std::swap(backend_, backend);
    return backend;
}

void OSSystemExtensionManager::deliverResult(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                             OSSystemExtensionRequestResult result) {
    request->queue().async([this, request, result] {
        if (const auto delegate = request->delegate())
            delegate->didFinishWithResult(*request, result);
        release(request.get());
    });
}

void OSSystemExtensionManager::deliverError(const std::shared_ptr<OSSystemExtensionRequest>& request, NSError error) {
    request->queue().async([this, request, error = std::move(error)] {
        if (const auto delegate = request->delegate())
            delegate->didFailWithError(*request, error);
        release(request.get());
    });
}

void OSSystemExtensionManager::deliverNeedsApproval(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    request->queue().async([request] {
        if (const auto delegate = request->delegate())
            delegate->requestNeedsUserApproval(*request);
    });
}

void OSSystemExtensionManager::askReplacement(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                              OSSystemExtensionProperties existing,
                                              OSSystemExtensionProperties replacement,
                                              std::function<void(OSSystemExtensionReplacementAction)> answer) {
    request->queue().async(
        [request, existing = std::move(existing), replacement = std::move(replacement), answer = std::move(answer)] {
            const auto delegate = request->delegate();
            answer(delegate ? delegate->actionForReplacingExtension(*request, existing, replacement)
                            : OSSystemExtensionReplacementActionCancel);
        });
}

void OSSystemExtensionManager::abandon(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    release(request.get());
}

std::size_t OSSystemExtensionManager::pendingRequestCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

ExtensionSupervisor& OSSystemExtensionManager::supervisor() {
    std::lock_guard lock(mutex_);
    if (!supervisor_)
        supervisor_ = std::make_unique<ExtensionSupervisor>(*this, policy_);
    return *supervisor_;
}

void OSSystemExtensionManager::release(const OSSystemExtensionRequest* request) {
    std::shared_ptr<OSSystemExtensionRequest> last;  // dropped outside the lock
    std::lock_guard lock(mutex_);
    const auto found =
        std::find_if(pending_.begin(), pending_.end(), [&](const auto& held) { return held.get() == request; });
    if (found != pending_.end()) {
        last = std::move(*found);
        pending_.erase(found);
    }
}

}  // namespace velunto

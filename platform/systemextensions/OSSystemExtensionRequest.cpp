#include "platform/systemextensions/OSSystemExtensionRequest.h"

#include <utility>

namespace velunto {

OSSystemExtensionRequest::OSSystemExtensionRequest(std::string identifier, DispatchQueue queue, Action action)
    : identifier_(std::move(identifier)), queue_(std::move(queue)), action_(action) {}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::activationRequestForExtension(
    std::string identifier, DispatchQueue queue) {
    return std::shared_ptr<OSSystemExtensionRequest>(
        new OSSystemExtensionRequest(std::move(identifier), std::move(queue), Action::activate));
}

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::deactivationRequestForExtension(
    std::string identifier, DispatchQueue queue) {
    return std::shared_ptr<OSSystemExtensionRequest>(
        new OSSystemExtensionRequest(std::move(identifier), std::move(queue), Action::deactivate));
}

const std::string& OSSystemExtensionRequest::identifier() const {
    return identifier_;
}

OSSystemExtensionRequest::Action OSSystemExtensionRequest::action() const {
    return action_;
}

const DispatchQueue& OSSystemExtensionRequest::queue() const {
    return queue_;
}

void OSSystemExtensionRequest::setDelegate(std::weak_ptr<OSSystemExtensionRequestDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<OSSystemExtensionRequestDelegate> OSSystemExtensionRequest::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

}  // namespace velunto

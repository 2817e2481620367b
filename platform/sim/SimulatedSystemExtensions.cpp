#include "platform/sim/SimulatedSystemExtensions.h"

#include <utility>

#include "platform/systemextensions/OSSystemExtensionManager.h"

namespace velunto {

struct SimulatedSystemExtensions::State : SystemExtensionBackend, std::enable_shared_from_this<State> {
    void handle(const std::shared_ptr<OSSystemExtensionRequest>& request) override {
        auto& manager = OSSystemExtensionManager::sharedManager();
        Outcome outcome;
        {
            std::lock_guard lock(mutex);
            submitted.push_back(request->identifier());
            if (const auto found = scripts.find(request->identifier()); found != scripts.end())
                outcome = found->second;
        }
        if (request->action() == OSSystemExtensionRequest::Action::deactivate) {
            manager.deliverResult(request, OSSystemExtensionRequestResultCompleted);
            return;
        }
        if (!outcome.installed) {
            proceed(request, outcome);
            return;
        }
        const auto location = manager.extensionLocation(request->identifier());
        const std::string version = location ? location->bundleVersion : "1.0";
        OSSystemExtensionProperties replacement{request->identifier(), version, version};
        manager.askReplacement(
            request, *outcome.installed, std::move(replacement),
            [weak = weak_from_this(), request, outcome](OSSystemExtensionReplacementAction action) {
                const auto self = weak.lock();
                if (!self) {
                    OSSystemExtensionManager::sharedManager().abandon(request);
                    return;
                }
                {
                    std::lock_guard lock(self->mutex);
                    self->answers.push_back(action);
                }
                if (action == OSSystemExtensionReplacementActionReplace) {
                    self->proceed(request, outcome);
                    return;
                }
                OSSystemExtensionManager::sharedManager().deliverError(
                    request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorRequestCanceled,
                                     "Aktivierung der Erweiterung " + request->identifier() + " abgebrochen."});
            });
    }

    void proceed(const std::shared_ptr<OSSystemExtensionRequest>& request, const Outcome& outcome) {
        auto& manager = OSSystemExtensionManager::sharedManager();
        switch (outcome.kind) {
            case Outcome::Kind::completed:
                manager.deliverResult(request, OSSystemExtensionRequestResultCompleted);
                break;
            case Outcome::Kind::willCompleteAfterReboot:
                manager.deliverResult(request, OSSystemExtensionRequestResultWillCompleteAfterReboot);
                break;
            case Outcome::Kind::failure:
                manager.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorUnknown,
                                                      outcome.failureMessage});
                break;
            case Outcome::Kind::needsApproval: {
                std::lock_guard lock(mutex);
                waiting.emplace_back(request->identifier(), request);
                manager.deliverNeedsApproval(request);
                break;
            }
        }
    }

    std::vector<std::shared_ptr<OSSystemExtensionRequest>> takeWaiting(const std::string& identifier) {
        std::vector<std::shared_ptr<OSSystemExtensionRequest>> taken;
        std::lock_guard lock(mutex);
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (it->first == identifier) {
                taken.push_back(std::move(it->second));
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    }

    mutable std::mutex mutex;
    std::map<std::string, Outcome> scripts;
    std::vector<std::string> submitted;
    std::vector<OSSystemExtensionReplacementAction> answers;
    std::vector<std::pair<std::string, std::shared_ptr<OSSystemExtensionRequest>>> waiting;
};

SimulatedSystemExtensions::SimulatedSystemExtensions() : state_(std::make_shared<State>()) {
    previous_ = OSSystemExtensionManager::sharedManager().setBackend(state_);
}

SimulatedSystemExtensions::~SimulatedSystemExtensions() {
    auto& manager = OSSystemExtensionManager::sharedManager();
    manager.setBackend(previous_);
    std::vector<std::pair<std::string, std::shared_ptr<OSSystemExtensionRequest>>> waiting;
    {
        std::lock_guard lock(state_->mutex);
        waiting.swap(state_->waiting);
    }
    for (const auto& entry : waiting)
        manager.abandon(entry.second);
}

void SimulatedSystemExtensions::script(const std::string& identifier, Outcome outcome) {
    std::lock_guard lock(state_->mutex);
    state_->scripts[identifier] = std::move(outcome);
}

void SimulatedSystemExtensions::approve(const std::string& identifier) {
    for (const auto& request : state_->takeWaiting(identifier))
        OSSystemExtensionManager::sharedManager().deliverResult(request, OSSystemExtensionRequestResultCompleted);
}

void SimulatedSystemExtensions::deny(const std::string& identifier, const std::string& message) {
    for (const auto& request : state_->takeWaiting(identifier))
        OSSystemExtensionManager::sharedManager().deliverError(
            request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorAuthorizationRequired, message});
}

std::vector<std::string> SimulatedSystemExtensions::submitted() const {
    std::lock_guard lock(state_->mutex);
    return state_->submitted;
}

std::vector<OSSystemExtensionReplacementAction> SimulatedSystemExtensions::replacementAnswers() const {
    std::lock_guard lock(state_->mutex);
    return state_->answers;
}

std::size_t SimulatedSystemExtensions::waitingForApproval(const std::string& identifier) const {
    std::lock_guard lock(state_->mutex);
    std::size_t count = 0;
    for (const auto& entry : state_->waiting)
        count += entry.first == identifier ? 1 : 0;
    return count;
}

}  // namespace velunto

#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/systemextensions/OSSystemExtensionManager.h"
#include "platform/systemextensions/OSSystemExtensionRequest.h"
#include "platform/systemextensions/SystemExtensionBackend.h"

namespace velunto {

// Scripted answers to extension requests: while this object lives, OSSystemExtensionManager hands
// every request to it instead of starting programs. Callbacks arrive asynchronously on the request's
// queue (under VirtualTime after time.runUntilIdle()). A nested simulation takes over while it lives.
class SimulatedSystemExtensions {
public:
    struct Outcome {
        enum class Kind { completed, needsApproval, willCompleteAfterReboot, failure };
        Kind kind = Kind::completed;
        std::string failureMessage;  // for failure
        // An installed older/other version: the replacement question is asked first.
        std::optional<OSSystemExtensionProperties> installed;
    };

    SimulatedSystemExtensions();
    ~SimulatedSystemExtensions();
    SimulatedSystemExtensions(const SimulatedSystemExtensions&) = delete;
    SimulatedSystemExtensions& operator=(const SimulatedSystemExtensions&) = delete;

    // Unscripted identifiers complete at once.
    void script(const std::string& identifier, Outcome outcome);
    // Every request of the identifier waiting for approval (needsApproval) gets
    // didFinishWithResult(Completed), or didFailWithError with `message`.
    void approve(const std::string& identifier);
    void deny(const std::string& identifier, const std::string& message);

    std::vector<std::string> submitted() const;  // identifiers in submission order
    // The replacement answers the delegates gave, in order (Cancel for a delegate that was gone).
    std::vector<OSSystemExtensionReplacementAction> replacementAnswers() const;
    // Requests waiting for approve() or deny().
    std::size_t waitingForApproval(const std::string& identifier) const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::shared_ptr<SystemExtensionBackend> previous_;
};

}  // namespace velunto

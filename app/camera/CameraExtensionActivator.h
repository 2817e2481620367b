#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/combine/Published.h"
#include "platform/systemextensions/OSSystemExtensionRequest.h"
#include "platform/systemextensions/OSSystemExtensionRequestDelegate.h"

namespace velunto {

// Asks the system to activate the camera extension once at start-up and publishes how far that got.
// Main thread only.
class CameraExtensionActivator : public OSSystemExtensionRequestDelegate,
                                 public std::enable_shared_from_this<CameraExtensionActivator> {
public:
    static constexpr const char* kExtensionIdentifier = "app.velunto.Velunto.Camera";
    static constexpr const char* kSettingsURL = "x-apple.systempreferences:com.apple.LoginItems-Settings.extension";

    struct State {
        enum class Kind { unknown, activating, needsApproval, active, needsReboot, failed };
        Kind kind = Kind::unknown;
        std::string message;  // for failed

        static State failed(std::string text) { return {Kind::failed, std::move(text)}; }
        friend bool operator==(const State&, const State&) = default;
        // What the menu panel shows for the state, if anything.
        std::optional<std::string> notice() const;
    };

    static std::shared_ptr<CameraExtensionActivator> make();

    Published<State> state{State{}};

    void activate();
    // Where the user allows the extension.
    void openSettings();

    OSSystemExtensionReplacementAction actionForReplacingExtension(
        OSSystemExtensionRequest& request, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) override;
    void requestNeedsUserApproval(OSSystemExtensionRequest& request) override;
    void didFinishWithResult(OSSystemExtensionRequest& request, OSSystemExtensionRequestResult result) override;
    void didFailWithError(OSSystemExtensionRequest& request, const NSError& error) override;

private:
    CameraExtensionActivator() = default;
};

}  // namespace velunto

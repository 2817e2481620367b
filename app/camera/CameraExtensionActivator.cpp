#include "app/camera/CameraExtensionActivator.h"

#include "platform/appkit/NSURL.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/oslog/Logger.h"
#include "platform/systemextensions/OSSystemExtensionManager.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "CameraExtension");
    return logger;
}

}  // namespace

std::optional<std::string> CameraExtensionActivator::State::notice() const {
    switch (kind) {
        case Kind::needsApproval:
            return "Kamera-Erweiterung in den Systemeinstellungen erlauben …";
        case Kind::needsReboot:
            return "Kamera-Erweiterung: Neustart nötig";
        case Kind::failed:
            return "Kamera-Erweiterung: " + message;
        case Kind::unknown:
        case Kind::activating:
        case Kind::active:
            break;
    }
    return std::nullopt;
}

std::shared_ptr<CameraExtensionActivator> CameraExtensionActivator::make() {
    return std::shared_ptr<CameraExtensionActivator>(new CameraExtensionActivator());
}

void CameraExtensionActivator::activate() {
    state.set(State{State::Kind::activating, {}});
    const auto request =
        OSSystemExtensionRequest::activationRequestForExtension(kExtensionIdentifier, DispatchQueue::main());
    request->setDelegate(weak_from_this());
    OSSystemExtensionManager::sharedManager().submitRequest(request);
}

void CameraExtensionActivator::openSettings() {
    if (const auto url = NSURL::URLWithString(kSettingsURL))
        NSWorkspace::sharedWorkspace().openURL(*url);
}

OSSystemExtensionReplacementAction CameraExtensionActivator::actionForReplacingExtension(
    OSSystemExtensionRequest&, const OSSystemExtensionProperties& existing,
    const OSSystemExtensionProperties& replacement) {
    log().notice("Ersetze Kamera-Erweiterung %{public}s durch %{public}s.", existing.bundleVersion,
                 replacement.bundleVersion);
    return OSSystemExtensionReplacementActionReplace;
}

void CameraExtensionActivator::requestNeedsUserApproval(OSSystemExtensionRequest&) {
    log().notice("Kamera-Erweiterung wartet auf Freigabe in den Systemeinstellungen.");
    state.set(State{State::Kind::needsApproval, {}});
}

void CameraExtensionActivator::didFinishWithResult(OSSystemExtensionRequest&, OSSystemExtensionRequestResult result) {
    if (result == OSSystemExtensionRequestResultCompleted) {
        log().notice("Kamera-Erweiterung aktiv.");
        state.set(State{State::Kind::active, {}});
    } else if (result == OSSystemExtensionRequestResultWillCompleteAfterReboot) {
        state.set(State{State::Kind::needsReboot, {}});
    } else {
        state.set(State{State::Kind::active, {}});
    }
}

void CameraExtensionActivator::didFailWithError(OSSystemExtensionRequest&, const NSError& error) {
    log().error("Kamera-Erweiterung nicht aktiviert: %{public}s", error.localizedDescription);
    state.set(State::failed(error.localizedDescription));
}

}  // namespace velunto

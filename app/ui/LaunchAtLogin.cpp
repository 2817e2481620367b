#include "app/ui/LaunchAtLogin.h"

#include "platform/oslog/Logger.h"
#include "platform/servicemanagement/SMAppService.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "LaunchAtLogin");
    return logger;
}

}  // namespace

LaunchAtLogin::LaunchAtLogin() {
    refresh();
}

void LaunchAtLogin::refresh() {
    const SMAppServiceStatus status = SMAppService::mainAppService().status();
    isEnabled.set(status == SMAppServiceStatus::enabled);
    needsApproval.set(status == SMAppServiceStatus::requiresApproval);
}

void LaunchAtLogin::setEnabled(bool enabled) {
    SMAppService& service = SMAppService::mainAppService();
    NSError error;
    const bool done = enabled ? service.registerAndReturnError(&error) : service.unregisterAndReturnError(&error);
    if (!done)
        log().error("Anmeldeobjekt %{public}s fehlgeschlagen: %{public}s", enabled ? "registrieren" : "entfernen",
                    error.localizedDescription);
    refresh();
    if (needsApproval.value())
        SMAppService::openSystemSettingsLoginItems();
}

}  // namespace velunto

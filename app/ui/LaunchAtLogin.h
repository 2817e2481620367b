#pragma once

#include "platform/combine/Published.h"

namespace velunto {

// Whether the application starts when the user logs in. Main thread only.
class LaunchAtLogin {
public:
    LaunchAtLogin();  // reads the current state

    Published<bool> isEnabled{false};
    // Registered, but the user still has to allow it in the system settings.
    Published<bool> needsApproval{false};

    void refresh();
    // Registers or removes the login item; a failure is logged. Opens the settings when approval is needed.
    void setEnabled(bool enabled);
};

}  // namespace velunto

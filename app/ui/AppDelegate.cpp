#include "app/ui/AppDelegate.h"

#include "app/audio/AppState.h"

namespace velunto {

void AppDelegate::applicationWillTerminate() {
    if (!appState)
        return;
    appState->pluginHost().saveState();
    appState->deviceEQ().flushPendingSave();
}

}  // namespace velunto

#pragma once

#include <memory>

#include "platform/appkit/NSApplicationDelegate.h"

namespace velunto {

class AppState;

// Saves what would otherwise be lost when the application quits.
class AppDelegate : public NSApplicationDelegate {
public:
    // Set once the menu-bar item has appeared.
    std::shared_ptr<AppState> appState;

    // The loaded plug-in's state is saved and a pending equaliser save is written now.
    void applicationWillTerminate() override;
};

}  // namespace velunto

#pragma once

#include <QIcon>
#include <string>

#include "app/audio/EngineStatus.h"
#include "platform/combine/AnyCancellable.h"

class QSystemTrayIcon;

namespace velunto {

class AppState;

// The menu-bar item's image, following the pipeline's overall status.
class MenuBarIcon {
public:
    static constexpr const char* kRunning = "MenuBarIcon";
    static constexpr const char* kPaused = "MenuBarIconPaused";
    static constexpr const char* kError = "MenuBarIconError";

    // Paused when stopped, the error image on an error, the normal one while starting or running.
    static const char* imageName(const EngineStatus& overall);
    // The named template image from the application's resources (a null icon if it is missing).
    static QIcon image(const std::string& name);

    // Keeps the tray item's icon current; main thread.
    MenuBarIcon(AppState& state, QSystemTrayIcon& tray);
    const std::string& currentImageName() const { return current_; }

private:
    void update();

    AppState& state_;
    QSystemTrayIcon& tray_;
    std::string current_;
    std::vector<AnyCancellable> subscriptions_;
};

}  // namespace velunto

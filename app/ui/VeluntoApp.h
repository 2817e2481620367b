#pragma once

#include <memory>

#include "app/audio/AppState.h"

class QSystemTrayIcon;
class QWidget;

namespace velunto {

class AppDelegate;
class LaunchAtLogin;
class MenuBarIcon;
class MenuPanel;
class PluginWindowController;
class Updater;

// The application: one menu-bar item whose icon shows the pipeline's state and whose click drops
// the panel down under it. No main window.
class VeluntoApp {
public:
    VeluntoApp(int argc, char** argv);
    ~VeluntoApp();
    VeluntoApp(const VeluntoApp&) = delete;
    VeluntoApp& operator=(const VeluntoApp&) = delete;

    // Runs until the application terminates; returns the exit code.
    int run();
    // Made on first use, then kept for the life of the process.
    const std::shared_ptr<AppState>& appState();
    const std::shared_ptr<Updater>& updater();
    // The panel under the menu-bar item, made on first use (shown or not).
    QWidget& panel();
    // The view of an auxiliary window.
    static std::unique_ptr<QWidget> makeWindowContent(AppState& state, AppState::AuxiliaryWindow window);

private:
    void showMenuBarItem();
    void togglePanel();
    void openPluginWindow();

    std::shared_ptr<AppDelegate> appDelegate_;
    std::shared_ptr<AppState> appState_;
    std::shared_ptr<Updater> updater_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<MenuBarIcon> icon_;
    std::shared_ptr<LaunchAtLogin> launchAtLogin_;
    std::unique_ptr<QWidget> panel_;
    std::unique_ptr<PluginWindowController> pluginWindow_;
};

}  // namespace velunto

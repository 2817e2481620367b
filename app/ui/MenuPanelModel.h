#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ui/KeyShortcut.h"
#include "platform/combine/AnyCancellable.h"

namespace velunto {

class AppState;
class LaunchAtLogin;
class Updater;

// One entry of a picker's menu: an option with or without a check mark, a divider, or a plain
// button.
struct PanelMenuItem {
    enum class Kind { option, divider, button };
    Kind kind = Kind::option;
    std::string title;
    bool isSelected = false;
    std::function<void()> action;
};

// A warning line of the panel; clicking one that opensSettings takes the user to where the camera
// extension is allowed.
struct PanelNotice {
    std::string icon;
    std::string text;
    bool opensSettings = false;
};

// Everything the menu panel shows and does, derived from the application state each time it is asked.
// Main thread only.
class MenuPanelModel {
public:
    // The updater and the login item may be absent (then their controls are off and do nothing).
    MenuPanelModel(std::shared_ptr<AppState> appState, std::shared_ptr<Updater> updater,
                   std::shared_ptr<LaunchAtLogin> launchAtLogin);
    ~MenuPanelModel();
    MenuPanelModel(const MenuPanelModel&) = delete;
    MenuPanelModel& operator=(const MenuPanelModel&) = delete;

    AppState& appState() { return *appState_; }

    // Called on the main queue after anything the panel shows may have changed.
    std::function<void()> onChange;
    // The plug-in's own window; the shell provides it.
    std::function<void()> openPluginWindow;
    bool hidesNotices = false;

    static constexpr const char* kFeedbackAddress = "feedback@velunto.app";
    static constexpr std::int64_t kMinimumOffsetMilliseconds = -500;
    static constexpr std::int64_t kMaximumOffsetMilliseconds = 500;
    static constexpr std::int64_t kOffsetStepMilliseconds = 10;

    // Header.
    std::string statusLine() const;
    // The latency in whole milliseconds (halves away from zero), if known, and its unit text.
    std::optional<std::int64_t> latencyMilliseconds() const;
    static std::string latencyUnit();
    bool isPowerOn() const;
    std::string powerLabel() const;
    void togglePower();

    // Warnings in their order; none when hidesNotices.
    std::vector<PanelNotice> notices() const;
    void openExtensionSettings();

    // Audio card.
    std::string inputValue() const;
    std::vector<PanelMenuItem> inputMenu() const;
    std::string pluginValue() const;
    std::vector<PanelMenuItem> pluginMenu() const;
    bool isBypassed() const;
    void setBypassed(bool bypassed);
    bool isEQOn() const;
    bool isEQToggleEnabled() const;
    void setEQOn(bool on);
    bool isMonitoring() const;
    void setMonitoring(bool monitoring);
    std::string monitorDeviceValue() const;
    std::vector<PanelMenuItem> monitorDeviceMenu() const;

    // Camera card.
    std::string cameraValue() const;
    std::vector<PanelMenuItem> cameraMenu() const;
    std::int64_t videoOffsetMilliseconds() const;
    // Clamped to the control's range and step.
    void setVideoOffsetMilliseconds(std::int64_t milliseconds);
    std::string videoDelayCaption() const;

    // Tools.
    void openEQ();
    void openLatency();
    void openPlugin();
    bool arePluginToolsEnabled() const;

    // Settings.
    bool launchesAtLogin() const;
    void setLaunchesAtLogin(bool enabled);
    std::string launchAtLoginTitle() const;
    std::optional<KeyShortcut> pauseShortcut() const;
    void setPauseShortcut(const std::optional<KeyShortcut>& shortcut);

    // Footer.
    bool canCheckForUpdates() const;
    void checkForUpdates();
    // The feedback e-mail: its subject and body, and the mailto URL that opens it.
    std::string feedbackSubject() const;
    std::string feedbackBody() const;
    std::string feedbackURL() const;
    void sendFeedback();
    void quit();

private:
    void subscribe();
    void changed() const;
    std::string inputDeviceName() const;
    std::optional<std::string> loadedPluginName() const;

    std::shared_ptr<AppState> appState_;
    std::shared_ptr<Updater> updater_;
    std::shared_ptr<LaunchAtLogin> launchAtLogin_;
    std::vector<AnyCancellable> cancellables_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velunto

#pragma once

#include <memory>

class QWidget;

namespace velunto {

class AVAudioUnit;
class PluginHost;

// The loaded plug-in's window, 480 × 320 to begin with, resizable, centred, kept for the rest of the
// run. It shows the plug-in's own editor when the unit offers one, else NoPluginUIHint; closing it
// stores the plug-in's state.
class PluginWindowController {
public:
    explicit PluginWindowController(PluginHost& pluginHost);
    ~PluginWindowController();
    PluginWindowController(const PluginWindowController&) = delete;
    PluginWindowController& operator=(const PluginWindowController&) = delete;

    // Titles the window after the selected plug-in and brings it forward with the unit's content.
    void showPluginUI(const std::shared_ptr<AVAudioUnit>& unit);
    QWidget& window();

private:
    class Window;
    PluginHost& pluginHost_;
    std::unique_ptr<Window> window_;
};

}  // namespace velunto

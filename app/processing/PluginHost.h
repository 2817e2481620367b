#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/processing/PluginDescription.h"
#include "app/settings/SettingsStore.h"
#include "platform/avaudio/AVAudioUnit.h"
#include "platform/combine/Published.h"

namespace velunto {

// Finds the installed effects, loads the one the user picks (asynchronously), keeps its bypass flag
// and its state across launches, and hands each loaded unit on through onPluginChanged. Main thread
// only; instantiations complete on the main queue.
class PluginHost : public std::enable_shared_from_this<PluginHost> {
public:
    // Lists the effects, reads the bypass flag and starts loading the stored selection.
    static std::shared_ptr<PluginHost> make(SettingsStore settingsStore);
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Effects, then music effects, sorted by manufacturer and then by name.
    Published<std::vector<PluginDescription>> availablePlugins{{}};
    // Set at once on selection; loadedUnit follows when the load has finished.
    Published<std::optional<PluginDescription>> selectedPlugin{std::nullopt};
    Published<std::shared_ptr<AVAudioUnit>> loadedUnit{nullptr};
    // Read here; changed through setBypassed().
    Published<bool> isBypassed{false};

    // Every newly loaded unit, and null when the selection is cleared.
    std::function<void(std::shared_ptr<AVAudioUnit>)> onPluginChanged;

    void selectPlugin(const std::optional<PluginDescription>& plugin);
    void setBypassed(bool bypassed);
    // Stores the loaded unit's full state in the one state slot.
    void saveState();

private:
    explicit PluginHost(SettingsStore settingsStore);
    void refreshPlugins();
    void restoreSelection();
    void finishLoading(const PluginDescription& plugin, std::shared_ptr<AVAudioUnit> unit,
                       const std::optional<NSError>& error);

    const SettingsStore settingsStore_;
};

}  // namespace velunto

#include "app/processing/PluginHost.h"

#include <algorithm>
#include <stdexcept>

#include "app/devices/LocalizedText.h"
#include "app/settings/SettingsKey.h"
#include "platform/avaudio/AVAudioUnitComponentManager.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "PluginHost");
    return logger;
}

}  // namespace

std::shared_ptr<PluginHost> PluginHost::make(SettingsStore settingsStore) {
    std::shared_ptr<PluginHost> host(new PluginHost(std::move(settingsStore)));
    host->isBypassed.set(host->settingsStore_.defaults->boolean(rawValue(SettingsKey::bypass)));
    host->refreshPlugins();
    host->restoreSelection();
    return host;
}

PluginHost::PluginHost(SettingsStore settingsStore) : settingsStore_(std::move(settingsStore)) {}

void PluginHost::refreshPlugins() {
    auto& manager = AVAudioUnitComponentManager::shared();
    std::vector<PluginDescription> plugins;
    for (OSType type : {kAudioUnitType_Effect, kAudioUnitType_MusicEffect})
        for (const auto& component : manager.components(AudioComponentDescription{type, 0, 0, 0, 0}))
            plugins.push_back({component.name, component.manufacturerName, component.audioComponentDescription});
    std::stable_sort(plugins.begin(), plugins.end(), [](const PluginDescription& a, const PluginDescription& b) {
        if (a.manufacturerName != b.manufacturerName)
            return LocalizedText::standardCompare(a.manufacturerName, b.manufacturerName) < 0;
        return LocalizedText::standardCompare(a.name, b.name) < 0;
    });
    availablePlugins.set(std::move(plugins));
}

void PluginHost::restoreSelection() {
    const auto stored = settingsStore_.loadPluginComponent();
    if (!stored)
        return;
    for (const auto& plugin : availablePlugins.value()) {
        const auto& d = plugin.componentDescription;
        if (d.componentType == stored->type && d.componentSubType == stored->subType &&
            d.componentManufacturer == stored->manufacturer) {
            selectPlugin(plugin);
            return;
        }
    }
}

void PluginHost::selectPlugin(const std::optional<PluginDescription>& plugin) {
    if (plugin == selectedPlugin.value())
        return;
    saveState();
    selectedPlugin.set(plugin);
    loadedUnit.set(nullptr);
    if (!plugin) {
        settingsStore_.savePluginComponent(std::nullopt);
        if (onPluginChanged)
            onPluginChanged(nullptr);
        return;
    }
    AVAudioUnit::instantiate(
        plugin->componentDescription, 0,
        [weak = weak_from_this(), p = *plugin](std::shared_ptr<AVAudioUnit> unit, std::optional<NSError> error) {
            DispatchQueue::main().async([weak, p, unit = std::move(unit), error] {
                if (const auto self = weak.lock())
                    self->finishLoading(p, unit, error);
            });
        });
}

void PluginHost::finishLoading(const PluginDescription& plugin, std::shared_ptr<AVAudioUnit> unit,
                               const std::optional<NSError>& error) {
    if (error) {
        log().error("Plugin %{public}s konnte nicht geladen werden: %{public}s", plugin.name,
                    error->localizedDescription);
        return;
    }
    if (!unit || selectedPlugin.value() != plugin)
        return;
    unit->setShouldBypassEffect(isBypassed.value());
    const auto& d = plugin.componentDescription;
    settingsStore_.savePluginComponent(
        StoredPluginComponent{d.componentType, d.componentSubType, d.componentManufacturer});
    if (const auto data = settingsStore_.defaults->data(rawValue(SettingsKey::pluginState)))
        if (const auto state = PropertyListSerialization::propertyList(*data); state && state->isDictionary())
            unit->unit().setFullState(*state);
    loadedUnit.set(unit);
    if (onPluginChanged)
        onPluginChanged(unit);
}

void PluginHost::saveState() {
    const auto& unit = loadedUnit.value();
    if (!unit)
        return;
    const auto state = unit->unit().fullState();
    if (!state || !state->isDictionary())
        return;
    Data data;
    try {
        data = PropertyListSerialization::binaryData(*state);
    } catch (const std::length_error&) {
        return;  // too large to store: the slot keeps what it had
    }
    settingsStore_.defaults->set(rawValue(SettingsKey::pluginState), PropertyListValue(std::move(data)));
}

void PluginHost::setBypassed(bool bypassed) {
    if (bypassed == isBypassed.value())
        return;
    isBypassed.set(bypassed);
    settingsStore_.defaults->set(rawValue(SettingsKey::bypass), PropertyListValue(bypassed));
    if (const auto& unit = loadedUnit.value())
        unit->setShouldBypassEffect(bypassed);
}

}  // namespace velunto

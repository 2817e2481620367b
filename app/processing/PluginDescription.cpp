#include "app/processing/PluginDescription.h"

#include "app/settings/SettingsStore.h"

namespace velunto {

std::string PluginDescription::id() const {
    return SettingsStore::measurementKey(componentDescription.componentType, componentDescription.componentSubType,
                                         componentDescription.componentManufacturer);
}

}  // namespace velunto

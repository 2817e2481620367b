#include "app/settings/SettingsStore.h"

namespace velunto {

SettingsStore::SettingsStore(std::shared_ptr<UserDefaults> database) : defaults(std::move(database)) {}

InputMode SettingsStore::loadInputMode() const {
    return loadCoded<InputMode>(SettingsKey::inputMode, InputMode::fromJSON).value_or(InputMode::systemDefault());
}

void SettingsStore::saveInputMode(const InputMode& mode) const {
    saveCoded(SettingsKey::inputMode, [&] { return mode.toJSON(); });
}

std::vector<DevicePriorityEntry> SettingsStore::loadDevicePriority() const {
    return loadCoded<std::vector<DevicePriorityEntry>>(SettingsKey::devicePriority,
                                                       [](const JSON& j) {
                                                           return JSONCoding::decodeArray<DevicePriorityEntry>(
                                                               j, DevicePriorityEntry::fromJSON);
                                                       })
        .value_or(std::vector<DevicePriorityEntry>{});
}

void SettingsStore::saveDevicePriority(const std::vector<DevicePriorityEntry>& list) const {
    saveCoded(SettingsKey::devicePriority,
              [&] { return JSONCoding::encodeArray(list, [](const DevicePriorityEntry& e) { return e.toJSON(); }); });
}

std::optional<StoredPluginComponent> SettingsStore::loadPluginComponent() const {
    return loadCoded<StoredPluginComponent>(SettingsKey::pluginComponent, StoredPluginComponent::fromJSON);
}

void SettingsStore::savePluginComponent(const std::optional<StoredPluginComponent>& component) const {
    if (component) {
        saveCoded(SettingsKey::pluginComponent, [&] { return component->toJSON(); });
    } else {
        remove(SettingsKey::pluginComponent);
    }
}

bool SettingsStore::loadIsRunning() const {
    // Only a boolean, or a number that is exactly 0 or 1, converts.
    const std::optional<PropertyListValue> stored = defaults->object(rawValue(SettingsKey::isRunning));
    if (!stored) {
        return true;
    }
    if (const std::optional<bool> flag = stored->boolean()) {
        return *flag;
    }
    if (const std::optional<std::int64_t> integer = stored->integer(); integer && (*integer == 0 || *integer == 1)) {
        return *integer == 1;
    }
    if (const std::optional<double> real = stored->real(); real && (*real == 0.0 || *real == 1.0)) {
        return *real == 1.0;
    }
    return true;
}

std::string SettingsStore::measurementKey(std::uint32_t type, std::uint32_t subType, std::uint32_t manufacturer) {
    return std::to_string(type) + "-" + std::to_string(subType) + "-" + std::to_string(manufacturer);
}

std::optional<JSON> SettingsStore::storedJSON(SettingsKey key) const {
    const std::optional<Data> data = defaults->data(rawValue(key));
    if (!data) {
        return std::nullopt;
    }
    try {
        return JSONCoding::decode(*data);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

bool SettingsStore::storeJSON(SettingsKey key, const JSON& document) const {
    Data data;
    try {
        data = JSONCoding::encode(document);
    } catch (const EncodingError&) {
        return false;
    }
    defaults->set(rawValue(key), PropertyListValue(std::move(data)));
    return true;
}

void SettingsStore::remove(SettingsKey key) const {
    defaults->removeObject(rawValue(key));
}

}  // namespace velunto

#pragma once

#include "app/camera/CameraSelection.h"
#include "app/processing/EQSettings.h"
#include "app/processing/PluginLatencyMeasurement.h"
#include "app/settings/DevicePriorityEntry.h"
#include "app/settings/InputMode.h"
#include "app/settings/JSONCoding.h"
#include "app/settings/SettingsKey.h"
#include "app/settings/StoredPluginComponent.h"
#include "app/ui/KeyShortcut.h"
#include "platform/foundation/UserDefaults.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velunto {

// Typed access to the persisted settings. Structured values are JSON documents stored as data;
// loads never fail (a missing or undecodable value gives the key's default) and nothing here logs.
class SettingsStore {
public:
    explicit SettingsStore(std::shared_ptr<UserDefaults> defaults);

    // The application's user-defaults database; plain values are read and written on it directly.
    const std::shared_ptr<UserDefaults> defaults;

    InputMode loadInputMode() const;
    void saveInputMode(const InputMode& mode) const;

    std::vector<DevicePriorityEntry> loadDevicePriority() const;
    void saveDevicePriority(const std::vector<DevicePriorityEntry>& list) const;

    std::optional<StoredPluginComponent> loadPluginComponent() const;
    // A value is stored as JSON (nothing is written if that fails); none removes the key.
    void savePluginComponent(const std::optional<StoredPluginComponent>& component) const;

    // The running flag: true when missing or when the stored object is not a boolean.
    bool loadIsRunning() const;

    // "<type>-<subType>-<manufacturer>" in decimal, e.g. "1635083896-1684368505-1634758764".
    static std::string measurementKey(std::uint32_t type, std::uint32_t subType, std::uint32_t manufacturer);

    // Records of other subsystems. Defined here in the header so that this library links none of them.
    std::map<std::string, EQSettings> loadEQSettingsByDevice() const {
        return loadCoded<std::map<std::string, EQSettings>>(
                   SettingsKey::eqSettingsByDevice,
                   [](const JSON& j) { return JSONCoding::decodeMap<EQSettings>(j, EQSettings::fromJSON); })
            .value_or(std::map<std::string, EQSettings>{});
    }
    void saveEQSettingsByDevice(const std::map<std::string, EQSettings>& map) const {
        saveCoded(SettingsKey::eqSettingsByDevice,
                  [&] { return JSONCoding::encodeMap(map, [](const EQSettings& s) { return s.toJSON(); }); });
    }

    std::map<std::string, PluginLatencyMeasurement> loadPluginLatencyMeasurements() const {
        return loadCoded<std::map<std::string, PluginLatencyMeasurement>>(
                   SettingsKey::pluginLatencyMeasurements,
                   [](const JSON& j) {
                       return JSONCoding::decodeMap<PluginLatencyMeasurement>(j, PluginLatencyMeasurement::fromJSON);
                   })
            .value_or(std::map<std::string, PluginLatencyMeasurement>{});
    }
    void savePluginLatencyMeasurements(const std::map<std::string, PluginLatencyMeasurement>& map) const {
        saveCoded(SettingsKey::pluginLatencyMeasurements, [&] {
            return JSONCoding::encodeMap(map, [](const PluginLatencyMeasurement& m) { return m.toJSON(); });
        });
    }

    std::optional<KeyShortcut> loadPauseShortcut() const {
        return loadCoded<KeyShortcut>(SettingsKey::pauseShortcut, KeyShortcut::fromJSON);
    }
    // None removes the key, and so does a shortcut that cannot be encoded.
    void savePauseShortcut(const std::optional<KeyShortcut>& shortcut) const {
        if (!shortcut || !saveCoded(SettingsKey::pauseShortcut, [&] { return shortcut->toJSON(); })) {
            remove(SettingsKey::pauseShortcut);
        }
    }

    CameraSelection loadCameraSelection() const {
        return loadCoded<CameraSelection>(SettingsKey::cameraSelection, CameraSelection::fromJSON)
            .value_or(CameraSelection::automatic());
    }
    void saveCameraSelection(const CameraSelection& selection) const {
        saveCoded(SettingsKey::cameraSelection, [&] { return selection.toJSON(); });
    }

private:
    // The JSON document stored under the key, if there is data there that parses.
    std::optional<JSON> storedJSON(SettingsKey key) const;
    // Stores the encoded document; false (nothing written) when it cannot be encoded.
    bool storeJSON(SettingsKey key, const JSON& document) const;
    void remove(SettingsKey key) const;

    template <class T, class Decode>
    std::optional<T> loadCoded(SettingsKey key, Decode decode) const {
        const std::optional<JSON> document = storedJSON(key);
        if (!document) {
            return std::nullopt;
        }
        try {
            return decode(*document);
        } catch (const DecodingError&) {
            return std::nullopt;
        } catch (const JSON::exception&) {
            return std::nullopt;
        }
    }

    template <class Encode>
    bool saveCoded(SettingsKey key, Encode encode) const {
        JSON document;
        try {
            document = encode();
        } catch (const EncodingError&) {
            return false;
        }
        return storeJSON(key, document);
    }
};

}  // namespace velunto

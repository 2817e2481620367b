#pragma once

#include <array>
#include <string>

namespace velunto {

// Every persisted setting, in this order; the raw value is the user-defaults key.
enum class SettingsKey {
    inputMode,
    pluginComponent,
    pluginState,
    bypass,
    isRunning,
    eqSettingsByDevice,
    devicePriority,
    cameraSelection,
    videoOffsetMilliseconds,
    pluginLatencyMeasurements,
    monitorDeviceUID,
    pauseShortcut,
};

inline constexpr std::array<SettingsKey, 12> allSettingsKeys = {
    SettingsKey::inputMode,
    SettingsKey::pluginComponent,
    SettingsKey::pluginState,
    SettingsKey::bypass,
    SettingsKey::isRunning,
    SettingsKey::eqSettingsByDevice,
    SettingsKey::devicePriority,
    SettingsKey::cameraSelection,
    SettingsKey::videoOffsetMilliseconds,
    SettingsKey::pluginLatencyMeasurements,
    SettingsKey::monitorDeviceUID,
    SettingsKey::pauseShortcut,
};

const std::string& rawValue(SettingsKey key);

}  // namespace velunto

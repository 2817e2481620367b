#include "app/settings/SettingsKey.h"

namespace velunto {

const std::string& rawValue(SettingsKey key) {
    static const std::array<std::string, 12> keys = {
        "app.velunto.inputMode",
        "app.velunto.pluginComponent",
        "app.velunto.pluginState",
        "app.velunto.bypass",
        "app.velunto.isRunning",
        "app.velunto.eqSettingsByDevice",
        "app.velunto.devicePriority",
        "app.velunto.cameraSelection",
        "app.velunto.videoOffsetMilliseconds",
        "app.velunto.pluginLatencyMeasurements",
        "app.velunto.monitorDeviceUID",
        "app.velunto.pauseShortcut",
    };
    return keys.at(static_cast<std::size_t>(key));
}

}  // namespace velunto

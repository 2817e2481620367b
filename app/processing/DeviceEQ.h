#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/devices/AudioDeviceInfo.h"
#include "app/processing/EQSettings.h"
#include "app/settings/SettingsStore.h"
#include "platform/avaudio/AVAudioUnitEQ.h"
#include "platform/combine/Published.h"
#include "platform/dispatch/DispatchWorkItem.h"

namespace velunto {

// The five-band equaliser after the effect, with its settings kept per input device: switching the
// device loads that device's settings, edits apply at once and are stored half a second after the
// last one. Main thread only.
class DeviceEQ : public std::enable_shared_from_this<DeviceEQ> {
public:
    static std::shared_ptr<DeviceEQ> make(SettingsStore settingsStore);
    DeviceEQ(const DeviceEQ&) = delete;
    DeviceEQ& operator=(const DeviceEQ&) = delete;

    static constexpr UInt32 kBandCount = 5;
    static constexpr std::chrono::milliseconds kSaveDelay{500};

    // The unit the capture graph runs the voice through.
    const std::shared_ptr<AVAudioUnitEQ>& node() const { return node_; }

    Published<std::optional<std::string>> deviceUID{std::nullopt};
    Published<std::optional<std::string>> deviceName{std::nullopt};
    // Read here; changed through setSettings().
    Published<EQSettings> settings{defaultEQSettings()};

    // A value different from the current one is applied to the unit and scheduled for saving.
    void setSettings(EQSettings newSettings);
    // Loads the settings stored for the device (the defaults for none or a new one).
    void switchToDevice(const std::optional<AudioDeviceInfo>& device);
    // Writes a scheduled save now and cancels it (when the editor closes or the device changes).
    void flushPendingSave();

    // Translates the settings into the unit's parameters.
    void applyToUnit(const EQSettings& settings);
    // Bandwidth in octaves of a band with quality factor q: (2 / ln 2) asinh(1 / (2q)).
    static double bandwidthOctaves(double q);

private:
    explicit DeviceEQ(SettingsStore settingsStore);
    void scheduleSave();

    const std::shared_ptr<AVAudioUnitEQ> node_;
    const SettingsStore settingsStore_;
    std::shared_ptr<DispatchWorkItem> pendingSave_;
    bool isLoading_ = false;
};

}  // namespace velunto

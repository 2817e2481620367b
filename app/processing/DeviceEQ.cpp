#include "app/processing/DeviceEQ.h"

#include <cmath>
#include <numbers>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTime.h"

namespace velunto {

namespace {

AVAudioUnitEQFilterType filterType(EQBandType type) {
    switch (type) {
        case EQBandType::bell:
            return AVAudioUnitEQFilterType::parametric;
        case EQBandType::lowShelf:
            return AVAudioUnitEQFilterType::lowShelf;
        case EQBandType::highShelf:
            return AVAudioUnitEQFilterType::highShelf;
        case EQBandType::lowCut:
            return AVAudioUnitEQFilterType::highPass;
        case EQBandType::highCut:
            return AVAudioUnitEQFilterType::lowPass;
    }
    return AVAudioUnitEQFilterType::parametric;
}

}  // namespace

std::shared_ptr<DeviceEQ> DeviceEQ::make(SettingsStore settingsStore) {
    return std::shared_ptr<DeviceEQ>(new DeviceEQ(std::move(settingsStore)));
}

DeviceEQ::DeviceEQ(SettingsStore settingsStore)
    : node_(std::make_shared<AVAudioUnitEQ>(kBandCount)), settingsStore_(std::move(settingsStore)) {
    node_->setGlobalGain(0);
    applyToUnit(settings.value());
}

double DeviceEQ::bandwidthOctaves(double q) {
    return 2.0 / std::numbers::ln2 * std::asinh(1.0 / (2.0 * q));
}

void DeviceEQ::applyToUnit(const EQSettings& newSettings) {
    node_->setBypass(!newSettings.isEnabled);
    auto& unitBands = node_->bands();
    for (std::size_t i = 0; i < newSettings.bands.size() && i < unitBands.size(); ++i) {
        const EQBand& band = newSettings.bands[i];
        auto& unitBand = unitBands[i];
        // The unit clamps to its ranges and ignores non-finite values, so absurd stored bands
        // (0 Hz, q <= 0, NaN) cannot reach the filters.
        unitBand.setFilterType(filterType(band.type));
        unitBand.setFrequency(static_cast<float>(band.frequency));
        unitBand.setGain(hasGain(band.type) ? static_cast<float>(band.gain) : 0.0f);
        unitBand.setBandwidth(static_cast<float>(bandwidthOctaves(band.q)));
        unitBand.setBypass(!band.isEnabled);
    }
}

void DeviceEQ::setSettings(EQSettings newSettings) {
    if (newSettings == settings.value())
        return;
    settings.set(std::move(newSettings));
    applyToUnit(settings.value());
    scheduleSave();
}

void DeviceEQ::switchToDevice(const std::optional<AudioDeviceInfo>& device) {
    std::optional<std::string> uid;
    std::optional<std::string> name;
    if (device) {
        uid = device->uid;
        name = device->name;
    }
    if (uid == deviceUID.value()) {
        deviceName.set(std::move(name));
        return;
    }
    flushPendingSave();
    deviceUID.set(uid);
    deviceName.set(std::move(name));

    isLoading_ = true;
    EQSettings chosen = defaultEQSettings();
    if (uid) {
        const auto stored = settingsStore_.loadEQSettingsByDevice();
        if (const auto entry = stored.find(*uid); entry != stored.end())
            chosen = entry->second;
    }
    setSettings(std::move(chosen));
    isLoading_ = false;
}

void DeviceEQ::flushPendingSave() {
    if (!pendingSave_)
        return;
    pendingSave_->perform();
    pendingSave_->cancel();
    pendingSave_.reset();
}

void DeviceEQ::scheduleSave() {
    if (isLoading_ || !deviceUID.value())
        return;
    const std::string uid = *deviceUID.value();
    const EQSettings snapshot = settings.value();
    if (pendingSave_)
        pendingSave_->cancel();
    pendingSave_ = DispatchWorkItem::make([weak = weak_from_this(), uid, snapshot] {
        const auto self = weak.lock();
        if (!self)
            return;
        auto map = self->settingsStore_.loadEQSettingsByDevice();
        map[uid] = snapshot;
        self->settingsStore_.saveEQSettingsByDevice(map);
    });
    DispatchQueue::main().asyncAfter(DispatchTime::now() + kSaveDelay, pendingSave_);
}

}  // namespace velunto

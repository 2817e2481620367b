#include "app/ui/EQEditorModel.h"

#include <algorithm>
#include <cmath>

#include "app/audio/AppState.h"
#include "app/processing/DeviceEQ.h"
#include "app/ui/EQScale.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

EQEditorModel::EQEditorModel(AppState& state) : eq_(state.deviceEQ()) {
    const auto main = DispatchQueue::main();
    eq_.settings.sink(main, [this](const EQSettings&) { changed(); }, {.initial = false}).store(subscriptions_);
    eq_.deviceName.sink(main, [this](const std::optional<std::string>&) { changed(); }, {.initial = false})
        .store(subscriptions_);
}

void EQEditorModel::changed() const {
    if (onChange)
        onChange();
}

bool EQEditorModel::isEnabled() const {
    return eq_.settings.value().isEnabled;
}

void EQEditorModel::setEnabled(bool enabled) {
    EQSettings settings = eq_.settings.value();
    settings.isEnabled = enabled;
    eq_.setSettings(std::move(settings));
}

std::string EQEditorModel::deviceText() const {
    return eq_.deviceName.value().value_or(kNoDeviceText);
}

void EQEditorModel::reset() {
    eq_.setSettings(defaultEQSettings());
}

std::vector<std::string> EQEditorModel::typeLabels() {
    std::vector<std::string> labels;
    for (EQBandType type : allEQBandTypes)
        labels.push_back(displayName(type));
    return labels;
}

EQBandRow EQEditorModel::makeRow(const EQBand& band, std::size_t index) {
    EQBandRow r;
    r.number = static_cast<int>(index) + 1;
    r.isEnabled = band.isEnabled;
    r.type = band.type;
    r.typeIndex = static_cast<std::size_t>(std::ranges::find(allEQBandTypes, band.type) - allEQBandTypes.begin());
    r.frequencyPosition = std::clamp(EQScale::position(band.frequency), 0.0, 1.0);
    r.frequencyText = EQScale::frequencyText(band.frequency);
    r.gain = band.gain;
    r.isGainEnabled = hasGain(band.type);
    r.gainText = EQScale::gainText(band.gain);
    r.q = band.q;
    r.isQEnabled = band.type == EQBandType::bell;
    r.qText = EQScale::qText(band.q);
    return r;
}

std::vector<EQBandRow> EQEditorModel::rows() const {
    const auto& bands = eq_.settings.value().bands;
    std::vector<EQBandRow> result;
    result.reserve(bands.size());
    for (std::size_t i = 0; i < bands.size(); ++i)
        result.push_back(makeRow(bands[i], i));
    return result;
}

void EQEditorModel::editBand(std::size_t index, const std::function<void(EQBand&)>& edit) {
    EQSettings settings = eq_.settings.value();
    if (index >= settings.bands.size())
        return;
    edit(settings.bands[index]);
    eq_.setSettings(std::move(settings));
}

void EQEditorModel::setBandEnabled(std::size_t index, bool enabled) {
    editBand(index, [&](EQBand& band) { band.isEnabled = enabled; });
}

void EQEditorModel::setBandType(std::size_t index, EQBandType type) {
    editBand(index, [&](EQBand& band) { band.type = type; });
}

void EQEditorModel::setBandFrequencyPosition(std::size_t index, double position) {
    if (!std::isfinite(position))
        return;
    editBand(index, [&](EQBand& band) { band.frequency = EQScale::frequencyAt(position); });
}

void EQEditorModel::setBandGain(std::size_t index, double gain) {
    if (!std::isfinite(gain))
        return;
    editBand(index, [&](EQBand& band) { band.gain = EQScale::limitGain(gain); });
}

void EQEditorModel::setBandQ(std::size_t index, double q) {
    if (!std::isfinite(q))
        return;
    editBand(index, [&](EQBand& band) { band.q = EQScale::limitQ(q); });
}

}  // namespace velunto

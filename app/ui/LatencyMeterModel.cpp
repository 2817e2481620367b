#include "app/ui/LatencyMeterModel.h"

#include <QLocale>
#include <QString>
#include <cmath>

#include "app/processing/LatencyMeter.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

namespace {

using Kind = LatencyMeter::State::Kind;

std::string doneText(double confidence) {
    const auto percent = static_cast<long long>(std::round(confidence * 100));
    return "Gemessen, Übereinstimmung " + std::to_string(percent) +
           " %. Wird für Latenzanzeige und Video-Verzögerung verwendet.";
}

template <class T>
void observe(Published<T>& published, const std::function<void()>& changed, std::vector<AnyCancellable>& tokens) {
    typename Published<T>::SinkOptions later;
    later.initial = false;
    published
        .sink(
            DispatchQueue::main(), [changed](const T&) { changed(); }, later)
        .store(tokens);
}

}  // namespace

LatencyMeterModel::LatencyMeterModel(AppState& state) : state_(state) {
    const std::function<void()> changed = [this] { notify(); };
    PluginHost& host = state_.pluginHost();
    observe(host.selectedPlugin, changed, cancellables_);
    observe(host.loadedUnit, changed, cancellables_);
    observe(host.isBypassed, changed, cancellables_);
    observe(state_.latencyMeter().state, changed, cancellables_);
    observe(state_.pluginLatencyMeasurements, changed, cancellables_);
    // The live block size is not observable; the application recomputes its latency whenever the
    // capture engine has settled on a device, and that is when the block size can change.
    observe(state_.latencyMilliseconds, changed, cancellables_);
    observe(state_.captureStatus, changed, cancellables_);
}

void LatencyMeterModel::notify() const {
    if (onChange)
        onChange();
}

std::string LatencyMeterModel::formatMilliseconds(std::optional<double> seconds) {
    if (!seconds)
        return kNoValue;
    return QLocale().toString(*seconds * 1000, 'f', 1).toStdString() + " ms";
}

std::string LatencyMeterModel::title() const {
    const auto& plugin = state_.pluginHost().selectedPlugin.value();
    if (!plugin)
        return kNoPluginTitle;
    return plugin->manufacturerName + ": " + plugin->name;
}

std::string LatencyMeterModel::explanation() {
    const auto seconds = static_cast<long long>(LatencyMeter::kRecordingSeconds);
    return "Sprich nach dem Start etwa " + std::to_string(seconds) +
           " Sekunden ganz normal. Velunto schickt die Aufnahme im Hintergrund durch eine zweite Instanz des "
           "Plugins, einmal aktiv und einmal im Bypass, und misst den Versatz. Der laufende Call wird nicht gestört.";
}

std::optional<PluginLatencyMeasurement> LatencyMeterModel::currentMeasurement() const {
    const auto& unit = state_.pluginHost().loadedUnit.value();
    if (!unit)
        return std::nullopt;
    const auto& measurements = state_.pluginLatencyMeasurements.value();
    const auto stored = measurements.find(LatencyMeter::measurementKey(unit->audioComponentDescription()));
    if (stored == measurements.end())
        return std::nullopt;
    return stored->second;
}

std::string LatencyMeterModel::blockSizeText() const {
    const std::uint32_t live = state_.captureEngine().renderFrameCount();
    const auto measurement = currentMeasurement();
    const std::string liveText = live == 0 ? kNoValue : std::to_string(live);
    const std::string measuredText = measurement ? std::to_string(measurement->blockFrames) : kNoValue;
    return liveText + " / " + measuredText;
}

std::string LatencyMeterModel::usedText() const {
    PluginHost& host = state_.pluginHost();
    const double seconds =
        LatencyMeter::effectivePluginLatency(host.loadedUnit.value().get(), state_.pluginLatencyMeasurements.value(),
                                             state_.captureEngine().renderFrameCount(), host.isBypassed.value());
    return formatMilliseconds(seconds) + (host.isBypassed.value() ? kBypassSuffix : "");
}

std::vector<LatencyValueRow> LatencyMeterModel::rows() const {
    const auto& unit = state_.pluginHost().loadedUnit.value();
    const auto measurement = currentMeasurement();
    const auto reported = unit ? std::optional<double>(unit->latency()) : std::nullopt;
    const auto active = measurement ? std::optional<double>(measurement->activeSeconds) : std::nullopt;
    const auto bypassed = measurement ? std::optional<double>(measurement->bypassedSeconds) : std::nullopt;
    return {
        {kReportedLabel, formatMilliseconds(reported)},
        {kActiveLabel, formatMilliseconds(active)},
        {kBypassedLabel, formatMilliseconds(bypassed)},
        {kBlockSizeLabel, blockSizeText()},
        {kUsedLabel, usedText(), true},
    };
}

std::optional<LatencyStatusLine> LatencyMeterModel::statusLine() const {
    const auto& meterState = state_.latencyMeter().state.value();
    switch (meterState.kind()) {
        case Kind::idle:
            return std::nullopt;
        case Kind::recording:
            return LatencyStatusLine{kRecordingSymbol, kRecordingText, TextColorRole::red};
        case Kind::analyzing:
            return LatencyStatusLine{"", kAnalyzingText, TextColorRole::primary, true};
        case Kind::done:
            return LatencyStatusLine{kDoneSymbol, doneText(meterState.measurement()->confidence), TextColorRole::green};
        case Kind::failed:
            return LatencyStatusLine{kFailedSymbol, meterState.message(), TextColorRole::orange};
    }
    return std::nullopt;
}

std::optional<LatencyStatusLine> LatencyMeterModel::blockSizeWarning() const {
    const auto measurement = currentMeasurement();
    if (!measurement || state_.latencyMeter().isBusy())
        return std::nullopt;
    if (LatencyMeter::isMeasurementValid(*measurement, state_.captureEngine().renderFrameCount()))
        return std::nullopt;
    return LatencyStatusLine{kWarningSymbol, kBlockSizeWarning, TextColorRole::secondary};
}

bool LatencyMeterModel::canStartMeasurement() const {
    return state_.pluginHost().loadedUnit.value() && !state_.latencyMeter().isBusy();
}

bool LatencyMeterModel::canDiscardMeasurement() const {
    return currentMeasurement() && !state_.latencyMeter().isBusy();
}

void LatencyMeterModel::startMeasurement() {
    const auto unit = state_.pluginHost().loadedUnit.value();
    if (!unit)
        return;
    const std::string key = LatencyMeter::measurementKey(unit->audioComponentDescription());
    state_.latencyMeter().measure(state_.captureEngine(), unit,
                                  [weak = state_.weak_from_this(), key](const PluginLatencyMeasurement& measurement) {
                                      if (auto state = weak.lock())
                                          state->setMeasurement(key, measurement);
                                  });
}

void LatencyMeterModel::discardMeasurement() {
    if (!canDiscardMeasurement())
        return;
    const auto& unit = state_.pluginHost().loadedUnit.value();
    state_.setMeasurement(LatencyMeter::measurementKey(unit->audioComponentDescription()), std::nullopt);
}

}  // namespace velunto

#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/AppState.h"
#include "app/processing/PluginLatencyMeasurement.h"
#include "platform/combine/AnyCancellable.h"

namespace velunto {

// How a text is coloured; the view maps each role to its palette.
enum class TextColorRole { primary, secondary, red, green, orange };

// A line of the latency window with an optional symbol image or progress indicator before its text.
struct LatencyStatusLine {
    std::string symbolName;  // empty: no symbol
    std::string text;
    TextColorRole color = TextColorRole::primary;
    bool showsProgress = false;  // a small progress indicator in place of the symbol

    friend bool operator==(const LatencyStatusLine&, const LatencyStatusLine&) = default;
};

// One row of the window's grid.
struct LatencyValueRow {
    std::string label;
    std::string value;
    bool isBold = false;

    friend bool operator==(const LatencyValueRow&, const LatencyValueRow&) = default;
};

// The latency meter window: the loaded plug-in's reported, measured and used latency, the block
// sizes, the meter's progress, and starting or discarding a measurement. Main thread only.
class LatencyMeterModel {
public:
    static constexpr const char* kNoPluginTitle = "Kein Plugin";
    static constexpr const char* kReportedLabel = "Vom Plugin gemeldet";
    static constexpr const char* kActiveLabel = "Gemessen, aktiv";
    static constexpr const char* kBypassedLabel = "Gemessen, Bypass";
    static constexpr const char* kBlockSizeLabel = "Blockgröße live / Messung";
    static constexpr const char* kUsedLabel = "Verwendet";
    static constexpr const char* kBypassSuffix = " (Bypass)";
    static constexpr const char* kNoValue = "–";
    static constexpr const char* kRecordingSymbol = "mic.fill";
    static constexpr const char* kRecordingText = "Aufnahme läuft – bitte sprechen …";
    static constexpr const char* kAnalyzingText = "Berechne …";
    static constexpr const char* kDoneSymbol = "checkmark.circle";
    static constexpr const char* kFailedSymbol = "exclamationmark.triangle";
    static constexpr const char* kWarningSymbol = "info.circle";
    // clang-format off
    static constexpr const char* kBlockSizeWarning = "Die Blockgröße hat sich seit der Messung geändert (anderes Eingangsgerät?). Verwendet wird die Selbstauskunft – bitte neu messen.";
    // clang-format on
    static constexpr const char* kStartTitle = "Messung starten";
    static constexpr const char* kDiscardTitle = "Messung verwerfen";

    // The application state must outlive the model.
    explicit LatencyMeterModel(AppState& state);
    LatencyMeterModel(const LatencyMeterModel&) = delete;
    LatencyMeterModel& operator=(const LatencyMeterModel&) = delete;

    // Called on the main queue after the plug-in, the bypass flag, the stored measurements, the
    // meter's state or the live block size may have changed.
    std::function<void()> onChange;

    // "Kein Plugin", or the selected plug-in's manufacturer and name.
    std::string title() const;
    static std::string explanation();
    // Reported, measured active and bypassed, block sizes, used: in that order.
    std::vector<LatencyValueRow> rows() const;
    // By the meter's state; none while it is idle.
    std::optional<LatencyStatusLine> statusLine() const;
    // When the stored measurement does not hold for the live block size (and none is running).
    std::optional<LatencyStatusLine> blockSizeWarning() const;
    bool canStartMeasurement() const;
    bool canDiscardMeasurement() const;

    // The window's default action: records and analyses in the background; the result is stored for
    // the loaded plug-in and becomes the application's latency.
    void startMeasurement();
    // Removes the loaded plug-in's stored measurement; the status line stays as it is.
    void discardMeasurement();

    // Seconds as milliseconds in the user's locale with one fractional digit ("12,3 ms"), or "–".
    static std::string formatMilliseconds(std::optional<double> seconds);

private:
    std::optional<PluginLatencyMeasurement> currentMeasurement() const;
    std::string blockSizeText() const;
    std::string usedText() const;
    void notify() const;

    AppState& state_;
    std::vector<AnyCancellable> cancellables_;
};

}  // namespace velunto

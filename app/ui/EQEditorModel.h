#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/processing/EQBand.h"
#include "app/processing/EQBandType.h"
#include "app/ui/EQScale.h"
#include "platform/combine/AnyCancellable.h"

namespace velunto {

class AppState;
class DeviceEQ;

struct EQSliderRange {
    double minimum = 0;
    double maximum = 1;
};

// What one row of the band table shows, derived from the band at the time of asking.
struct EQBandRow {
    int number = 1;  // 1-based
    bool isEnabled = false;
    EQBandType type = EQBandType::bell;
    std::size_t typeIndex = 0;     // into EQEditorModel::typeLabels()
    double frequencyPosition = 0;  // 0…1 on the logarithmic axis
    std::string frequencyText;
    double gain = 0;
    bool isGainEnabled = false;
    std::string gainText;
    double q = 1;
    bool isQEnabled = false;
    std::string qText;
};

// The EQ window without the curve: the header (switch, device, reset), the column titles and one row
// per band with its actions. Every edit goes through DeviceEQ::setSettings, which applies it at once
// and stores it for the device half a second later. Main thread only.
class EQEditorModel {
public:
    static constexpr double kWidth = 720;
    static constexpr double kSectionSpacing = 12;
    static constexpr double kCurveHeight = 220;
    static constexpr double kTypePickerWidth = 110;

    static constexpr const char* kEnabledTitle = "EQ aktiv";
    static constexpr const char* kNoDeviceText = "Kein Eingangsgerät";
    static constexpr const char* kResetTitle = "Zurücksetzen";
    static constexpr std::array<const char*, 5> kColumnTitles = {"Band", "Typ", "Frequenz", "Gain", "Q"};

    static constexpr EQSliderRange kFrequencySliderRange{0, 1};
    static constexpr EQSliderRange kGainSliderRange{EQScale::kMinGain, EQScale::kMaxGain};
    static constexpr EQSliderRange kQSliderRange{EQScale::kMinQ, EQScale::kMaxQ};

    // The state must outlive the model (a window's model must not keep the state that owns the window).
    explicit EQEditorModel(AppState& state);
    EQEditorModel(const EQEditorModel&) = delete;
    EQEditorModel& operator=(const EQEditorModel&) = delete;

    // Called on the main queue after the settings or the device name may have changed.
    std::function<void()> onChange;

    // Header.
    bool isEnabled() const;
    void setEnabled(bool enabled);
    // The device's name, or "Kein Eingangsgerät".
    std::string deviceText() const;
    // The default bands, equaliser on.
    void reset();

    // The type picker's entries, in the order of allEQBandTypes.
    static std::vector<std::string> typeLabels();

    std::vector<EQBandRow> rows() const;

    // Row actions; an index without a band is ignored, as are values that are not finite.
    void setBandEnabled(std::size_t index, bool enabled);
    void setBandType(std::size_t index, EQBandType type);
    // The frequency becomes 20 x 1000^p in whole hertz.
    void setBandFrequencyPosition(std::size_t index, double position);
    // Limited to -18…+18 dB.
    void setBandGain(std::size_t index, double gain);
    // Limited to 0.2…10.
    void setBandQ(std::size_t index, double q);

private:
    static EQBandRow makeRow(const EQBand& band, std::size_t index);
    void editBand(std::size_t index, const std::function<void(EQBand&)>& edit);
    void changed() const;

    DeviceEQ& eq_;
    std::vector<AnyCancellable> subscriptions_;
};

}  // namespace velunto

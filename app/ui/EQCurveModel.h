#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/processing/EQBand.h"
#include "app/processing/EQSettings.h"
#include "platform/combine/AnyCancellable.h"

namespace velunto {

class AppState;
class DeviceEQ;
class SpectrumAnalyzer;

struct EQPoint {
    double x = 0;
    double y = 0;
    friend bool operator==(const EQPoint&, const EQPoint&) = default;
};

// A grid line from `from` to `to` with its label, whose bottom-left corner is at labelOrigin.
struct EQGridLine {
    EQPoint from;
    EQPoint to;
    std::string label;
    EQPoint labelOrigin;
};

struct EQHandle {
    std::size_t bandIndex = 0;
    int number = 1;  // drawn on the handle
    EQPoint centre;
    bool isEnabled = false;  // accent colour; otherwise dimmed
};

// The EQ window's curve area for a view of width w and height h: the grid, the response curve the
// settings describe (a picture computed here, not read from the audio unit), the band handles and
// their dragging, and the spectrum behind it all. Main thread only.
class EQCurveModel {
public:
    static constexpr std::size_t kCurvePointCount = 241;
    static constexpr double kHandleDiameter = 14;
    static constexpr double kPickUpRadius = 24;
    static constexpr double kFrequencyLabelOffset = 3;  // right of its line
    static constexpr double kLevelLabelInset = 4;       // from the left edge
    static constexpr double kGridOpacity = 0.2;
    static constexpr double kDisabledHandleOpacity = 0.5;
    static constexpr double kDesignSampleRate = 48000;
    static constexpr double kSilentBandLevel = -96;  // a band whose response cannot be computed
    static constexpr double kSpectrumFloor = -90;

    // The state must outlive the model (a window's model must not keep the state that owns the window).
    explicit EQCurveModel(AppState& state);
    EQCurveModel(const EQCurveModel&) = delete;
    EQCurveModel& operator=(const EQCurveModel&) = delete;

    // Called on the main queue after the settings or the analyser's levels may have changed.
    std::function<void()> onChange;

    // 20 Hz at the left edge, 20 kHz at the right.
    static double xForFrequency(double frequency, double width);
    // The level limited to -18…+18 dB: +18 at the top, 0 in the middle.
    static double yForLevel(double level, double height);

    // Vertical lines at 50 Hz … 10 kHz, labelled at the bottom.
    static std::vector<EQGridLine> frequencyGrid(double width, double height);
    // Horizontal lines at -12 … +12 dB, labelled just above the line at the left.
    static std::vector<EQGridLine> levelGrid(double width, double height);

    // A band's level in dB at the frequency, from the cookbook biquad designed at 48 kHz.
    static double bandLevel(const EQBand& band, double frequency);
    // The sum over the enabled bands; 0 dB when the equaliser is off or has no bands.
    static double totalLevel(const EQSettings& settings, double frequency);
    // The settings the curve and the handles show.
    const EQSettings& settings() const;
    static std::vector<EQPoint> responseCurve(const EQSettings& settings, double width, double height);
    std::vector<EQPoint> responseCurve(double width, double height) const;

    // All bands; cut bands sit on the 0 dB line.
    static std::vector<EQHandle> handles(const EQSettings& settings, double width, double height);
    std::vector<EQHandle> handles(double width, double height) const;
    // The enabled band whose handle is nearest to the point and at most 24 points away (the earlier
    // band wins a tie).
    static std::optional<std::size_t> bandAt(const EQSettings& settings, EQPoint point, double width, double height);

    // One drag over the curve area: beginDrag at the press, dragTo at every move, endDrag at the
    // release. The first move picks up the band at the start point; every move then sets its
    // frequency from x and, for a band with a gain, its gain from y.
    void beginDrag(EQPoint start);
    void dragTo(EQPoint location, double width, double height);
    void endDrag();
    std::optional<std::size_t> draggedBandIndex() const { return draggedBandIndex_; }

    // The closed shape under the levels, from the bottom-left corner through one point per level to the
    // bottom-right corner; empty with fewer than two levels. Levels that are not numbers count as silence.
    static std::vector<EQPoint> spectrumShape(std::span<const float> levels, double width, double height);
    std::vector<EQPoint> spectrumShape(double width, double height) const;

private:
    void changed() const;
    void moveBand(std::size_t index, EQPoint location, double width, double height);

    DeviceEQ& eq_;
    SpectrumAnalyzer& analyzer_;
    std::optional<EQPoint> dragStart_;
    std::optional<std::size_t> draggedBandIndex_;
    std::vector<AnyCancellable> subscriptions_;
};

}  // namespace velunto

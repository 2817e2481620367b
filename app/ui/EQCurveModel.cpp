#include "app/ui/EQCurveModel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>

#include "app/audio/AppState.h"
#include "app/processing/DeviceEQ.h"
#include "app/processing/SpectrumAnalyzer.h"
#include "app/ui/EQScale.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

namespace {

constexpr std::array<double, 8> kGridFrequencies = {50, 100, 200, 500, 1000, 2000, 5000, 10000};
constexpr std::array<double, 5> kGridLevels = {-12, -6, 0, 6, 12};
constexpr double kMaxDesignFrequency = 23520;  // just below Nyquist, where the formulas degenerate

struct Biquad {
    double b0, b1, b2, a0, a1, a2;
};

Biquad peaking(double cosw, double alpha, double a) {
    return {1 + alpha * a, -2 * cosw, 1 - alpha * a, 1 + alpha / a, -2 * cosw, 1 - alpha / a};
}

Biquad lowShelf(double cosw, double alpha, double a) {
    const double s = 2 * std::sqrt(a) * alpha;
    return {a * ((a + 1) - (a - 1) * cosw + s), 2 * a * ((a - 1) - (a + 1) * cosw), a * ((a + 1) - (a - 1) * cosw - s),
            (a + 1) + (a - 1) * cosw + s,       -2 * ((a - 1) + (a + 1) * cosw),    (a + 1) + (a - 1) * cosw - s};
}

Biquad highShelf(double cosw, double alpha, double a) {
    const double s = 2 * std::sqrt(a) * alpha;
    return {a * ((a + 1) + (a - 1) * cosw + s), -2 * a * ((a - 1) + (a + 1) * cosw), a * ((a + 1) + (a - 1) * cosw - s),
            (a + 1) - (a - 1) * cosw + s,       2 * ((a - 1) - (a + 1) * cosw),      (a + 1) - (a - 1) * cosw - s};
}

Biquad highPass(double cosw, double alpha) {
    return {(1 + cosw) / 2, -(1 + cosw), (1 + cosw) / 2, 1 + alpha, -2 * cosw, 1 - alpha};
}

Biquad lowPass(double cosw, double alpha) {
    return {(1 - cosw) / 2, 1 - cosw, (1 - cosw) / 2, 1 + alpha, -2 * cosw, 1 - alpha};
}

Biquad design(const EQBand& band) {
    const double w0 =
        2 * std::numbers::pi * std::min(band.frequency, kMaxDesignFrequency) / EQCurveModel::kDesignSampleRate;
    const double cosw = std::cos(w0);
    const double sinw = std::sin(w0);
    const double a = std::pow(10.0, band.gain / 40);
    switch (band.type) {
        case EQBandType::bell:
            return peaking(cosw, sinw / (2 * band.q), a);
        case EQBandType::lowShelf:
            return lowShelf(cosw, sinw / 2 * std::numbers::sqrt2, a);
        case EQBandType::highShelf:
            return highShelf(cosw, sinw / 2 * std::numbers::sqrt2, a);
        case EQBandType::lowCut:
            return highPass(cosw, sinw / std::numbers::sqrt2);
        case EQBandType::highCut:
            return lowPass(cosw, sinw / std::numbers::sqrt2);
    }
    return {1, 0, 0, 1, 0, 0};
}

// |c0 + c1 z + c2 z²|² with z = e^(-jw).
double squaredMagnitude(double c0, double c1, double c2, double w) {
    const std::complex<double> z = std::polar(1.0, -w);
    return std::norm(c0 + c1 * z + c2 * z * z);
}

}  // namespace

const EQSettings& EQCurveModel::settings() const {
    return eq_.settings.value();
}

EQCurveModel::EQCurveModel(AppState& state) : eq_(state.deviceEQ()), analyzer_(state.spectrumAnalyzer()) {
    const auto main = DispatchQueue::main();
    eq_.settings.sink(main, [this](const EQSettings&) { changed(); }, {.initial = false}).store(subscriptions_);
    analyzer_.levels.sink(main, [this](const SpectrumAnalyzer::Levels&) { changed(); }, {.initial = false})
        .store(subscriptions_);
}

void EQCurveModel::changed() const {
    if (onChange)
        onChange();
}

double EQCurveModel::xForFrequency(double frequency, double width) {
    return EQScale::position(frequency) * width;
}

double EQCurveModel::yForLevel(double level, double height) {
    const double limited = EQScale::limitGain(level);
    return (1 - (limited - EQScale::kMinGain) / (EQScale::kMaxGain - EQScale::kMinGain)) * height;
}

std::vector<EQGridLine> EQCurveModel::frequencyGrid(double width, double height) {
    std::vector<EQGridLine> lines;
    for (double frequency : kGridFrequencies) {
        const double x = xForFrequency(frequency, width);
        lines.push_back({{x, 0}, {x, height}, EQScale::frequencyText(frequency), {x + kFrequencyLabelOffset, height}});
    }
    return lines;
}

std::vector<EQGridLine> EQCurveModel::levelGrid(double width, double height) {
    std::vector<EQGridLine> lines;
    for (double level : kGridLevels) {
        const double y = yForLevel(level, height);
        lines.push_back({{0, y}, {width, y}, EQScale::gainText(level), {kLevelLabelInset, y}});
    }
    return lines;
}

double EQCurveModel::bandLevel(const EQBand& band, double frequency) {
    const Biquad f = design(band);
    const double w = 2 * std::numbers::pi * frequency / kDesignSampleRate;
    const double n = squaredMagnitude(f.b0, f.b1, f.b2, w);
    const double d = squaredMagnitude(f.a0, f.a1, f.a2, w);
    if (!(n > 0) || !(d > 0))
        return kSilentBandLevel;
    return 10 * std::log10(n / d);
}

double EQCurveModel::totalLevel(const EQSettings& settings, double frequency) {
    if (!settings.isEnabled)
        return 0;
    double total = 0;
    for (const EQBand& band : settings.bands) {
        if (band.isEnabled)
            total += bandLevel(band, frequency);
    }
    return total;
}

std::vector<EQPoint> EQCurveModel::responseCurve(const EQSettings& settings, double width, double height) {
    std::vector<EQPoint> points;
    points.reserve(kCurvePointCount);
    for (std::size_t i = 0; i < kCurvePointCount; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(kCurvePointCount - 1);
        const double frequency = EQScale::kMinFrequency * std::pow(EQScale::kMaxFrequency / EQScale::kMinFrequency, t);
        points.push_back({t * width, yForLevel(totalLevel(settings, frequency), height)});
    }
    return points;
}

std::vector<EQPoint> EQCurveModel::responseCurve(double width, double height) const {
    return responseCurve(eq_.settings.value(), width, height);
}

std::vector<EQHandle> EQCurveModel::handles(const EQSettings& settings, double width, double height) {
    std::vector<EQHandle> result;
    for (std::size_t i = 0; i < settings.bands.size(); ++i) {
        const EQBand& band = settings.bands[i];
        const double level = hasGain(band.type) ? band.gain : 0;
        result.push_back({i,
                          static_cast<int>(i) + 1,
                          {xForFrequency(band.frequency, width), yForLevel(level, height)},
                          band.isEnabled});
    }
    return result;
}

std::vector<EQHandle> EQCurveModel::handles(double width, double height) const {
    return handles(eq_.settings.value(), width, height);
}

std::optional<std::size_t> EQCurveModel::bandAt(const EQSettings& settings, EQPoint point, double width,
                                                double height) {
    std::optional<std::size_t> nearest;
    double nearestDistance = 0;
    for (const EQHandle& handle : handles(settings, width, height)) {
        if (!handle.isEnabled)
            continue;
        const double distance = std::hypot(handle.centre.x - point.x, handle.centre.y - point.y);
        if (distance <= kPickUpRadius && (!nearest || distance < nearestDistance)) {
            nearest = handle.bandIndex;
            nearestDistance = distance;
        }
    }
    return nearest;
}

void EQCurveModel::beginDrag(EQPoint start) {
    dragStart_ = start;
    draggedBandIndex_.reset();
}

void EQCurveModel::dragTo(EQPoint location, double width, double height) {
    if (!(width > 0) || !(height > 0) || !std::isfinite(location.x) || !std::isfinite(location.y))
        return;
    if (!dragStart_)
        dragStart_ = location;
    if (!draggedBandIndex_)
        draggedBandIndex_ = bandAt(eq_.settings.value(), *dragStart_, width, height);
    if (draggedBandIndex_)
        moveBand(*draggedBandIndex_, location, width, height);
}

void EQCurveModel::endDrag() {
    dragStart_.reset();
    draggedBandIndex_.reset();
}

// Frequency and gain are set one after the other, each through DeviceEQ::setSettings.
void EQCurveModel::moveBand(std::size_t index, EQPoint location, double width, double height) {
    EQSettings settings = eq_.settings.value();
    if (index >= settings.bands.size())
        return;
    settings.bands[index].frequency = EQScale::frequencyAt(location.x / width);
    eq_.setSettings(settings);
    if (!hasGain(settings.bands[index].type))
        return;
    settings = eq_.settings.value();
    const double range = EQScale::kMaxGain - EQScale::kMinGain;
    settings.bands[index].gain =
        EQScale::roundToTenth(EQScale::limitGain((1 - location.y / height) * range + EQScale::kMinGain));
    eq_.setSettings(std::move(settings));
}

std::vector<EQPoint> EQCurveModel::spectrumShape(std::span<const float> levels, double width, double height) {
    if (levels.size() < 2)
        return {};
    std::vector<EQPoint> shape;
    shape.reserve(levels.size() + 2);
    shape.push_back({0, height});
    const auto n = static_cast<double>(levels.size());
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const double level = std::isnan(levels[k]) ? kSpectrumFloor : levels[k];
        const double v = std::clamp(1 - level / kSpectrumFloor, 0.0, 1.0);  // 0 at the floor, 1 at 0 dB
        shape.push_back({(static_cast<double>(k) + 0.5) / n * width, (1 - v) * height});
    }
    shape.push_back({width, height});
    return shape;
}

std::vector<EQPoint> EQCurveModel::spectrumShape(double width, double height) const {
    const auto& levels = analyzer_.levels.value();
    return spectrumShape(std::span<const float>(levels.data(), levels.size()), width, height);
}

}  // namespace velunto

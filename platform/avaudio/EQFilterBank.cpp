#include "platform/avaudio/EQFilterBank.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>

namespace velunto {

namespace {

// State below this is inaudible in float output but would decay on into subnormals, which are slow.
constexpr double kFlushBelow = 1e-30;

// 1/Q of a resonant pass or shelf from its bandwidth in octaves (the analog prototype's relation).
double inverseQ(double octaves) {
    return 2.0 * std::sinh(std::numbers::ln2 / 2.0 * octaves);
}

double flushTiny(double value) {
    return std::abs(value) < kFlushBelow ? 0.0 : value;
}

}  // namespace

// ---- Ramps

void EQFilterBank::Ramp::moveTo(double value, UInt32 length) {
    if (value == target) {
        return;
    }
    target = value;
    framesLeft = length;
    step = (target - current) / static_cast<double>(length);
}

void EQFilterBank::Ramp::advance(UInt32 frames) {
    if (frames >= framesLeft) {
        snap();
    } else {
        current += step * static_cast<double>(frames);
        framesLeft -= frames;
    }
}

void EQFilterBank::Ramp::snap() {
    current = target;
    step = 0.0;
    framesLeft = 0;
}

EQFilterBank::Biquad EQFilterBank::CoefficientRamp::at(UInt32 i) const {
    if (i + 1 >= framesLeft) {
        return target;
    }
    const double t = static_cast<double>(i + 1);
    return {current.b0 + step.b0 * t, current.b1 + step.b1 * t, current.b2 + step.b2 * t, current.a1 + step.a1 * t,
            current.a2 + step.a2 * t};
}

void EQFilterBank::CoefficientRamp::moveTo(const Biquad& value, UInt32 length) {
    if (value == target) {
        return;
    }
    target = value;
    framesLeft = length;
    const double n = static_cast<double>(length);
    step = {(target.b0 - current.b0) / n, (target.b1 - current.b1) / n, (target.b2 - current.b2) / n,
            (target.a1 - current.a1) / n, (target.a2 - current.a2) / n};
}

void EQFilterBank::CoefficientRamp::advance(UInt32 frames) {
    if (frames >= framesLeft) {
        snap();
    } else {
        current = at(frames - 1);
        framesLeft -= frames;
    }
}

void EQFilterBank::CoefficientRamp::snap() {
    current = target;
    step = {0.0, 0.0, 0.0, 0.0, 0.0};
    framesLeft = 0;
}

// ---- Design (RBJ Audio EQ Cookbook)

EQFilterBank::Biquad EQFilterBank::design(const EQBandParameters& p, double sampleRate) {
    const double highest = kMaxFrequencyRatio * sampleRate;
    const double f0 = std::clamp(static_cast<double>(p.frequency), std::min(kMinFrequency, highest), highest);
    const double w0 = 2.0 * std::numbers::pi * f0 / sampleRate;
    const double cosW = std::cos(w0);
    const double sinW = std::sin(w0);
    const double bandwidth = p.bandwidth;
    const double A = std::pow(10.0, p.gain / 40.0);
    const double bandwidthAlpha = sinW * std::sinh(std::numbers::ln2 / 2.0 * bandwidth * w0 / sinW);
    const double butterworthAlpha = sinW / std::numbers::sqrt2;  // sin(w0) / (2 Q), Q = 1/sqrt(2)
    const double resonantAlpha = sinW / 2.0 * inverseQ(bandwidth);

    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a0 = 1.0, a1 = 0.0, a2 = 0.0;
    const auto pass = [&](double alpha, bool low) {
        const double side = low ? (1.0 - cosW) / 2.0 : (1.0 + cosW) / 2.0;
        b0 = side;
        b1 = low ? 2.0 * side : -2.0 * side;
        b2 = side;
        a0 = 1.0 + alpha;
        a1 = -2.0 * cosW;
        a2 = 1.0 - alpha;
    };
    const auto shelf = [&](double alpha, bool low) {
        const double s = low ? 1.0 : -1.0;  // -1 turns the low shelf's terms into the high shelf's
        const double root = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) - s * (A - 1.0) * cosW + root);
        b1 = s * 2.0 * A * ((A - 1.0) - s * (A + 1.0) * cosW);
        b2 = A * ((A + 1.0) - s * (A - 1.0) * cosW - root);
        a0 = (A + 1.0) + s * (A - 1.0) * cosW + root;
        a1 = -s * 2.0 * ((A - 1.0) + s * (A + 1.0) * cosW);
        a2 = (A + 1.0) + s * (A - 1.0) * cosW - root;
    };

    switch (p.filterType) {
        case EQFilterType::lowPass:
            pass(butterworthAlpha, true);
            break;
        case EQFilterType::highPass:
            pass(butterworthAlpha, false);
            break;
        case EQFilterType::resonantLowPass:
            pass(resonantAlpha, true);
            break;
        case EQFilterType::resonantHighPass:
            pass(resonantAlpha, false);
            break;
        case EQFilterType::bandPass:
            b0 = bandwidthAlpha;
            b1 = 0.0;
            b2 = -bandwidthAlpha;
            a0 = 1.0 + bandwidthAlpha;
            a1 = -2.0 * cosW;
            a2 = 1.0 - bandwidthAlpha;
            break;
        case EQFilterType::bandStop:
            b0 = 1.0;
            b1 = -2.0 * cosW;
            b2 = 1.0;
            a0 = 1.0 + bandwidthAlpha;
            a1 = -2.0 * cosW;
            a2 = 1.0 - bandwidthAlpha;
            break;
        case EQFilterType::lowShelf:
            shelf(butterworthAlpha, true);  // S = 1 gives alpha = sin(w0) / sqrt(2)
            break;
        case EQFilterType::highShelf:
            shelf(butterworthAlpha, false);
            break;
        case EQFilterType::resonantLowShelf:
            shelf(resonantAlpha, true);
            break;
        case EQFilterType::resonantHighShelf:
            shelf(resonantAlpha, false);
            break;
        case EQFilterType::parametric:
        default:
            b0 = 1.0 + bandwidthAlpha * A;
            b1 = -2.0 * cosW;
            b2 = 1.0 - bandwidthAlpha * A;
            a0 = 1.0 + bandwidthAlpha / A;
            a1 = -2.0 * cosW;
            a2 = 1.0 - bandwidthAlpha / A;
            break;
    }
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

// ---- Control side

EQFilterBank::EQFilterBank(std::size_t bandCount)
    : bandCount_(bandCount), parameters_(bandCount), targets_(bandCount), ramps_(bandCount) {
    for (Snapshot& slot : slots_) {
        slot.bands.resize(bandCount);
    }
    std::lock_guard lock(mutex_);
    for (std::size_t b = 0; b < bandCount_; ++b) {
        redesign(b);
    }
    publish();
    takeSnapshot();
    snapRamps();
}

void EQFilterBank::checkBand(std::size_t band) const {
    if (band >= bandCount_) {
        throw std::out_of_range("EQ band index out of range");
    }
}

void EQFilterBank::redesign(std::size_t band) {
    targets_[band].coefficients = design(parameters_[band], sampleRate_);
    targets_[band].active = !parameters_[band].bypass;
}

// Fills the writer's slot and swaps it into the middle, marked fresh.
void EQFilterBank::publish() {
    Snapshot& slot = slots_[back_];
    std::copy(targets_.begin(), targets_.end(), slot.bands.begin());
    slot.globalGain = std::pow(10.0, globalGainDB_ / 20.0);
    slot.active = !globalBypass_;
    back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndexMask;
}

void EQFilterBank::store(std::size_t band, const EQBandParameters& parameters) {
    EQBandParameters& stored = parameters_[band];
    const EQBandParameters before = stored;
    stored.filterType = parameters.filterType;
    stored.bypass = parameters.bypass;
    if (std::isfinite(parameters.frequency) && parameters.frequency > 0.0f) {
        stored.frequency = parameters.frequency;
    }
    if (std::isfinite(parameters.gain)) {
        stored.gain = std::clamp(parameters.gain, kMinGain, kMaxGain);
    }
    if (std::isfinite(parameters.bandwidth)) {
        stored.bandwidth = std::clamp(parameters.bandwidth, kMinBandwidth, kMaxBandwidth);
    }
    if (stored != before) {
        redesign(band);
        publish();
    }
}

void EQFilterBank::setBand(std::size_t band, const EQBandParameters& parameters) {
    std::lock_guard lock(mutex_);
    checkBand(band);
    store(band, parameters);
}

EQBandParameters EQFilterBank::band(std::size_t band) const {
    std::lock_guard lock(mutex_);
    checkBand(band);
    return parameters_[band];
}

void EQFilterBank::setFilterType(std::size_t band, EQFilterType type) {
    modifyBand(band, [type](EQBandParameters& p) { p.filterType = type; });
}

void EQFilterBank::setFrequency(std::size_t band, float hertz) {
    modifyBand(band, [hertz](EQBandParameters& p) { p.frequency = hertz; });
}

void EQFilterBank::setGain(std::size_t band, float decibels) {
    modifyBand(band, [decibels](EQBandParameters& p) { p.gain = decibels; });
}

void EQFilterBank::setBandwidth(std::size_t band, float octaves) {
    modifyBand(band, [octaves](EQBandParameters& p) { p.bandwidth = octaves; });
}

void EQFilterBank::setBypass(std::size_t band, bool bypass) {
    modifyBand(band, [bypass](EQBandParameters& p) { p.bypass = bypass; });
}

void EQFilterBank::setGlobalGain(float decibels) {
    if (!std::isfinite(decibels)) {
        return;
    }
    std::lock_guard lock(mutex_);
    const float clamped = std::clamp(decibels, kMinGain, kMaxGain);
    if (clamped != globalGainDB_) {
        globalGainDB_ = clamped;
        publish();
    }
}

float EQFilterBank::globalGain() const {
    std::lock_guard lock(mutex_);
    return globalGainDB_;
}

void EQFilterBank::setGlobalBypass(bool bypass) {
    std::lock_guard lock(mutex_);
    if (bypass != globalBypass_) {
        globalBypass_ = bypass;
        publish();
    }
}

bool EQFilterBank::globalBypass() const {
    std::lock_guard lock(mutex_);
    return globalBypass_;
}

void EQFilterBank::prepare(double sampleRate, UInt32 channels, UInt32 maxFrames) {
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate) || channels == 0 || maxFrames == 0) {
        throw std::invalid_argument("EQ needs a positive sample rate, channel count and slice size");
    }
    std::lock_guard lock(mutex_);
    sampleRate_ = sampleRate;
    for (std::size_t b = 0; b < bandCount_; ++b) {
        redesign(b);
    }
    publish();
    takeSnapshot();
    snapRamps();
    channels_ = channels;
    maxFrames_ = maxFrames;
    rampFrames_ = std::max<UInt32>(1, static_cast<UInt32>(std::lround(kSmoothingSeconds * sampleRate)));
    states_.assign(std::size_t{channels} * bandCount_, FilterState{});
    dry_.assign(maxFrames, 0.0f);
    resetRequested_.store(false, std::memory_order_relaxed);
}

double EQFilterBank::sampleRate() const {
    std::lock_guard lock(mutex_);
    return sampleRate_;
}

void EQFilterBank::reset() {
    resetRequested_.store(true, std::memory_order_release);
}

double EQFilterBank::magnitudeResponseDB(double frequencyHz) const {
    std::lock_guard lock(mutex_);
    if (globalBypass_) {
        return 0.0;
    }
    const double w = 2.0 * std::numbers::pi * frequencyHz / sampleRate_;
    const std::complex<double> z1 = std::polar(1.0, -w);  // z^-1 on the unit circle
    const std::complex<double> z2 = z1 * z1;
    double decibels = globalGainDB_;
    for (const BandTarget& target : targets_) {
        if (target.active) {
            const Biquad& c = target.coefficients;
            const std::complex<double> h = (c.b0 + c.b1 * z1 + c.b2 * z2) / (1.0 + c.a1 * z1 + c.a2 * z2);
            decibels += 20.0 * std::log10(std::abs(h));
        }
    }
    return decibels;
}

// ---- Audio side

// Takes the newest published set, if any, and starts the ramps towards it.
void EQFilterBank::takeSnapshot() {
    if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) {
        return;
    }
    front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndexMask;
    const Snapshot& snapshot = slots_[front_];
    for (std::size_t b = 0; b < bandCount_; ++b) {
        BandRamps& band = ramps_[b];
        band.coefficients.moveTo(snapshot.bands[b].coefficients, rampFrames_);
        if (band.mix.settled() && band.mix.current == 0.0) {
            band.coefficients.snap();  // not heard yet: it fades in with its new shape
        }
        band.mix.moveTo(snapshot.bands[b].active ? 1.0 : 0.0, rampFrames_);
    }
    globalGainRamp_.moveTo(snapshot.globalGain, rampFrames_);
    globalMix_.moveTo(snapshot.active ? 1.0 : 0.0, rampFrames_);
}

void EQFilterBank::snapRamps() {
    for (BandRamps& band : ramps_) {
        band.coefficients.snap();
        band.mix.snap();
    }
    globalGainRamp_.snap();
    globalMix_.snap();
}

// A band that is not filtering keeps its input as both input and output history, which is what it
// has passed on; when it fades back in, its recursion continues from the signal it is joined to.
void EQFilterBank::carryHistory(FilterState& state, const float* samples, UInt32 frames) {
    if (frames >= 2) {
        state.x2 = samples[frames - 2];
        state.x1 = samples[frames - 1];
    } else if (frames == 1) {
        state.x2 = state.x1;
        state.x1 = samples[0];
    }
    state.y1 = state.x1;
    state.y2 = state.x2;
}

void EQFilterBank::runBand(const BandRamps& ramps, FilterState& state, float* samples, UInt32 frames) {
    double x1 = state.x1, x2 = state.x2, y1 = state.y1, y2 = state.y2;
    if (ramps.coefficients.settled() && ramps.mix.settled()) {
        const Biquad& c = ramps.coefficients.current;
        for (UInt32 i = 0; i < frames; ++i) {
            const double x = samples[i];
            const double y = c.b0 * x + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            samples[i] = static_cast<float>(y);
        }
    } else {
        for (UInt32 i = 0; i < frames; ++i) {
            const Biquad c = ramps.coefficients.at(i);
            const double mix = ramps.mix.at(i);
            const double x = samples[i];
            const double y = c.b0 * x + c.b1 * x1 + c.b2 * x2 - c.a1 * y1 - c.a2 * y2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            samples[i] = static_cast<float>(x + mix * (y - x));
        }
    }
    state = {x1, x2, flushTiny(y1), flushTiny(y2)};
}

void EQFilterBank::process(float* const* channels, UInt32 frames) {
    if (channels_ == 0) {
        return;
    }
    if (resetRequested_.load(std::memory_order_relaxed) && resetRequested_.exchange(false, std::memory_order_acquire)) {
        std::fill(states_.begin(), states_.end(), FilterState{});
        takeSnapshot();
        snapRamps();
    }
    takeSnapshot();
    for (UInt32 done = 0; done < frames;) {
        const UInt32 slice = std::min(frames - done, maxFrames_);
        processSlice(channels, done, slice);
        done += slice;
    }
}

void EQFilterBank::processSlice(float* const* channels, UInt32 offset, UInt32 frames) {
    if (globalMix_.settled() && globalMix_.current == 0.0) {
        // Bypassed: nothing is heard of the bands, so their changes apply at once.
        for (UInt32 ch = 0; ch < channels_; ++ch) {
            for (std::size_t b = 0; b < bandCount_; ++b) {
                carryHistory(states_[ch * bandCount_ + b], channels[ch] + offset, frames);
            }
        }
        snapRamps();
        return;
    }

    for (UInt32 ch = 0; ch < channels_; ++ch) {
        float* samples = channels[ch] + offset;
        if (!globalMix_.settled()) {
            std::copy(samples, samples + frames, dry_.begin());
        }
        for (std::size_t b = 0; b < bandCount_; ++b) {
            const BandRamps& band = ramps_[b];
            FilterState& state = states_[ch * bandCount_ + b];
            if (band.mix.settled() && band.mix.current == 0.0) {
                carryHistory(state, samples, frames);
            } else {
                runBand(band, state, samples, frames);
            }
        }
        if (globalGainRamp_.settled() && globalMix_.settled()) {
            const double gain = globalGainRamp_.current;
            if (gain != 1.0) {
                for (UInt32 i = 0; i < frames; ++i) {
                    samples[i] = static_cast<float>(samples[i] * gain);
                }
            }
        } else {
            for (UInt32 i = 0; i < frames; ++i) {
                const double wet = samples[i] * globalGainRamp_.at(i);
                const double dry = globalMix_.settled() ? wet : dry_[i];
                samples[i] = static_cast<float>(dry + globalMix_.at(i) * (wet - dry));
            }
        }
    }

    for (BandRamps& band : ramps_) {
        band.coefficients.advance(frames);
        band.mix.advance(frames);
        if (band.mix.settled() && band.mix.current == 0.0) {
            band.coefficients.snap();
        }
    }
    globalGainRamp_.advance(frames);
    globalMix_.advance(frames);
}

}  // namespace velunto

#include "app/processing/SpectrumAnalyzer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "app/processing/FFTWPlanner.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTime.h"
#include "platform/dispatch/Weakly.h"
#include "platform/foundation/FatalError.h"

namespace velunto {

namespace {

// Ratio of a band's edges to its centre: half of one of the 160 steps from 20 Hz to 20 kHz.
const double kEdgeRatio = std::pow(1000.0, 1.0 / 320.0);
// 120 dB above full scale: far beyond any real signal, far from overflowing the transform.
constexpr float kSampleLimit = 1e6f;

}  // namespace

std::shared_ptr<SpectrumAnalyzer> SpectrumAnalyzer::make() {
    return std::shared_ptr<SpectrumAnalyzer>(new SpectrumAnalyzer());
}

SpectrumAnalyzer::Levels SpectrumAnalyzer::restingLevels() {
    Levels rest;
    rest.fill(kFloor);
    return rest;
}

SpectrumAnalyzer::SpectrumAnalyzer() {
    ringBuffer_ = RingBufferCreate(kRingCapacity);
    if (!ringBuffer_)
        fatalError("Analyse-Ringpuffer konnte nicht angelegt werden.");

    const std::size_t floats = 3 * kFFTSize + kRingCapacity + kBinCount;
    window_ = fftwf_alloc_real(floats);
    spectrum_ = fftwf_alloc_complex(kBinCount + 1);
    if (window_ && spectrum_) {
        std::fill_n(window_, floats, 0.0f);
        history_ = window_ + kFFTSize;
        windowed_ = history_ + kFFTSize;
        readScratch_ = windowed_ + kFFTSize;
        magnitudes_ = readScratch_ + kRingCapacity;
        // Estimated, not measured: measuring takes about 200 ms of the application's start for a
        // transform that would run 10 % faster (2.5 instead of 2.7 µs, 30 times a second).
        fftSetup_ = FFTWPlanner::planRealForward(static_cast<int>(kFFTSize), windowed_, spectrum_, FFTW_ESTIMATE);
    }
    if (!fftSetup_)
        fatalError("FFT-Setup konnte nicht angelegt werden.");

    for (std::size_t n = 0; n < kFFTSize; ++n)
        window_[n] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * n / kFFTSize)));
    for (std::size_t i = 0; i < kBandCount; ++i) {
        const double center = 20.0 * std::pow(1000.0, (i + 0.5) / kBandCount);
        binCenters_[i] = static_cast<float>(center);
        binTilts_[i] = static_cast<float>(3.0 * std::log2(center / 1000.0));
        spans_[i] = bandSpan(binCenters_[i]);
    }
}

SpectrumAnalyzer::~SpectrumAnalyzer() {
    if (timer_)
        timer_->cancel();
    FFTWPlanner::destroy(fftSetup_);
    fftwf_free(spectrum_);
    fftwf_free(window_);
    RingBufferFree(ringBuffer_);
}

void SpectrumAnalyzer::addClient() {
    ++clientCount_;
    if (timer_)
        return;
    while (RingBufferRead(ringBuffer_, readScratch_, kRingCapacity) > 0) {
    }
    std::fill_n(history_, kFFTSize, 0.0f);
    timer_ = DispatchSourceTimer::make(DispatchQueue::main());
    timer_->schedule(DispatchTime::now() + kUpdateInterval, kUpdateInterval);
    timer_->setEventHandler(weakly(shared_from_this(), [](SpectrumAnalyzer& analyzer) { analyzer.tick(); }));
    timer_->resume();
}

void SpectrumAnalyzer::removeClient() {
    clientCount_ = std::max(clientCount_ - 1, 0);
    if (clientCount_ > 0)
        return;
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    levels.set(restingLevels());
}

void SpectrumAnalyzer::tick() {
    const auto n = static_cast<std::size_t>(RingBufferRead(ringBuffer_, readScratch_, kRingCapacity));
    // A sample that is not a number, or absurdly large, would spread through the whole transform.
    for (std::size_t i = 0; i < n; ++i)
        readScratch_[i] =
            std::isfinite(readScratch_[i]) ? std::clamp(readScratch_[i], -kSampleLimit, kSampleLimit) : 0.0f;
    if (n == 0) {
        std::fill_n(history_, kFFTSize, 0.0f);
    } else if (n >= kFFTSize) {
        std::memcpy(history_, readScratch_ + (n - kFFTSize), kFFTSize * sizeof(float));
    } else {
        std::memmove(history_, history_ + n, (kFFTSize - n) * sizeof(float));
        std::memcpy(history_ + (kFFTSize - n), readScratch_, n * sizeof(float));
    }

    computeSpectrum();

    Levels next = levels.value();
    for (std::size_t i = 0; i < kBandCount; ++i) {
        const float value = level(spans_[i]) + binTilts_[i];
        next[i] = std::max(std::max(value, next[i] - kFallOff), kFloor);
    }
    levels.set(next);
}

void SpectrumAnalyzer::computeSpectrum() {
    for (std::size_t n = 0; n < kFFTSize; ++n)
        windowed_[n] = history_[n] * window_[n];
    fftwf_execute(fftSetup_);
    // FFTW gives the plain transform (bin 0's imaginary part is zero, the Nyquist bin is not used).
    // Twice its magnitude over the window's sum (4096 x 0.5) reads 1.0 for a full-scale sine
    // centred on a bin.
    constexpr float scale = 2.0f / (kFFTSize / 2);
    const float* bins = spectrum_[0];
    float* magnitudes = magnitudes_;
    for (std::size_t k = 0; k < kBinCount; ++k) {
        const float re = bins[2 * k];
        const float im = bins[2 * k + 1];
        magnitudes[k] = std::sqrt(re * re + im * im) * scale;
    }
}

SpectrumAnalyzer::BandSpan SpectrumAnalyzer::bandSpan(float centerHz) {
    const double lo = centerHz / kEdgeRatio / kBinWidth;
    const double hi = centerHz * kEdgeRatio / kBinWidth;
    BandSpan span;
    if (std::floor(hi) - std::floor(lo) > 0) {
        span.first = std::max<std::size_t>(static_cast<std::size_t>(std::ceil(lo)), 1);
        span.last = std::min<std::size_t>(static_cast<std::size_t>(std::floor(hi)), kBinCount - 1);
    } else {
        const double x = centerHz / kBinWidth;
        span.interpolated = true;
        span.first = std::min<std::size_t>(static_cast<std::size_t>(std::floor(x)), kBinCount - 2);
        span.fraction = static_cast<float>(x - static_cast<double>(span.first));
    }
    return span;
}

float SpectrumAnalyzer::level(const BandSpan& span) const {
    const float value = span.interpolated ? (1.0f - span.fraction) * magnitudes_[span.first] +
                                                span.fraction * magnitudes_[span.first + 1]
                                          : *std::max_element(magnitudes_ + span.first, magnitudes_ + span.last + 1);
    return 20.0f * std::log10(std::max(value, 1e-9f));
}

float SpectrumAnalyzer::bandLevel(float centerHz) const {
    return level(bandSpan(centerHz));
}

}  // namespace velunto

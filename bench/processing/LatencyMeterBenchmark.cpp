// The latency meter's background analysis, and its FFT cross-correlation against the direct sum it
// replaces (run over 1/100 of the lags and extrapolated: the full sum takes seconds).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "app/processing/LatencyMeter.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"

namespace {

using velunto::LatencyMeter;

constexpr std::size_t kFrames = 192000;
constexpr std::uint32_t kLags = LatencyMeter::kTailFrames;

std::vector<float> voice(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> distribution(0.0f, 0.1f);
    std::vector<float> s(count);
    for (float& v : s)
        v = distribution(generator);
    return s;
}

std::vector<float> delayedCopy(const std::vector<float>& x, std::size_t delay) {
    std::vector<float> y(x.size() + kLags, 0.0f);
    std::copy(x.begin(), x.end() - static_cast<std::ptrdiff_t>(delay), y.begin() + static_cast<std::ptrdiff_t>(delay));
    return y;
}

// Two offline renders of 206400 frames through a 1000-sample delay and two correlations over 14401 lags.
void BM_FullAnalysis(benchmark::State& state) {
    velunto::registerSimulatedEffects();
    auto unit = velunto::AVAudioUnit::make(velunto::SimulatedDelayEffect::kDescription);
    unit->unit().setParameterValue(velunto::SimulatedDelayEffect::kDelayFrames, 1000);
    const auto x = voice(kFrames, 1);
    for (auto _ : state) {
        const auto active = LatencyMeter::offlineRender(unit, x, kLags, 512, false);
        benchmark::DoNotOptimize(LatencyMeter::findLag(x, active, kLags));
        unit->reset();
        const auto bypassed = LatencyMeter::offlineRender(unit, x, kLags, 512, true);
        benchmark::DoNotOptimize(LatencyMeter::findLag(x, bypassed, kLags));
    }
}
BENCHMARK(BM_FullAnalysis)->Unit(benchmark::kMillisecond);

void BM_CorrelationFFT(benchmark::State& state) {
    const auto x = voice(kFrames, 2);
    const auto y = delayedCopy(x, 4321);
    for (auto _ : state)
        benchmark::DoNotOptimize(LatencyMeter::findLag(x, y, kLags));
}
BENCHMARK(BM_CorrelationFFT)->Unit(benchmark::kMillisecond);

// The direct sum over 144 of the 14401 lags; multiply by 100 for the whole search.
void BM_CorrelationDirectSumHundredth(benchmark::State& state) {
    const auto x = voice(kFrames, 2);
    const auto y = delayedCopy(x, 4321);
    for (auto _ : state) {
        float best = 0;
        for (std::uint32_t k = 0; k < kLags / 100; ++k) {
            float r = 0;
            for (std::size_t n = 0; n < kFrames; ++n)
                r += y[k + n] * x[n];
            best = std::max(best, std::abs(r));
        }
        benchmark::DoNotOptimize(best);
    }
}
BENCHMARK(BM_CorrelationDirectSumHundredth)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

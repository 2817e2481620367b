// One analyser update (ring read, window, transform, magnitudes, 160 bands) against the bare FFTW
// 4096-point real transform it contains.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "app/processing/FFTWPlanner.h"
#include "app/processing/SpectrumAnalyzer.h"

namespace {

using velunto::SpectrumAnalyzer;

constexpr std::size_t kPerUpdate = 1600;  // 48000 Hz / 30 updates per second

std::vector<float> voice(std::size_t count) {
    std::vector<float> s(count);
    for (std::size_t n = 0; n < count; ++n)
        s[n] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 180 * n / 48000.0) +
                                  0.1 * std::sin(2 * std::numbers::pi * 2300 * n / 48000.0));
    return s;
}

void BM_BareFFTWRealTransform4096(benchmark::State& state) {
    float* in = fftwf_alloc_real(4096);
    fftwf_complex* out = fftwf_alloc_complex(2049);
    fftwf_plan plan = velunto::FFTWPlanner::planRealForward(4096, in, out);
    const auto signal = voice(4096);
    std::copy(signal.begin(), signal.end(), in);
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    velunto::FFTWPlanner::destroy(plan);
    fftwf_free(out);
    fftwf_free(in);
}
BENCHMARK(BM_BareFFTWRealTransform4096);

// Includes the capture side's write of one update's worth of samples into the ring.
void BM_AnalyzerUpdate(benchmark::State& state) {
    auto analyzer = SpectrumAnalyzer::make();
    const auto block = voice(kPerUpdate);
    for (auto _ : state) {
        RingBufferWrite(analyzer->ringBuffer(), block.data(), block.size());
        analyzer->tick();
        benchmark::DoNotOptimize(analyzer->levels.value().data());
    }
}
BENCHMARK(BM_AnalyzerUpdate);

}  // namespace

BENCHMARK_MAIN();

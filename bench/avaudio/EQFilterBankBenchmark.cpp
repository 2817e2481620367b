// The EQ's DSP core at 48 kHz in 512-frame blocks of noise. band_samples_per_s counts one sample
// through one band (frames x channels x bands per second of CPU), so the 1- and 5-band figures can be
// compared directly; audio_seconds_per_s is how many times faster than real time the whole block runs.
// ParameterChange is the cost of one setter call on the control thread; ProcessWhileRamping runs every
// block with a fresh ramp in progress (one setter call per block included).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/avaudio/EQFilterBank.h"

namespace {

using velunto::EQBandParameters;
using velunto::EQFilterBank;
using velunto::EQFilterType;

constexpr double kRate = 48000.0;
constexpr UInt32 kBlock = 512;

void configure(EQFilterBank& eq, std::size_t bands) {
    const EQFilterType types[] = {EQFilterType::highPass, EQFilterType::parametric, EQFilterType::parametric,
                                  EQFilterType::parametric, EQFilterType::highShelf};
    const float frequencies[] = {80.0f, 250.0f, 1000.0f, 3500.0f, 10000.0f};
    for (std::size_t b = 0; b < bands; ++b) {
        eq.setBand(b, EQBandParameters{types[b % 5], frequencies[b % 5], 3.0f, 1.39f, false});
    }
}

std::vector<float> noise(std::size_t count) {
    std::mt19937 random(1);
    std::uniform_real_distribution<float> sample(-0.5f, 0.5f);
    std::vector<float> samples(count);
    std::generate(samples.begin(), samples.end(), [&] { return sample(random); });
    return samples;
}

void reportRates(benchmark::State& state, std::size_t bands, UInt32 channels) {
    const double frames = static_cast<double>(state.iterations()) * kBlock;
    state.counters["band_samples_per_s"] =
        benchmark::Counter(frames * channels * static_cast<double>(bands), benchmark::Counter::kIsRate);
    state.counters["audio_seconds_per_s"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
}

// Args: bands, channels.
void BM_Process(benchmark::State& state) {
    const auto bands = static_cast<std::size_t>(state.range(0));
    const auto channels = static_cast<UInt32>(state.range(1));
    EQFilterBank eq(bands);
    eq.prepare(kRate, channels, kBlock);
    configure(eq, bands);
    const std::vector<float> source = noise(kBlock);
    std::vector<std::vector<float>> buffers(channels, source);
    std::vector<float*> pointers;
    for (auto& buffer : buffers) {
        pointers.push_back(buffer.data());
    }
    for (auto _ : state) {
        for (auto& buffer : buffers) {
            std::copy(source.begin(), source.end(), buffer.begin());
        }
        eq.process(pointers.data(), kBlock);
        benchmark::DoNotOptimize(buffers.front().data());
    }
    reportRates(state, bands, channels);
}
BENCHMARK(BM_Process)->Args({1, 1})->Args({5, 1})->Args({5, 2});

void BM_ProcessWhileRamping(benchmark::State& state) {
    EQFilterBank eq(5);
    eq.prepare(kRate, 1, kBlock);
    configure(eq, 5);
    const std::vector<float> source = noise(kBlock);
    std::vector<float> buffer = source;
    float* channel = buffer.data();
    std::size_t turn = 0;
    for (auto _ : state) {
        eq.setGain(turn % 5, (turn % 2 == 0) ? 6.0f : -6.0f);
        ++turn;
        std::copy(source.begin(), source.end(), buffer.begin());
        eq.process(&channel, kBlock);
        benchmark::DoNotOptimize(buffer.data());
    }
    reportRates(state, 5, 1);
}
BENCHMARK(BM_ProcessWhileRamping);

void BM_ParameterChange(benchmark::State& state) {
    EQFilterBank eq(5);
    eq.prepare(kRate, 1, kBlock);
    configure(eq, 5);
    float frequency = 1000.0f;
    for (auto _ : state) {
        frequency = frequency == 1000.0f ? 1100.0f : 1000.0f;
        eq.setFrequency(2, frequency);
    }
}
BENCHMARK(BM_ParameterChange);

// One point of an editor's response curve, five bands.
void BM_MagnitudeResponse(benchmark::State& state) {
    EQFilterBank eq(5);
    eq.prepare(kRate, 1, kBlock);
    configure(eq, 5);
    double frequency = 20.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(eq.magnitudeResponseDB(frequency));
        frequency = frequency > 20000.0 ? 20.0 : frequency * 1.03;
    }
}
BENCHMARK(BM_MagnitudeResponse);

}  // namespace

BENCHMARK_MAIN();

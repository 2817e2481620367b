// One second of stereo audio through the output converter as the device's I/O thread drives it
// (512-frame cycles, the client rendering a 48 kHz non-interleaved sine): 48 -> 44.1 kHz and, for
// comparison, 48 -> 48 kHz. As the peer baseline, libsoxr with the converter's recipe resampling the
// same second in one block. Time per iteration is the cost of one second of audio; core_pct is the
// CPU time of that as a percentage of one core.
#include <benchmark/benchmark.h>
#include <soxr.h>

#include <array>
#include <cmath>
#include <ctime>
#include <numbers>
#include <vector>

#include "platform/audiounit/OutputConverter.h"

namespace {

constexpr UInt32 kCycle = 512;

// 1 kHz at 48 kHz repeats every 48 frames.
const std::array<float, 48> kSine = [] {
    std::array<float, 48> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * static_cast<double>(i) / 48.0));
    }
    return table;
}();

OSStatus renderSine(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32, UInt32 frames,
                    AudioBufferList* data) {
    const auto start = static_cast<std::size_t>(time->mSampleTime);
    for (UInt32 b = 0; b < data->mNumberBuffers; ++b) {
        auto* out = static_cast<float*>(data->mBuffers[b].mData);
        for (UInt32 f = 0; f < frames; ++f) {
            out[f] = kSine[(start + f) % kSine.size()];
        }
    }
    return noErr;
}

double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU seconds per iteration (one second of audio), as a percentage.
void reportShareOfCore(benchmark::State& state, double cpuSeconds) {
    state.counters["core_pct"] = 100.0 * cpuSeconds / static_cast<double>(state.iterations());
}

void convertOneSecond(benchmark::State& state, double deviceRate) {
    const velunto::OutputConverterFormat format{48000, 2, false, deviceRate, 2, 4096, kCycle};
    auto converter = velunto::OutputConverter::create(format);
    if (!converter) {
        state.SkipWithError("converter refused the format");
        return;
    }
    converter->setRenderCallback({&renderSine, nullptr});
    std::vector<float> device(2 * kCycle);
    AudioBufferList list{1, {{2, static_cast<UInt32>(device.size() * sizeof(float)), device.data()}}};
    const auto perSecond = static_cast<UInt32>(deviceRate);
    UInt64 hostTime = 0;
    const double cpuStart = threadSeconds();
    for (auto _ : state) {
        for (UInt32 done = 0; done < perSecond; done += kCycle) {
            const UInt32 frames = std::min(kCycle, perSecond - done);
            converter->render(frames, ++hostTime, &list);
        }
        benchmark::DoNotOptimize(device.data());
        benchmark::ClobberMemory();
    }
    reportShareOfCore(state, threadSeconds() - cpuStart);
    state.counters["lookahead_ms"] = 1000.0 * converter->latencyFrames() / deviceRate;
}

void BM_ConverterResample48to44(benchmark::State& state) {
    convertOneSecond(state, 44100);
}
BENCHMARK(BM_ConverterResample48to44)->Unit(benchmark::kMicrosecond);

void BM_ConverterSameRate48(benchmark::State& state) {
    convertOneSecond(state, 48000);
}
BENCHMARK(BM_ConverterSameRate48)->Unit(benchmark::kMicrosecond);

// libsoxr alone: the converter's recipe, the whole second interleaved in one soxr_process call.
void BM_SoxrOneBlock48to44(benchmark::State& state) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, SOXR_LINEAR_PHASE);
    quality.passband_end = 0.85;
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_t resampler = soxr_create(48000, 44100, 2, nullptr, &io, &quality, &runtime);
    std::vector<float> input(2 * 48000);
    for (std::size_t f = 0; f < 48000; ++f) {
        input[2 * f] = input[2 * f + 1] = kSine[f % kSine.size()];
    }
    std::vector<float> output(2 * 48000);
    const double cpuStart = threadSeconds();
    for (auto _ : state) {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        soxr_process(resampler, input.data(), 48000, &consumed, output.data(), 48000, &produced);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    reportShareOfCore(state, threadSeconds() - cpuStart);
    soxr_delete(resampler);
}
BENCHMARK(BM_SoxrOneBlock48to44)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

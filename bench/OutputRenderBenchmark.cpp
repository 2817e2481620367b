// Cost of the output render callback for 512 frames on two channels, with the ring's fill inside,
// above and below the band. Each iteration writes back what the callback consumed, so the fill stays
// where it started; the baseline does the same write plus one plain ring read and two memcpy's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "app/audio/OutputRenderContext.h"
#include "platform/coreaudio/AudioBufferListStorage.h"

using namespace velunto;

namespace {

constexpr UInt32 kFrames = 512;

struct Fixture {
    explicit Fixture(std::uint64_t fill) : ring(RingBufferCreate(16384)), scratch(4096), refill(kFrames + 1, 0.25f) {
        context.ringBuffer = ring;
        context.scratch = scratch.data();
        std::vector<float> initial(fill, 0.5f);
        RingBufferWrite(ring, initial.data(), fill);
        buffers.reshape({1, 1}, kFrames);
    }
    ~Fixture() { RingBufferFree(ring); }

    RingBuffer* ring;
    std::vector<float> scratch;
    std::vector<float> refill;
    OutputRenderContext context;
    AudioBufferListStorage buffers;
};

void renderAt(benchmark::State& state, std::uint64_t fill, std::uint64_t consumed) {
    Fixture f(fill);
    for (auto _ : state) {
        RingBufferWrite(f.ring, f.refill.data(), consumed);
        outputRenderCallback(&f.context, nullptr, nullptr, 0, kFrames, f.buffers.list());
        benchmark::DoNotOptimize(f.buffers.samples(1)[kFrames - 1]);
    }
    state.counters["fill"] = static_cast<double>(RingBufferAvailableToRead(f.ring));
}

void BM_RenderInsideBand(benchmark::State& state) {
    renderAt(state, 1000 - kFrames, kFrames);
}
void BM_RenderAboveBand(benchmark::State& state) {
    renderAt(state, 2000 - kFrames - 1, kFrames + 1);
}
// Below the band a 512-frame call always empties the ring: 300 samples, then the repeat and zeros.
void BM_RenderBelowBand(benchmark::State& state) {
    renderAt(state, 0, 300);
}

// The least any callback must do: the same refill, one ring read, a copy per channel.
void BM_Baseline_ReadAndCopy(benchmark::State& state) {
    Fixture f(1000 - kFrames);
    for (auto _ : state) {
        RingBufferWrite(f.ring, f.refill.data(), kFrames);
        RingBufferRead(f.ring, f.scratch.data(), kFrames);
        for (UInt32 b = 0; b < 2; ++b)
            std::memcpy(f.buffers.samples(b), f.scratch.data(), kFrames * sizeof(float));
        benchmark::DoNotOptimize(f.buffers.samples(1)[kFrames - 1]);
    }
}

}  // namespace

BENCHMARK(BM_RenderInsideBand);
BENCHMARK(BM_RenderAboveBand);
BENCHMARK(BM_RenderBelowBand);
BENCHMARK(BM_Baseline_ReadAndCopy);
BENCHMARK_MAIN();

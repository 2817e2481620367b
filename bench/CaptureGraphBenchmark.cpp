// Real-time factor of the capture graph on one core: a 48 kHz mono simulated microphone, the format
// mixer, the built-in delay effect, five active EQ bands and the sink writing three rings, all driven
// by the virtual clock. Each iteration renders one second of audio; rtf = 1 s / time per iteration.
// The same graph without effect and EQ is the baseline (device simulation, mixer and rings alone).
#include <benchmark/benchmark.h>

#include <chrono>

#include "app/audio/CaptureEngine.h"
#include "platform/avaudio/AVAudioUnitEQ.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogSinks.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

void runCaptureGraph(benchmark::State& state, bool effects) {
    LogSinks::setStderrEnabled(false);
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = mic.uid = "bench.mic";
    mic.inputChannels = 1;
    mic.signal = SimulatedSignal::whiteNoise(0.3);
    hardware.plug(mic);

    RingBuffer* rings[3] = {RingBufferCreate(1 << 16), RingBufferCreate(1 << 16), RingBufferCreate(1 << 16)};
    auto eq = std::make_shared<AVAudioUnitEQ>(5);
    const float frequencies[5] = {80, 250, 1000, 4000, 10000};
    for (std::size_t i = 0; i < 5; ++i) {
        auto& band = eq->bands()[i];
        band.setFrequency(frequencies[i]);
        band.setGain(i % 2 ? 3.0f : -3.0f);
        band.setBypass(!effects);
    }
    eq->setBypass(!effects);
    auto capture = std::make_shared<CaptureEngine>(rings[0], rings[1], rings[2], eq);
    if (effects) {
        registerSimulatedEffects();
        capture->setPluginUnit(AVAudioUnit::make(SimulatedDelayEffect::kDescription));
    }
    capture->start("bench.mic");
    time.advance(200ms);
    std::vector<float> sink(1 << 16);
    for (auto _ : state) {
        time.advance(1s);
        for (RingBuffer* ring : rings)
            RingBufferRead(ring, sink.data(), RingBufferAvailableToRead(ring));
    }
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations() * 48000);
    capture.reset();
    for (RingBuffer* ring : rings)
        RingBufferFree(ring);
}

void BM_CaptureGraph_DelayAndFiveEQBands(benchmark::State& state) {
    runCaptureGraph(state, true);
}
void BM_CaptureGraph_Baseline_NoProcessing(benchmark::State& state) {
    runCaptureGraph(state, false);
}

}  // namespace

BENCHMARK(BM_CaptureGraph_DelayAndFiveEQBands)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureGraph_Baseline_NoProcessing)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

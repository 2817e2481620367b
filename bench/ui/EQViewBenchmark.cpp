// One full repaint of the EQ window's content into an offscreen image, with new spectrum levels
// each frame as the analyser delivers them 30 times a second.
#include <benchmark/benchmark.h>

#include <QImage>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "app/audio/AppState.h"
#include "app/processing/SpectrumAnalyzer.h"
#include "app/ui/EQCurveView.h"
#include "app/ui/EQView.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

namespace {

using namespace velunto;

SimulatedDeviceDescription device(std::string name, std::string uid, UInt32 in, UInt32 out) {
    SimulatedDeviceDescription d;
    d.name = std::move(name);
    d.uid = std::move(uid);
    d.inputChannels = in;
    d.outputChannels = out;
    d.signal = SimulatedSignal::sineWave(440, 0.3);
    return d;
}

// A voice-like slope that wanders from frame to frame.
SpectrumAnalyzer::Levels levelsForFrame(std::size_t frame) {
    SpectrumAnalyzer::Levels levels;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        const double phase = 0.11 * static_cast<double>(k) + 0.7 * static_cast<double>(frame);
        levels[k] = static_cast<float>(-30 - 0.25 * static_cast<double>(k) + 12 * std::sin(phase));
    }
    return levels;
}

// The whole content, or (curveAreaOnly) just the curve area, which is what a new spectrum invalidates.
void repaint(benchmark::State& bench, qreal ratio, bool curveAreaOnly = false) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    NSApplication::shared();
    VirtualTime time;
    SimulatedAudioHardware hardware;
    hardware.plug(device("Eingebautes Mikrofon", "builtin.mic", 1, 0));
    auto feed = device("Velunto Mic (Einspeisung)", AppState::kFeedDeviceUID, 0, 2);
    feed.hidden = true;
    hardware.plug(feed);
    auto state = AppState::make(UserDefaults::inMemory());
    time.advance(std::chrono::seconds(1));
    {
        EQView view(*state);
        view.show();
        time.advance(std::chrono::milliseconds(100));
        QWidget& target = curveAreaOnly ? *view.curveView().parentWidget() : static_cast<QWidget&>(view);
        QImage image(target.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        std::size_t frame = 0;
        for (auto _ : bench) {
            state->spectrumAnalyzer().levels.set(levelsForFrame(frame++));
            target.render(&image);
            benchmark::DoNotOptimize(image.constBits());
        }
        bench.counters["height"] = target.height();
    }
    time.advance(std::chrono::milliseconds(100));
}

void BM_EQViewRepaint(benchmark::State& bench) {
    repaint(bench, 1);
}
BENCHMARK(BM_EQViewRepaint)->Unit(benchmark::kMicrosecond);

void BM_EQViewRepaint2x(benchmark::State& bench) {
    repaint(bench, 2);
}
BENCHMARK(BM_EQViewRepaint2x)->Unit(benchmark::kMicrosecond);

void BM_EQCurveAreaRepaint(benchmark::State& bench) {
    repaint(bench, 1, true);
}
BENCHMARK(BM_EQCurveAreaRepaint)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

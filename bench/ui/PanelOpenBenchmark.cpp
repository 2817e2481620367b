// Opening the menu panel the first time: the model and the widgets made, laid out, shown and painted
// once, as a click on the menu-bar item does. And a later opening, when only show and paint remain.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <chrono>
#include <cstdlib>

#include "app/audio/AppState.h"
#include "app/ui/MenuPanel.h"
#include "app/ui/MenuPanelModel.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCameraHardware.h"

namespace {

using namespace velunto;

struct Scene {
    Scene() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::shared();
        hardware.plug(SimulatedAudioHardware::standardScenario().front());
        SimulatedDeviceDescription feed;
        feed.name = "Velunto Mic (Einspeisung)";
        feed.uid = AppState::kFeedDeviceUID;
        feed.outputChannels = 2;
        feed.hidden = true;
        hardware.plug(feed);
        state = AppState::make(UserDefaults::inMemory());
        time.advance(std::chrono::seconds(1));
    }
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedCameraHardware cameras;
    std::shared_ptr<AppState> state;
};

void paintOnce(QWidget& panel) {
    QImage image(panel.size(), QImage::Format_ARGB32_Premultiplied);
    panel.render(&image);
    benchmark::DoNotOptimize(image.constBits());
}

void BM_PanelFirstOpen(benchmark::State& bench) {
    Scene scene;
    for (auto _ : bench) {
        MenuPanel panel(std::make_shared<MenuPanelModel>(scene.state, nullptr, nullptr));
        panel.show();
        paintOnce(panel);
        bench.PauseTiming();
        panel.hide();
        bench.ResumeTiming();
    }
}
BENCHMARK(BM_PanelFirstOpen)->Unit(benchmark::kMillisecond);

void BM_PanelReopen(benchmark::State& bench) {
    Scene scene;
    MenuPanel panel(std::make_shared<MenuPanelModel>(scene.state, nullptr, nullptr));
    for (auto _ : bench) {
        panel.show();
        paintOnce(panel);
        bench.PauseTiming();
        panel.hide();
        bench.ResumeTiming();
    }
}
BENCHMARK(BM_PanelReopen)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

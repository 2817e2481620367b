// The application's camera path without a user interface: the camera engine on simulated cameras,
// feeding "Velunto Kamera" with the chosen delay while somebody watches it.
//
//   velunto-camera-path [--seconds N] [--delay MS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/camera/CameraEngine.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/sim/SimulatedCameraHardware.h"

using namespace velunto;

int main(int argc, char** argv) {
    double seconds = 5;
    double delay = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--delay") == 0)
            delay = std::atof(argv[i + 1]);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    MainRunLoop::attachCurrentThread();
    SimulatedCameraHardware cameras;
    const auto engine = CameraEngine::make(SettingsStore(UserDefaults::inMemory()));
    engine->setDelay(delay);
    MainRunLoop::runFor(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
    const auto camera = engine->currentCamera();
    std::printf("Kamerapfad beendet: %s, Verzögerung %.0f ms.\n", camera ? camera->name.c_str() : "keine Kamera",
                delay);
    return 0;
}

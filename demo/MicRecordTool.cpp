// Records "Velunto Mic" the way a call app does, while the application plays a simulated
// microphone's voice into the virtual microphone's feed device. The virtual microphone is the
// installed driver, loaded by this process's audio server.
//
//   velunto-mic-record --seconds N --out file.wav
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/audio/AppState.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCallApp.h"

using namespace velunto;

int main(int argc, char** argv) {
    double seconds = 5;
    std::string out = "velunto-mic.wav";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--out") == 0)
            out = argv[i + 1];
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    MainRunLoop::attachCurrentThread();

    SimulatedDeviceDescription mic;
    mic.name = "Eingebautes Mikrofon";
    mic.uid = "sim.builtin.mic";
    mic.inputChannels = 1;
    mic.nominalSampleRate = 44100;
    mic.signal = SimulatedSignal::sineWave(330, 0.3);
    SimulatedAudioHardware hardware({mic});  // first, as built-in devices are: it is the default input
    AudioServerPlugInHost::shared().loadInstalledDrivers();

    auto state = AppState::make(UserDefaults::inMemory());
    if (state->outputDeviceUID.value() != std::optional<std::string>(AppState::kFeedDeviceUID)) {
        std::fprintf(stderr, "Velunto Mic ist nicht installiert (erwartet in %s).\n",
                     AudioServerPlugInHost::installedDriversDirectory().c_str());
        return 1;
    }
    MainRunLoop::runFor(std::chrono::milliseconds(300));

    SimulatedCallApp callApp(AppState::kVirtualMicUID);
    if (!callApp.recordToWAV(out)) {
        std::fprintf(stderr, "Velunto Mic lässt sich nicht aufnehmen.\n");
        return 1;
    }
    MainRunLoop::runFor(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    callApp.stop();
    state.reset();
    std::printf("Velunto Mic aufgenommen: %s (%.0f Hz, %u Kanäle, %.1f s)\n", out.c_str(), callApp.sampleRate(),
                callApp.channels(), seconds);
    return 0;
}

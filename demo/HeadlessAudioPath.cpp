// The audio path without a user interface: the application state on simulated hardware (a built-in
// microphone, headphones for listen-back) and the installed virtual microphone, in real time for the
// given number of seconds. A call app records "Velunto Mic" into a WAV file; the process's CPU time
// per second of audio is printed at the end. Without an installed driver, a simulated output device
// stands in for the feed device and its output is written instead.
//
//   velunto_headless_audio [seconds] [feed.wav]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/audio/AppState.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/oslog/LogSinks.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCallApp.h"

using namespace velunto;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const std::string wavPath = argc > 2 ? argv[2] : "velunto-feed.wav";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    MainRunLoop::attachCurrentThread();
    LogSinks::setStderrEnabled(true);

    SimulatedDeviceDescription mic;
    mic.name = "Eingebautes Mikrofon";
    mic.uid = "sim.builtin.mic";
    mic.inputChannels = 1;
    mic.nominalSampleRate = 44100;
    mic.bufferFrameSize = 512;
    mic.driftPPM = 35;
    mic.signal = SimulatedSignal::sineWave(220, 0.3);
    SimulatedDeviceDescription feed;
    feed.name = "Velunto Mic (Einspeisung)";
    feed.uid = AppState::kFeedDeviceUID;
    feed.outputChannels = 2;
    feed.hidden = true;
    feed.transportType = kAudioDeviceTransportTypeVirtual;
    SimulatedDeviceDescription phones;
    phones.name = "Kopfhörer";
    phones.uid = "sim.usb.phones";
    phones.outputChannels = 2;
    phones.transportType = kAudioDeviceTransportTypeUSB;
    phones.driftPPM = -40;
    SimulatedAudioHardware hardware({mic, phones});  // first, as the built-in devices are: they are the defaults
    const bool driverInstalled = AudioServerPlugInHost::shared().loadInstalledDrivers() > 0;
    if (!driverInstalled)
        hardware.plug(feed);
    if (!driverInstalled && !hardware.recordToWAV(feed.uid, wavPath)) {
        std::fprintf(stderr, "%s kann nicht geschrieben werden.\n", wavPath.c_str());
        return 1;
    }

    auto state = AppState::make(UserDefaults::inMemory());
    state->setMonitoring(true);
    state->spectrumAnalyzer().addClient();
    MainRunLoop::runFor(std::chrono::milliseconds(300));  // the capture side builds 0.15 s after the start
    SimulatedCallApp callApp(AppState::kVirtualMicUID);
    if (driverInstalled && !callApp.recordToWAV(wavPath)) {
        std::fprintf(stderr, "Velunto Mic lässt sich nicht aufnehmen.\n");
        return 1;
    }

    const double before = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    MainRunLoop::runFor(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - before;

    std::printf("Status: %s, Eingang %s, Ausgabe %s, Vorhören auf %s\n",
                state->overallStatus() == EngineStatus::running() ? "läuft" : state->overallStatus().message().c_str(),
                state->deviceManager().resolvedDeviceUID.value().value_or("-").c_str(),
                state->outputDeviceUID.value().value_or("-").c_str(),
                state->monitorEngine().currentDeviceUID().value_or("-").c_str());
    std::printf("CPU-Zeit: %.1f ms pro Sekunde Audio (%.2f %% eines Kerns)\n", cpu / elapsed * 1000,
                cpu / elapsed * 100);
    if (const auto latency = state->latencyMilliseconds.value())
        std::printf("Latenz: %.1f ms\n", *latency);
    const auto& analyzer = state->spectrumAnalyzer();
    const auto& levels = analyzer.levels.value();
    const auto loudest = static_cast<std::size_t>(std::max_element(levels.begin(), levels.end()) - levels.begin());
    std::printf("Spektrum: lautestes Band bei %.0f Hz, %.1f dB (mit Anzeige-Neigung)\n",
                analyzer.bandCenters()[loudest], levels[loudest]);
    callApp.stop();
    state.reset();
    hardware.stopRecording(feed.uid);
    std::printf("%s aufgezeichnet: %s\n", driverInstalled ? "Velunto Mic" : "Einspeisung", wavPath.c_str());
    return 0;
}

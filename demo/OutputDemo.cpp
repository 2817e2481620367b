// The audio path on simulated hardware, in real time: a 220 Hz tone from the built-in microphone runs
// through the capture engine (conversion to 48 kHz mono, a gain plug-in, a five-band equaliser) into
// the ring, and the output engine plays it on a USB headset running at 44.1 kHz with its own drift.
// Halfway through the headset is unplugged and plugged back in. Its output is written to a WAV file.
#include <chrono>
#include <cstdio>
#include <string>

#include "app/audio/CaptureEngine.h"
#include "app/audio/OutputEngine.h"
#include "platform/avaudio/AVAudioUnitEQ.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/oslog/LogSinks.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/sim/SimulatedGainEffect.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

const char* describe(const EngineStatus& status) {
    switch (status.kind()) {
        case EngineStatus::Kind::stopped:
            return "gestoppt";
        case EngineStatus::Kind::starting:
            return "startet";
        case EngineStatus::Kind::running:
            return "läuft";
        case EngineStatus::Kind::error:
            return "Fehler";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const std::string wavPath = argc > 1 ? argv[1] : "velunto-demo-headset.wav";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    MainRunLoop::attachCurrentThread();
    LogSinks::setStderrEnabled(true);

    SimulatedAudioHardware hardware(SimulatedAudioHardware::standardScenario());
    auto headset = SimulatedAudioHardware::standardScenario()[2];
    RingBuffer* ring = RingBufferCreate(16384);
    auto engine = std::make_shared<OutputEngine>(ring);
    engine->onStatusChange = [](const EngineStatus& s) {
        std::printf("Ausgabe: %s%s%s\n", describe(s), s.isError() ? " – " : "", s.message().c_str());
    };

    RingBuffer* analysisRing = RingBufferCreate(16384);
    RingBuffer* monitorRing = RingBufferCreate(16384);
    auto eq = std::make_shared<AVAudioUnitEQ>(5);
    eq->bands()[0].setFilterType(AVAudioUnitEQFilterType::highPass);
    eq->bands()[0].setFrequency(80);
    eq->bands()[0].setBypass(false);
    auto capture = std::make_shared<CaptureEngine>(ring, analysisRing, monitorRing, eq);
    capture->onStatusChange = [](const EngineStatus& s) {
        std::printf("Eingang: %s%s%s\n", describe(s), s.isError() ? " – " : "", s.message().c_str());
    };
    registerSimulatedEffects();
    capture->setPluginUnit(AVAudioUnit::make(SimulatedGainEffect::kDescription));
    capture->start("sim.builtin.mic");
    MainRunLoop::runFor(300ms);

    hardware.recordToWAV(headset.uid, wavPath);
    engine->start(headset.uid);
    MainRunLoop::runFor(1500ms);
    std::printf("Ringfüllung: %llu Samples\n", static_cast<unsigned long long>(RingBufferAvailableToRead(ring)));

    std::printf("USB Headset wird abgezogen …\n");
    hardware.unplug(headset.uid);
    MainRunLoop::runFor(300ms);
    std::printf("… und wieder eingesteckt.\n");
    hardware.plug(headset);
    hardware.recordToWAV(headset.uid, wavPath);
    engine->start(headset.uid);
    MainRunLoop::runFor(1500ms);

    engine->stop();
    capture->stop();
    capture.reset();
    RingBufferFree(analysisRing);
    RingBufferFree(monitorRing);
    hardware.stopRecording(headset.uid);
    engine.reset();
    RingBufferFree(ring);
    std::printf("Aufnahme des Headsets: %s\n", wavPath.c_str());
    return 0;
}

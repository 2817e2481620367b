// Plays a voice-like test signal through the output engine on simulated hardware, in real time:
// a 220 Hz tone from the built-in microphone goes into the ring on the microphone's clock, and the
// engine plays it on a USB headset running at 44.1 kHz with its own drift. Halfway through the
// headset is unplugged and plugged back in. The headset's output is written to a WAV file.
#include <chrono>
#include <cstdio>
#include <string>

#include "app/audio/OutputEngine.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/oslog/LogSinks.h"
#include "platform/sim/SimulatedAudioHardware.h"

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

// Real-time: the microphone's block goes into the ring as it is.
OSStatus capture(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                 AudioBufferList*, const AudioTimeStamp*, void* ring) {
    const AudioBuffer& buffer = in->mBuffers[0];
    RingBufferWrite(static_cast<RingBuffer*>(ring), static_cast<const float*>(buffer.mData),
                    buffer.mDataByteSize / sizeof(float));
    return 0;
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

    const AudioObjectID mic = *hardware.deviceID("sim.builtin.mic");
    AudioDeviceIOProcID proc = nullptr;
    AudioDeviceCreateIOProcID(mic, capture, ring, &proc);
    AudioDeviceStart(mic, proc);

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
    AudioDeviceDestroyIOProcID(mic, proc);
    hardware.stopRecording(headset.uid);
    engine.reset();
    RingBufferFree(ring);
    std::printf("Aufnahme des Headsets: %s\n", wavPath.c_str());
    return 0;
}

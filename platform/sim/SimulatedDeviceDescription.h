#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardwareBase.h"

namespace velunto {

// What a simulated input produces. Signals are functions of the device's sample time, so they run
// on without gaps from cycle to cycle; every input channel carries the same signal.
struct SimulatedSignal {
    enum class Kind { silence, sine, noise, clickTrain, wavFile };
    Kind kind = Kind::silence;
    double frequency = 440.0;            // sine, in Hz at the device's nominal rate
    double amplitude = 0.5;              // sine, noise (peak), clickTrain (click height)
    std::uint32_t seed = 1;              // noise
    std::uint32_t clickInterval = 4800;  // clickTrain: frames from one click to the next
    std::string path;                    // wavFile: looped; its first channel; played at the device's rate

    static SimulatedSignal silent() { return {}; }
    static SimulatedSignal sineWave(double hz, double amp = 0.5) {
        SimulatedSignal x;
        x.kind = Kind::sine;
        x.frequency = hz;
        x.amplitude = amp;
        return x;
    }
    static SimulatedSignal whiteNoise(double amp = 0.25, std::uint32_t s = 1) {
        SimulatedSignal x;
        x.kind = Kind::noise;
        x.amplitude = amp;
        x.seed = s;
        return x;
    }
    static SimulatedSignal clicks(std::uint32_t interval, double amp = 1.0) {
        SimulatedSignal x;
        x.kind = Kind::clickTrain;
        x.clickInterval = interval;
        x.amplitude = amp;
        return x;
    }
    static SimulatedSignal wav(std::string file) {
        SimulatedSignal x;
        x.kind = Kind::wavFile;
        x.path = std::move(file);
        return x;
    }
};

// One simulated device as a scenario describes it.
struct SimulatedDeviceDescription {
    std::string name;
    std::string uid;
    std::string manufacturer = "Velunto Sim";
    std::uint32_t inputChannels = 0;
    std::uint32_t outputChannels = 0;
    double nominalSampleRate = 48000.0;
    std::vector<double> availableSampleRates;  // empty: only the nominal rate
    std::uint32_t bufferFrameSize = 512;
    std::uint32_t inputLatency = 0;
    std::uint32_t outputLatency = 0;
    std::uint32_t inputSafetyOffset = 0;
    std::uint32_t outputSafetyOffset = 0;
    UInt32 transportType = kAudioDeviceTransportTypeBuiltIn;
    std::vector<std::string> subDeviceUIDs;  // aggregate devices
    bool hidden = false;
    double driftPPM = 0.0;  // the device's clock runs at nominal × (1 + drift × 1e-6)
    SimulatedSignal signal;
};

}  // namespace velunto

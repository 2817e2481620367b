#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/SimulatedDeviceDescription.h"

namespace velunto {

// Produces a simulated input's samples as a function of the device's sample time.
class SimulatedSignalGenerator {
public:
    // A WAV signal is read here (libsndfile); if it cannot be read the generator is silent and
    // error() says why.
    explicit SimulatedSignalGenerator(const SimulatedSignal& signal);

    // Writes frames × channels interleaved samples; every channel gets the same value. Allocation-free.
    void render(double sampleTime, double sampleRate, float* interleaved, std::uint32_t frames,
                std::uint32_t channels) const;
    float sampleAt(std::int64_t sampleTime, double sampleRate) const;

    const std::string& error() const { return error_; }

private:
    SimulatedSignal signal_;
    std::vector<float> wav_;
    std::string error_;
};

}  // namespace velunto

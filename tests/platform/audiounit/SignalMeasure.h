#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace velunto::test {

// Frequency of a periodic signal from its rising zero crossings, each placed by linear
// interpolation between the two samples around it. `stride` steps over interleaved channels.
inline double measuredFrequency(const std::vector<float>& samples, std::size_t stride, std::size_t channel,
                                double sampleRate) {
    double first = -1.0;
    double last = -1.0;
    std::size_t crossings = 0;
    for (std::size_t i = channel + stride; i < samples.size(); i += stride) {
        const double before = samples[i - stride];
        const double now = samples[i];
        if (before < 0.0 && now >= 0.0) {
            const double at = static_cast<double>(i / stride) - now / (now - before);
            if (first < 0.0) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : static_cast<double>(crossings - 1) * sampleRate / (last - first);
}

// A sine as a render callback writes it: frame n of the client's timeline, every channel.
inline float sineSample(double frequency, double sampleRate, double frame) {
    return static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * frequency * frame / sampleRate));
}

}  // namespace velunto::test

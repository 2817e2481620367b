#include "platform/sim/SimulatedSignalGenerator.h"

#include <sndfile.h>

#include <cmath>
#include <numbers>

namespace velunto {

namespace {

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::int64_t positiveModulo(std::int64_t value, std::int64_t modulus) {
    const std::int64_t r = value % modulus;
    return r < 0 ? r + modulus : r;
}

}  // namespace

SimulatedSignalGenerator::SimulatedSignalGenerator(const SimulatedSignal& signal) : signal_(signal) {
    if (signal_.kind != SimulatedSignal::Kind::wavFile)
        return;
    SF_INFO info{};
    SNDFILE* file = sf_open(signal_.path.c_str(), SFM_READ, &info);
    if (!file) {
        error_ = sf_strerror(nullptr);
        return;
    }
    std::vector<float> frames(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    wav_.reserve(static_cast<std::size_t>(got));
    for (sf_count_t i = 0; i < got; ++i)
        wav_.push_back(frames[static_cast<std::size_t>(i * info.channels)]);
    if (wav_.empty())
        error_ = "the file holds no samples";
}

float SimulatedSignalGenerator::sampleAt(std::int64_t t, double sampleRate) const {
    switch (signal_.kind) {
        case SimulatedSignal::Kind::silence:
            return 0.0f;
        case SimulatedSignal::Kind::sine: {
            const double cycles = signal_.frequency * static_cast<double>(t) / sampleRate;
            return static_cast<float>(signal_.amplitude *
                                      std::sin(2.0 * std::numbers::pi * (cycles - std::floor(cycles))));
        }
        case SimulatedSignal::Kind::noise: {
            const std::uint64_t bits = splitmix64(static_cast<std::uint64_t>(t) ^ (std::uint64_t{signal_.seed} << 40));
            const double unit = static_cast<double>(bits >> 11) * 0x1.0p-53;  // [0, 1)
            return static_cast<float>(signal_.amplitude * (2.0 * unit - 1.0));
        }
        case SimulatedSignal::Kind::clickTrain: {
            const std::int64_t interval = std::max<std::uint32_t>(signal_.clickInterval, 1);
            return positiveModulo(t, interval) == 0 ? static_cast<float>(signal_.amplitude) : 0.0f;
        }
        case SimulatedSignal::Kind::wavFile:
            if (wav_.empty())
                return 0.0f;
            return wav_[static_cast<std::size_t>(positiveModulo(t, static_cast<std::int64_t>(wav_.size())))];
    }
    return 0.0f;
}

void SimulatedSignalGenerator::render(double sampleTime, double sampleRate, float* interleaved, std::uint32_t frames,
                                      std::uint32_t channels) const {
    const auto start = static_cast<std::int64_t>(std::llround(sampleTime));
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float value = sampleAt(start + i, sampleRate);
        for (std::uint32_t c = 0; c < channels; ++c)
            interleaved[std::size_t{i} * channels + c] = value;
    }
}

}  // namespace velunto

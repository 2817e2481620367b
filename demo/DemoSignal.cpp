#include "demo/DemoSignal.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

namespace velunto {

namespace {

// Two-pole resonator at a formant's centre frequency and bandwidth, unity gain at the centre.
class Resonator {
public:
    void tune(double frequency, double bandwidth, double rate) {
        const double r = std::exp(-std::numbers::pi * bandwidth / rate);
        const double theta = 2 * std::numbers::pi * frequency / rate;
        a1_ = 2 * r * std::cos(theta);
        a2_ = -r * r;
        gain_ = (1 - r) * std::sqrt(1 - 2 * r * std::cos(2 * theta) + r * r);
    }
    double process(double x) {
        const double y = gain_ * x + a1_ * y1_ + a2_ * y2_;
        y2_ = y1_;
        y1_ = y;
        return y;
    }

private:
    double a1_ = 0, a2_ = 0, gain_ = 0, y1_ = 0, y2_ = 0;
};

struct Vowel {
    std::array<double, 3> formants;
};

constexpr std::array<Vowel, 5> kVowels{{
    {{730, 1090, 2440}},  // a
    {{530, 1840, 2480}},  // e
    {{270, 2290, 3010}},  // i
    {{570, 840, 2410}},   // o
    {{300, 870, 2240}},   // u
}};
constexpr std::array<int, 6> kSyllables{0, 2, 3, 1, 4, 0};
constexpr std::array<bool, 6> kHissBefore{false, true, false, true, false, false};
constexpr double kVoiceStart = 0.30;
constexpr double kSyllableSeconds = 0.20;
constexpr double kGapSeconds = 0.03;
constexpr double kHissSeconds = 0.06;

}  // namespace

std::vector<float> DemoSignal::make(double sampleRate) {
    const auto frames = static_cast<std::size_t>(std::lround(kPeriodSeconds * sampleRate));
    std::vector<double> voice(frames, 0.0);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);

    std::array<Resonator, 3> formants;
    double phase = 0, tilt = 0;
    for (std::size_t s = 0; s < kSyllables.size(); ++s) {
        const double start = kVoiceStart + static_cast<double>(s) * (kSyllableSeconds + kGapSeconds);
        const auto& vowel = kVowels[static_cast<std::size_t>(kSyllables[s])];
        for (std::size_t f = 0; f < 3; ++f)
            formants[f].tune(vowel.formants[f], 60.0 + 40.0 * static_cast<double>(f), sampleRate);
        if (kHissBefore[s]) {
            // A fricative: high-passed noise just before the syllable.
            double previous = 0;
            const auto from = static_cast<std::size_t>((start - kHissSeconds) * sampleRate);
            const auto count = static_cast<std::size_t>(kHissSeconds * sampleRate);
            for (std::size_t i = 0; i < count && from + i < frames; ++i) {
                const double noise = uniform(random);
                const double envelope =
                    std::sin(std::numbers::pi * static_cast<double>(i) / static_cast<double>(count));
                voice[from + i] += 0.15 * envelope * (noise - previous);
                previous = noise;
            }
        }
        const auto from = static_cast<std::size_t>(start * sampleRate);
        const auto count = static_cast<std::size_t>(kSyllableSeconds * sampleRate);
        for (std::size_t i = 0; i < count && from + i < frames; ++i) {
            const double t = static_cast<double>(i) / static_cast<double>(count);
            // The pitch falls over each syllable and rises over the phrase, around 120 Hz.
            const double f0 = 105.0 + 10.0 * static_cast<double>(s) + 25.0 * (1.0 - t);
            phase += f0 / sampleRate;
            double pulse = 0;
            if (phase >= 1.0) {
                phase -= 1.0;
                pulse = 1.0;
            }
            tilt = 0.97 * tilt + pulse;  // a glottal source falls off towards the treble
            double y = 0;
            for (std::size_t f = 0; f < 3; ++f)
                y += formants[f].process(tilt) / static_cast<double>(f + 1);
            voice[from + i] += std::sin(std::numbers::pi * t) * y;
        }
    }
    const double peak = std::max(1e-9, std::abs(*std::max_element(voice.begin(), voice.end(), [](double a, double b) {
                                     return std::abs(a) < std::abs(b);
                                 })));
    std::vector<float> signal(frames);
    for (std::size_t i = 0; i < frames; ++i)
        signal[i] = static_cast<float>(voice[i] / peak * kVoicePeak + kNoiseFloor * uniform(random));
    if (!signal.empty())
        signal.front() = kClickAmplitude;
    return signal;
}

bool DemoSignal::writeWAV(const std::string& path, double sampleRate) {
    const std::vector<float> signal = make(sampleRate);
    SF_INFO info{};
    info.samplerate = static_cast<int>(std::lround(sampleRate));
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    const bool complete = sf_writef_float(file, signal.data(), static_cast<sf_count_t>(signal.size())) ==
                          static_cast<sf_count_t>(signal.size());
    return sf_close(file) == 0 && complete;
}

}  // namespace velunto

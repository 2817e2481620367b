#pragma once

#include <string>
#include <vector>

namespace velunto {

// The demo microphone's signal, two seconds long and meant to be looped: a single-sample click at
// the very start, then a voice-like passage of six syllables (a pulse source through three formant
// resonators, with a hiss before some syllables), all over a quiet room noise. Around the click
// the signal stays far below it, so that a click can be found in whatever comes out.
class DemoSignal {
public:
    static constexpr double kPeriodSeconds = 2.0;
    static constexpr float kClickAmplitude = 0.9f;
    static constexpr float kVoicePeak = 0.2f;
    static constexpr float kNoiseFloor = 0.001f;  // -60 dBFS

    static std::vector<float> make(double sampleRate);
    // A mono 32-bit float WAV file; false if it cannot be written.
    static bool writeWAV(const std::string& path, double sampleRate);
};

}  // namespace velunto

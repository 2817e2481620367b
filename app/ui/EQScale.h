#pragma once

#include <string>

namespace velunto {

// The ranges of the editor's values, the logarithmic frequency axis shared by the sliders and the
// curve, and the values' texts in the user's locale (QLocale()).
class EQScale {
public:
    static constexpr double kMinFrequency = 20;
    static constexpr double kMaxFrequency = 20000;
    static constexpr double kMinGain = -18;
    static constexpr double kMaxGain = 18;
    static constexpr double kMinQ = 0.2;
    static constexpr double kMaxQ = 10;

    // ln(f / 20) / ln(1000): 0 at 20 Hz, 1 at 20 kHz; not limited.
    static double position(double frequency);
    // 20 x 1000^p with p limited to 0…1, rounded to whole hertz.
    static double frequencyAt(double position);

    static double limitGain(double gain);
    static double limitQ(double q);
    // Halves away from zero.
    static double roundToTenth(double value);

    // "250 Hz", "3.5 kHz", "10 kHz".
    static std::string frequencyText(double frequency);
    // "+3.0 dB", "-6.0 dB", "0.0 dB".
    static std::string gainText(double gain);
    // "0.7"
    static std::string qText(double q);
};

}  // namespace velunto

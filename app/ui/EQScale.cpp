#include "app/ui/EQScale.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

namespace velunto {

namespace {

std::string number(double value, int decimals) {
    return QLocale().toString(value, 'f', decimals).toStdString();
}

}  // namespace

double EQScale::position(double frequency) {
    return std::log(frequency / kMinFrequency) / std::log(kMaxFrequency / kMinFrequency);
}

double EQScale::frequencyAt(double position) {
    const double p = std::clamp(position, 0.0, 1.0);
    return std::round(kMinFrequency * std::pow(kMaxFrequency / kMinFrequency, p));
}

double EQScale::limitGain(double gain) {
    return std::clamp(gain, kMinGain, kMaxGain);
}

double EQScale::limitQ(double q) {
    return std::clamp(q, kMinQ, kMaxQ);
}

double EQScale::roundToTenth(double value) {
    return std::round(value * 10) / 10;
}

std::string EQScale::frequencyText(double frequency) {
    if (frequency < 1000)
        return number(std::round(frequency), 0) + " Hz";
    const double kilohertz = frequency / 1000;
    if (kilohertz < 10)
        return number(roundToTenth(kilohertz), 1) + " kHz";
    return number(std::round(kilohertz), 0) + " kHz";
}

std::string EQScale::gainText(double gain) {
    const double rounded = roundToTenth(gain);
    if (rounded == 0)
        return number(0.0, 1) + " dB";  // never "-0.0" and no sign
    const std::string sign = rounded > 0 ? QLocale().positiveSign().toStdString() : "";
    return sign + number(rounded, 1) + " dB";
}

std::string EQScale::qText(double q) {
    return number(roundToTenth(q), 1);
}

}  // namespace velunto

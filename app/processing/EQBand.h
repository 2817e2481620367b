#pragma once

#include "app/processing/EQBandType.h"
#include "app/settings/JSONCoding.h"

namespace velunto {

// One band of the equaliser. Values are kept as given; the editor keeps them in range.
struct EQBand {
    bool isEnabled = true;
    EQBandType type = EQBandType::bell;
    double frequency = 1000;  // Hz
    double gain = 0;          // dB; not used by cut bands
    double q = 1.0;

    friend bool operator==(const EQBand&, const EQBand&) = default;

    // {"isEnabled":b,"type":"bell","frequency":n,"gain":n,"q":n}
    JSON toJSON() const;
    static EQBand fromJSON(const JSON& json);
};

}  // namespace velunto

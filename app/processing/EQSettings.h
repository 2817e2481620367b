#pragma once

#include "app/processing/EQBand.h"
#include "app/settings/JSONCoding.h"

#include <vector>

namespace velunto {

// The equaliser of one input device. When disabled the unit is bypassed and the bands are kept.
struct EQSettings {
    bool isEnabled = true;
    std::vector<EQBand> bands;

    friend bool operator==(const EQSettings&, const EQSettings&) = default;

    // {"isEnabled":b,"bands":[…]}
    JSON toJSON() const;
    static EQSettings fromJSON(const JSON& json);
};

// Enabled, with a low cut (off) at 80 Hz, bells at 250, 1000 and 3500 Hz and a high shelf at 10 kHz.
EQSettings defaultEQSettings();

}  // namespace velunto

#include "app/processing/EQSettings.h"

namespace velunto {

JSON EQSettings::toJSON() const {
    return JSON{{"isEnabled", isEnabled},
                {"bands", JSONCoding::encodeArray(bands, [](const EQBand& b) { return b.toJSON(); })}};
}

EQSettings EQSettings::fromJSON(const JSON& json) {
    EQSettings settings;
    settings.isEnabled = JSONCoding::boolean(json, "isEnabled");
    settings.bands = JSONCoding::decodeArray<EQBand>(JSONCoding::member(json, "bands"), EQBand::fromJSON);
    return settings;
}

EQSettings defaultEQSettings() {
    return {true,
            {
                {false, EQBandType::lowCut, 80, 0, 1.0},
                {true, EQBandType::bell, 250, 0, 1.0},
                {true, EQBandType::bell, 1000, 0, 1.0},
                {true, EQBandType::bell, 3500, 0, 1.0},
                {true, EQBandType::highShelf, 10000, 0, 1.0},
            }};
}

}  // namespace velunto

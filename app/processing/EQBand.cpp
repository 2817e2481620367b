#include "app/processing/EQBand.h"

namespace velunto {

JSON EQBand::toJSON() const {
    return JSON{{"isEnabled", isEnabled},
                {"type", storedName(type)},
                {"frequency", JSONCoding::number(frequency)},
                {"gain", JSONCoding::number(gain)},
                {"q", JSONCoding::number(q)}};
}

EQBand EQBand::fromJSON(const JSON& json) {
    EQBand band;
    band.isEnabled = JSONCoding::boolean(json, "isEnabled");
    const std::string typeName = JSONCoding::string(json, "type");
    const auto type = eqBandTypeFromStoredName(typeName);
    if (!type) {
        throw DecodingError("Cannot initialize EQBandType from invalid String value " + typeName);
    }
    band.type = *type;
    band.frequency = JSONCoding::real(json, "frequency");
    band.gain = JSONCoding::real(json, "gain");
    band.q = JSONCoding::real(json, "q");
    return band;
}

}  // namespace velunto

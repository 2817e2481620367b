#include "app/processing/EQBandType.h"

namespace velunto {

const std::string& displayName(EQBandType type) {
    static const std::array<std::string, 5> names = {"Glocke", "Low-Shelf", "High-Shelf", "Low-Cut", "High-Cut"};
    return names.at(static_cast<std::size_t>(type));
}

bool hasGain(EQBandType type) {
    return type == EQBandType::bell || type == EQBandType::lowShelf || type == EQBandType::highShelf;
}

std::string_view storedName(EQBandType type) {
    static constexpr std::array<std::string_view, 5> names = {"bell", "lowShelf", "highShelf", "lowCut", "highCut"};
    return names.at(static_cast<std::size_t>(type));
}

std::optional<EQBandType> eqBandTypeFromStoredName(std::string_view name) {
    for (EQBandType type : allEQBandTypes) {
        if (storedName(type) == name) {
            return type;
        }
    }
    return std::nullopt;
}

}  // namespace velunto

#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velunto {

// Filter shape of one equaliser band, listed and offered in this order.
enum class EQBandType { bell, lowShelf, highShelf, lowCut, highCut };

inline constexpr std::array<EQBandType, 5> allEQBandTypes = {
    EQBandType::bell, EQBandType::lowShelf, EQBandType::highShelf, EQBandType::lowCut, EQBandType::highCut,
};

// What the type picker shows.
const std::string& displayName(EQBandType type);
// Bell and shelf bands boost or cut; cut filters ignore the gain.
bool hasGain(EQBandType type);
// Stored form: the case name.
std::string_view storedName(EQBandType type);
std::optional<EQBandType> eqBandTypeFromStoredName(std::string_view name);

}  // namespace velunto

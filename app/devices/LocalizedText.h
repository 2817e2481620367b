#pragma once

#include <compare>
#include <string>
#include <string_view>

namespace velunto {

// Text comparisons in the user's locale.
namespace LocalizedText {

// UTF-8 text, case-folded (the user's locale's lower case; C.UTF-8 when that does not fold).
std::u32string caseFolded(std::string_view text);

// The ordering a file browser uses for names: letters compared case-insensitively and by their base
// letter first (ä with a, ß as ss), digit runs by numeric value ("Mic 2" before "Mic 10"); texts
// that are equal so far are ordered by their accents, then their case, so the order is total.
std::weak_ordering standardCompare(std::string_view a, std::string_view b);

// Case-insensitive containment.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

}  // namespace LocalizedText

}  // namespace velunto

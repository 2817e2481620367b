#pragma once

#include "platform/foundation/PropertyListLimits.h"

#include <cstdint>
#include <span>

namespace velunto {

// Structural check of a binary property list ("bplist00") before it is handed to libplist:
// trailer and offset table within bounds, every reachable object inside the object area and of a
// type the value model supports, references in range, no cycles, dictionary keys are strings, and
// the expanded tree stays within the limits. Values themselves are not decoded.
class PropertyListBinaryValidator {
public:
    static bool isAcceptable(std::span<const std::uint8_t> bytes, const PropertyListLimits& limits = {});
};

}  // namespace velunto

#pragma once

#include "platform/foundation/PropertyListLimits.h"
#include "platform/foundation/PropertyListValue.h"

#include <optional>

namespace velunto {

// Binary and XML property lists through libplist.
// Known limits of the underlying format support: strings end at an embedded NUL, and invalid UTF-8
// sequences are written as U+FFFD; dates keep microseconds and must lie within the signed 32-bit second range around
// the reference date (they are clamped to it); the sign of a date in the last second before the
// reference date is lost.
class PropertyListSerialization {
public:
    static constexpr PropertyListLimits limits{};

    // A binary property list ("bplist00"). Throws std::length_error if the value exceeds `limits`
    // (the decoder would reject the result).
    static Data binaryData(const PropertyListValue& value);
    // Decodes a binary or XML property list; nullopt if the bytes are not a valid one, contain types
    // outside the value model (UID, null) or exceed `limits`.
    static std::optional<PropertyListValue> propertyList(const Data& bytes);

    // Whether binaryData accepts the value. Strings are counted at their largest encoded size.
    static bool isWithinLimits(const PropertyListValue& value);
};

}  // namespace velunto

#pragma once

// The wire form of property values shared by both ends of a connection:
// {"s": text} | {"i": integer} | {"d": number} | {"t": [value, timescale, flags, epoch]} | null.

#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/coremediaio/CMIOExtensionProperties.h"

namespace velunto {

nlohmann::json encodePropertyState(const CMIOExtensionPropertyState& state);
// Nothing for a malformed value.
std::optional<CMIOExtensionPropertyState> decodePropertyState(const nlohmann::json& value);
nlohmann::json encodePropertyStates(const CMIOExtensionPropertyStates& states);
std::optional<CMIOExtensionPropertyStates> decodePropertyStates(const nlohmann::json& object);
// An array of strings; nothing if it is anything else.
std::optional<std::set<std::string>> decodeNames(const nlohmann::json& array);

nlohmann::json encodeTime(const CMTime& time);
std::optional<CMTime> decodeTime(const nlohmann::json& value);

// The typed fields as entries of one dictionary, and back.
CMIOExtensionPropertyStates flattenDeviceProperties(const CMIOExtensionDeviceProperties& properties);
CMIOExtensionDeviceProperties deviceProperties(const CMIOExtensionPropertyStates& states);
CMIOExtensionPropertyStates flattenStreamProperties(const CMIOExtensionStreamProperties& properties);
CMIOExtensionStreamProperties streamProperties(const CMIOExtensionPropertyStates& states);

}  // namespace velunto

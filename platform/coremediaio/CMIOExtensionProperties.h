#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "platform/corefoundation/MacTypes.h"
#include "platform/coremedia/CMTime.h"

namespace velunto {

// Property names; each is the text of its own name.
inline const std::string CMIOExtensionPropertyProviderManufacturer = "CMIOExtensionPropertyProviderManufacturer";
inline const std::string CMIOExtensionPropertyDeviceTransportType = "CMIOExtensionPropertyDeviceTransportType";
inline const std::string CMIOExtensionPropertyDeviceModel = "CMIOExtensionPropertyDeviceModel";
inline const std::string CMIOExtensionPropertyDeviceIsSuspended = "CMIOExtensionPropertyDeviceIsSuspended";
inline const std::string CMIOExtensionPropertyStreamActiveFormatIndex = "CMIOExtensionPropertyStreamActiveFormatIndex";
inline const std::string CMIOExtensionPropertyStreamFrameDuration = "CMIOExtensionPropertyStreamFrameDuration";
inline const std::string CMIOExtensionPropertyStreamSinkBufferQueueSize =
    "CMIOExtensionPropertyStreamSinkBufferQueueSize";
inline const std::string CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup =
    "CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup";
inline const std::string CMIOExtensionPropertyStreamSinkBufferUnderrunCount =
    "CMIOExtensionPropertyStreamSinkBufferUnderrunCount";
inline const std::string CMIOExtensionPropertyStreamSinkEndOfData = "CMIOExtensionPropertyStreamSinkEndOfData";

struct CMIOExtensionPropertyState {
    std::variant<std::monostate, std::string, std::int64_t, double, CMTime> value;
};

using CMIOExtensionPropertyStates = std::map<std::string, CMIOExtensionPropertyState>;

struct CMIOExtensionProviderProperties {
    std::optional<std::string> manufacturer;
    CMIOExtensionPropertyStates propertiesDictionary;
};

struct CMIOExtensionDeviceProperties {
    std::optional<std::int64_t> transportType;
    std::optional<std::string> model;
    CMIOExtensionPropertyStates propertiesDictionary;
};

struct CMIOExtensionStreamProperties {
    std::optional<std::int64_t> activeFormatIndex;
    std::optional<CMTime> frameDuration;
    std::optional<std::int64_t> sinkBufferQueueSize;
    std::optional<std::int64_t> sinkBuffersRequiredForStartup;
    std::optional<std::int64_t> sinkBufferUnderrunCount;
    std::optional<bool> sinkEndOfData;
    CMIOExtensionPropertyStates propertiesDictionary;
};

// Custom properties are named "4cc_XXXX_glob_0000" and reached by clients as selector 'XXXX'.
std::optional<UInt32> CMIOExtensionCustomPropertySelector(const std::string& name);
std::string CMIOExtensionCustomPropertyName(UInt32 selector);

}  // namespace velunto

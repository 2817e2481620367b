#include "platform/coremediaio/CMIOPropertyCoding.h"

#include <cmath>

namespace velunto {

using nlohmann::json;

namespace {

// An integer that fits 64 signed bits; the parser keeps non-negative ones unsigned, and larger ones would wrap.
bool isInt64(const json& value) {
    return value.is_number_integer() &&
           (!value.is_number_unsigned() || value.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX));
}

}  // namespace

json encodeTime(const CMTime& time) {
    return json::array({time.value, time.timescale, time.flags, time.epoch});
}

std::optional<CMTime> decodeTime(const json& value) {
    if (!value.is_array() || value.size() != 4)
        return std::nullopt;
    for (const auto& part : value)
        if (!isInt64(part))
            return std::nullopt;
    CMTime time;
    time.value = value[0].get<std::int64_t>();
    const auto timescale = value[1].get<std::int64_t>();
    const auto flags = value[2].get<std::int64_t>();
    if (timescale < INT32_MIN || timescale > INT32_MAX || flags < 0 || flags > UINT32_MAX)
        return std::nullopt;
    time.timescale = static_cast<std::int32_t>(timescale);
    time.flags = static_cast<std::uint32_t>(flags);
    time.epoch = value[3].get<std::int64_t>();
    return time;
}

json encodePropertyState(const CMIOExtensionPropertyState& state) {
    return std::visit(
        [](const auto& value) -> json {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return nullptr;
            else if constexpr (std::is_same_v<T, std::string>)
                return json{{"s", value}};
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return json{{"i", value}};
            else if constexpr (std::is_same_v<T, double>)
                return json{{"d", std::isfinite(value) ? json(value) : json(nullptr)}};
            else
                return json{{"t", encodeTime(value)}};
        },
        state.value);
}

std::optional<CMIOExtensionPropertyState> decodePropertyState(const json& value) {
    if (value.is_null())
        return CMIOExtensionPropertyState{};
    if (!value.is_object() || value.size() != 1)
        return std::nullopt;
    const auto entry = value.begin();
    const std::string& key = entry.key();
    const json& inner = entry.value();
    if (key == "s" && inner.is_string())
        return CMIOExtensionPropertyState{inner.get<std::string>()};
    if (key == "i" && isInt64(inner))
        return CMIOExtensionPropertyState{inner.get<std::int64_t>()};
    if (key == "d" && inner.is_number())
        return CMIOExtensionPropertyState{inner.get<double>()};
    if (key == "d" && inner.is_null())
        return CMIOExtensionPropertyState{std::nan("")};
    if (key == "t")
        if (auto time = decodeTime(inner))
            return CMIOExtensionPropertyState{*time};
    return std::nullopt;
}

json encodePropertyStates(const CMIOExtensionPropertyStates& states) {
    json object = json::object();
    for (const auto& [name, state] : states)
        object[name] = encodePropertyState(state);
    return object;
}

std::optional<CMIOExtensionPropertyStates> decodePropertyStates(const json& object) {
    if (!object.is_object())
        return std::nullopt;
    CMIOExtensionPropertyStates states;
    for (const auto& [name, value] : object.items()) {
        auto state = decodePropertyState(value);
        if (!state)
            return std::nullopt;
        states[name] = std::move(*state);
    }
    return states;
}

std::optional<std::set<std::string>> decodeNames(const json& array) {
    if (!array.is_array())
        return std::nullopt;
    std::set<std::string> names;
    for (const auto& name : array) {
        if (!name.is_string())
            return std::nullopt;
        names.insert(name.get<std::string>());
    }
    return names;
}

namespace {

template <class T>
std::optional<T> take(const CMIOExtensionPropertyStates& states, const std::string& name) {
    auto it = states.find(name);
    if (it == states.end())
        return std::nullopt;
    if (const T* value = std::get_if<T>(&it->second.value))
        return *value;
    return std::nullopt;
}

}  // namespace

CMIOExtensionPropertyStates flattenDeviceProperties(const CMIOExtensionDeviceProperties& properties) {
    CMIOExtensionPropertyStates states = properties.propertiesDictionary;
    if (properties.transportType)
        states[CMIOExtensionPropertyDeviceTransportType] = {*properties.transportType};
    if (properties.model)
        states[CMIOExtensionPropertyDeviceModel] = {*properties.model};
    return states;
}

CMIOExtensionDeviceProperties deviceProperties(const CMIOExtensionPropertyStates& states) {
    CMIOExtensionDeviceProperties properties;
    properties.propertiesDictionary = states;
    properties.transportType = take<std::int64_t>(states, CMIOExtensionPropertyDeviceTransportType);
    properties.model = take<std::string>(states, CMIOExtensionPropertyDeviceModel);
    properties.propertiesDictionary.erase(CMIOExtensionPropertyDeviceTransportType);
    properties.propertiesDictionary.erase(CMIOExtensionPropertyDeviceModel);
    return properties;
}

CMIOExtensionPropertyStates flattenStreamProperties(const CMIOExtensionStreamProperties& properties) {
    CMIOExtensionPropertyStates states = properties.propertiesDictionary;
    if (properties.activeFormatIndex)
        states[CMIOExtensionPropertyStreamActiveFormatIndex] = {*properties.activeFormatIndex};
    if (properties.frameDuration)
        states[CMIOExtensionPropertyStreamFrameDuration] = {*properties.frameDuration};
    if (properties.sinkBufferQueueSize)
        states[CMIOExtensionPropertyStreamSinkBufferQueueSize] = {*properties.sinkBufferQueueSize};
    if (properties.sinkBuffersRequiredForStartup)
        states[CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup] = {*properties.sinkBuffersRequiredForStartup};
    if (properties.sinkBufferUnderrunCount)
        states[CMIOExtensionPropertyStreamSinkBufferUnderrunCount] = {*properties.sinkBufferUnderrunCount};
    if (properties.sinkEndOfData)
        states[CMIOExtensionPropertyStreamSinkEndOfData] = {std::int64_t{*properties.sinkEndOfData ? 1 : 0}};
    return states;
}

CMIOExtensionStreamProperties streamProperties(const CMIOExtensionPropertyStates& states) {
    CMIOExtensionStreamProperties properties;
    properties.propertiesDictionary = states;
    properties.activeFormatIndex = take<std::int64_t>(states, CMIOExtensionPropertyStreamActiveFormatIndex);
    properties.frameDuration = take<CMTime>(states, CMIOExtensionPropertyStreamFrameDuration);
    properties.sinkBufferQueueSize = take<std::int64_t>(states, CMIOExtensionPropertyStreamSinkBufferQueueSize);
    properties.sinkBuffersRequiredForStartup =
        take<std::int64_t>(states, CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup);
    properties.sinkBufferUnderrunCount = take<std::int64_t>(states, CMIOExtensionPropertyStreamSinkBufferUnderrunCount);
    if (auto endOfData = take<std::int64_t>(states, CMIOExtensionPropertyStreamSinkEndOfData))
        properties.sinkEndOfData = *endOfData != 0;
    for (const auto* name :
         {&CMIOExtensionPropertyStreamActiveFormatIndex, &CMIOExtensionPropertyStreamFrameDuration,
          &CMIOExtensionPropertyStreamSinkBufferQueueSize, &CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup,
          &CMIOExtensionPropertyStreamSinkBufferUnderrunCount, &CMIOExtensionPropertyStreamSinkEndOfData})
        properties.propertiesDictionary.erase(*name);
    return properties;
}

}  // namespace velunto

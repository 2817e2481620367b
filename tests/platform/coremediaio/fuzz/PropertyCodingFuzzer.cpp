// The property coding of the connection's JSON messages, fed any JSON document (and each of its members): what
// decodes must say what the document says (numbers exactly, never wrapped), must encode and decode to the same
// value, and the typed device and stream properties must reach a fixed point after one pass through their
// dictionaries, losing nothing but typed names that held another type.
#include "platform/coremediaio/CMIOPropertyCoding.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace velunto {
namespace {

using nlohmann::json;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property-coding fuzz check failed: %s\n", what);
        std::abort();
    }
}

bool sameTime(const CMTime& a, const CMTime& b) {
    return a.value == b.value && a.timescale == b.timescale && a.flags == b.flags && a.epoch == b.epoch;
}

bool sameState(const CMIOExtensionPropertyState& a, const CMIOExtensionPropertyState& b) {
    if (a.value.index() != b.value.index())
        return false;
    if (const auto* x = std::get_if<double>(&a.value)) {
        const double y = std::get<double>(b.value);
        return *x == y || (std::isnan(*x) && std::isnan(y));
    }
    if (const auto* x = std::get_if<CMTime>(&a.value))
        return sameTime(*x, std::get<CMTime>(b.value));
    if (const auto* x = std::get_if<std::string>(&a.value))
        return *x == std::get<std::string>(b.value);
    if (const auto* x = std::get_if<std::int64_t>(&a.value))
        return *x == std::get<std::int64_t>(b.value);
    return true;  // both empty
}

bool sameStates(const CMIOExtensionPropertyStates& a, const CMIOExtensionPropertyStates& b) {
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || !sameState(i->second, j->second))
            return false;
    return true;
}

// Whether the JSON number is exactly this integer.
bool isExactly(const json& number, std::int64_t value) {
    if (number.is_number_unsigned())
        return value >= 0 && number.get<std::uint64_t>() == static_cast<std::uint64_t>(value);
    if (number.is_number_integer())
        return number.get<std::int64_t>() == value;
    return false;
}

bool timeSays(const json& document, const CMTime& time) {
    return document.is_array() && document.size() == 4 && isExactly(document[0], time.value) &&
           isExactly(document[1], time.timescale) && isExactly(document[2], time.flags) &&
           isExactly(document[3], time.epoch);
}

// Whether the decoded state is what the document says.
bool stateSays(const json& document, const CMIOExtensionPropertyState& state) {
    if (std::holds_alternative<std::monostate>(state.value))
        return document.is_null();
    const json& inner = document.begin().value();
    if (const auto* text = std::get_if<std::string>(&state.value))
        return inner.is_string() && inner.get<std::string>() == *text;
    if (const auto* integer = std::get_if<std::int64_t>(&state.value))
        return isExactly(inner, *integer);
    if (const auto* number = std::get_if<double>(&state.value))
        return inner.is_null() ? std::isnan(*number) : inner.is_number() && inner.get<double>() == *number;
    return timeSays(inner, std::get<CMTime>(state.value));
}

void checkState(const json& document) {
    const auto state = decodePropertyState(document);
    if (!state)
        return;
    require(stateSays(document, *state), "a decoded property value is not what the document says");
    const auto again = decodePropertyState(encodePropertyState(*state));
    require(again && sameState(*state, *again), "a property value does not survive encoding");
}

void checkTime(const json& document) {
    const auto time = decodeTime(document);
    if (!time)
        return;
    require(timeSays(document, *time), "a decoded time is not what the document says");
    const auto again = decodeTime(encodeTime(*time));
    require(again && sameTime(*time, *again), "a time does not survive encoding");
}

void checkNames(const json& document) {
    const auto names = decodeNames(document);
    if (!names)
        return;
    require(names->size() <= document.size(), "more names than the array holds");
    for (const auto& element : document)
        require(names->contains(element.get<std::string>()), "a name of the array is missing");
    const auto again = decodeNames(json(*names));
    require(again && *again == *names, "names do not survive encoding");
}

// The names only the typed fields carry, with the type each needs.
bool isMistypedTypedName(const std::string& name, const CMIOExtensionPropertyState& state, bool device) {
    const bool isInteger = std::holds_alternative<std::int64_t>(state.value);
    if (device) {
        if (name == CMIOExtensionPropertyDeviceTransportType)
            return !isInteger;
        if (name == CMIOExtensionPropertyDeviceModel)
            return !std::holds_alternative<std::string>(state.value);
        return false;
    }
    if (name == CMIOExtensionPropertyStreamFrameDuration)
        return !std::holds_alternative<CMTime>(state.value);
    if (name == CMIOExtensionPropertyStreamActiveFormatIndex ||
        name == CMIOExtensionPropertyStreamSinkBufferQueueSize ||
        name == CMIOExtensionPropertyStreamSinkBuffersRequiredForStartup ||
        name == CMIOExtensionPropertyStreamSinkBufferUnderrunCount || name == CMIOExtensionPropertyStreamSinkEndOfData)
        return !isInteger;
    return false;
}

void checkStates(const json& document) {
    const auto states = decodePropertyStates(document);
    if (!states)
        return;
    require(states->size() == document.size(), "a decoded dictionary lost or gained names");
    for (const auto& [name, state] : *states)
        require(document.contains(name) && stateSays(document.at(name), state),
                "a decoded dictionary entry is not what the document says");
    const auto again = decodePropertyStates(encodePropertyStates(*states));
    require(again && sameStates(*states, *again), "a dictionary does not survive encoding");

    for (const bool device : {true, false}) {
        const CMIOExtensionPropertyStates flat = device ? flattenDeviceProperties(deviceProperties(*states))
                                                        : flattenStreamProperties(streamProperties(*states));
        for (const auto& [name, state] : *states) {
            const auto kept = flat.find(name);
            if (isMistypedTypedName(name, state, device)) {
                require(kept == flat.end(), "a typed name of another type was kept");
            } else {
                require(kept != flat.end(), "a property was lost on the way through the typed fields");
                const bool isEndOfData = !device && name == CMIOExtensionPropertyStreamSinkEndOfData;
                require(isEndOfData ? std::get<std::int64_t>(kept->second.value) ==
                                          (std::get<std::int64_t>(state.value) != 0 ? 1 : 0)
                                    : sameState(kept->second, state),
                        "a property changed on the way through the typed fields");
            }
        }
        require(flat.size() <= states->size(), "the typed fields invented a property");
        const CMIOExtensionPropertyStates twice =
            device ? flattenDeviceProperties(deviceProperties(flat)) : flattenStreamProperties(streamProperties(flat));
        require(sameStates(flat, twice), "the typed fields do not reach a fixed point");
    }
}

void checkAll(const json& document) {
    checkState(document);
    checkTime(document);
    checkNames(document);
    checkStates(document);
}

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    const json document = json::parse(data, data + size, nullptr, false);
    if (document.is_discarded())
        return 0;
    checkAll(document);
    if (document.is_structured())
        for (const auto& member : document)
            checkAll(member);
    return 0;
}

#include "app/settings/JSONCoding.h"

#include <cmath>
#include <limits>

namespace velunto {

namespace {

std::string describe(const JSON& value) {
    return value.type_name();
}

DecodingError typeMismatch(std::string_view key, const char* expected, const JSON& found) {
    return DecodingError("Expected to decode " + std::string(expected) + " for key \"" + std::string(key) +
                         "\" but found " + describe(found) + " instead.");
}

// A JSON number as a double, only when it is one the target can hold exactly.
bool integralValue(const JSON& v, long double& out) {
    if (v.is_number_unsigned()) {
        out = static_cast<long double>(v.get<std::uint64_t>());
        return true;
    }
    if (v.is_number_integer()) {
        out = static_cast<long double>(v.get<std::int64_t>());
        return true;
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (!std::isfinite(d) || std::trunc(d) != d) {
            return false;
        }
        out = d;
        return true;
    }
    return false;
}

}  // namespace

std::vector<std::uint8_t> JSONCoding::encode(const JSON& value) {
    std::string text;
    try {
        text = value.dump();  // strict UTF-8: invalid text throws
    } catch (const JSON::exception& e) {
        throw EncodingError(e.what());
    }
    // dump() would write a non-finite number as null: refuse instead of storing something else.
    std::vector<const JSON*> stack{&value};
    while (!stack.empty()) {
        const JSON* v = stack.back();
        stack.pop_back();
        if (v->is_null() || (v->is_number_float() && !std::isfinite(v->get<double>()))) {
            throw EncodingError("Unable to encode a non-finite number directly in JSON.");
        }
        if (v->is_structured()) {
            for (const JSON& child : *v) {
                stack.push_back(&child);
            }
        }
    }
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

JSON JSONCoding::decode(const std::vector<std::uint8_t>& bytes) {
    const JSON::parser_callback_t guard = [](int depth, JSON::parse_event_t event, JSON& parsed) {
        if (depth > kMaxDepth) {
            throw DecodingError("The given data nests too deeply.");
        }
        if (event == JSON::parse_event_t::value && parsed.is_number_float() && !std::isfinite(parsed.get<double>())) {
            throw DecodingError("A number in the given data is not representable.");
        }
        return true;
    };
    try {
        return JSON::parse(bytes.begin(), bytes.end(), guard);
    } catch (const JSON::exception& e) {
        throw DecodingError(std::string("The given data was not valid JSON. ") + e.what());
    }
}

JSON JSONCoding::number(double value) {
    if (!std::isfinite(value)) {
        throw EncodingError("Unable to encode a non-finite number directly in JSON.");
    }
    return JSON(value);
}

const JSON& JSONCoding::requireObject(const JSON& value) {
    if (!value.is_object()) {
        throw DecodingError("Expected to decode a keyed record but found " + describe(value) + " instead.");
    }
    return value;
}

const JSON& JSONCoding::requireArray(const JSON& value) {
    if (!value.is_array()) {
        throw DecodingError("Expected to decode an array but found " + describe(value) + " instead.");
    }
    return value;
}

const JSON& JSONCoding::member(const JSON& object, std::string_view key) {
    const JSON& record = requireObject(object);
    const auto it = record.find(key);
    if (it == record.end()) {
        throw DecodingError("No value associated with key \"" + std::string(key) + "\".");
    }
    return *it;
}

std::string JSONCoding::string(const JSON& object, std::string_view key) {
    const JSON& v = member(object, key);
    if (!v.is_string()) {
        throw typeMismatch(key, "a string", v);
    }
    return v.get<std::string>();
}

bool JSONCoding::boolean(const JSON& object, std::string_view key) {
    const JSON& v = member(object, key);
    if (!v.is_boolean()) {
        throw typeMismatch(key, "a boolean", v);
    }
    return v.get<bool>();
}

double JSONCoding::real(const JSON& object, std::string_view key) {
    const JSON& v = member(object, key);
    if (!v.is_number()) {
        throw typeMismatch(key, "a number", v);
    }
    const double d = v.get<double>();
    if (!std::isfinite(d)) {
        throw typeMismatch(key, "a finite number", v);
    }
    return d;
}

std::int64_t JSONCoding::integer(const JSON& object, std::string_view key) {
    const JSON& v = member(object, key);
    long double value = 0;
    if (!integralValue(v, value) || value < static_cast<long double>(std::numeric_limits<std::int64_t>::min()) ||
        value > static_cast<long double>(std::numeric_limits<std::int64_t>::max())) {
        throw typeMismatch(key, "a signed 64-bit integer", v);
    }
    return static_cast<std::int64_t>(value);
}

std::uint32_t JSONCoding::uint32(const JSON& object, std::string_view key) {
    const JSON& v = member(object, key);
    long double value = 0;
    if (!integralValue(v, value) || value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
        throw typeMismatch(key, "an unsigned 32-bit integer", v);
    }
    return static_cast<std::uint32_t>(value);
}

std::string_view JSONCoding::oneCase(const JSON& object, std::initializer_list<std::string_view> cases) {
    const JSON& record = requireObject(object);
    std::string_view found;
    int count = 0;
    for (std::string_view name : cases) {
        if (record.contains(name)) {
            found = name;
            ++count;
        }
    }
    if (count != 1) {
        throw DecodingError::invalidNumberOfKeys();
    }
    if (!record.at(std::string(found)).is_object()) {
        throw typeMismatch(found, "a keyed record", record.at(std::string(found)));
    }
    return found;
}

JSON JSONCoding::enumCase(std::string_view name, JSON payload) {
    JSON object = JSON::object();
    object[std::string(name)] = std::move(payload);
    return object;
}

}  // namespace velunto

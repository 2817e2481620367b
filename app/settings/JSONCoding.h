#pragma once
// Strict JSON coding for persisted records: every field required with its JSON type, unknown
// members ignored, enumerations as an object with exactly one case key.

#include "app/settings/DecodingError.h"
#include "app/settings/EncodingError.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velunto {

// Objects keep their members in insertion order, so records are written in field order.
using JSON = nlohmann::ordered_json;

class JSONCoding {
public:
    // Compact UTF-8 text; EncodingError for a non-finite number or text that is not UTF-8.
    static std::vector<std::uint8_t> encode(const JSON& value);
    // DecodingError for malformed or non-UTF-8 text, nesting deeper than kMaxDepth, or a number
    // too large for a double.
    static JSON decode(const std::vector<std::uint8_t>& bytes);

    static constexpr int kMaxDepth = 32;

    // Encoding a double: EncodingError when it is not finite.
    static JSON number(double value);

    // Decoding: `object` must be a JSON object holding `key` with the right type.
    static const JSON& requireObject(const JSON& value);
    static const JSON& requireArray(const JSON& value);
    static const JSON& member(const JSON& object, std::string_view key);
    static std::string string(const JSON& object, std::string_view key);
    static bool boolean(const JSON& object, std::string_view key);
    static double real(const JSON& object, std::string_view key);
    static std::int64_t integer(const JSON& object, std::string_view key);
    static std::uint32_t uint32(const JSON& object, std::string_view key);

    // The one member of `object` whose name is among `cases`; its value must be an object.
    // DecodingError::invalidNumberOfKeys() when none or several case names are present.
    static std::string_view oneCase(const JSON& object, std::initializer_list<std::string_view> cases);
    // {"<name>": payload}
    static JSON enumCase(std::string_view name, JSON payload = JSON::object());

    template <class T, class Encode>
    static JSON encodeArray(const std::vector<T>& values, Encode encodeOne) {
        JSON array = JSON::array();
        for (const T& v : values) {
            array.push_back(encodeOne(v));
        }
        return array;
    }

    template <class T, class Decode>
    static std::vector<T> decodeArray(const JSON& value, Decode decodeOne) {
        std::vector<T> result;
        for (const JSON& element : requireArray(value)) {
            result.push_back(decodeOne(element));
        }
        return result;
    }

    template <class T, class Encode>
    static JSON encodeMap(const std::map<std::string, T>& values, Encode encodeOne) {
        JSON object = JSON::object();
        for (const auto& [key, v] : values) {
            object[key] = encodeOne(v);
        }
        return object;
    }

    template <class T, class Decode>
    static std::map<std::string, T> decodeMap(const JSON& value, Decode decodeOne) {
        std::map<std::string, T> result;
        for (const auto& [key, v] : requireObject(value).items()) {
            result.insert_or_assign(key, decodeOne(v));
        }
        return result;
    }
};

}  // namespace velunto

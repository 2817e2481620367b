#pragma once

#include "platform/foundation/Date.h"

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velunto {

using Data = std::vector<std::uint8_t>;

// A property-list value: boolean, integer, real, string, data, date, array or dictionary.
// Integers are signed 64-bit; unsigned arguments above INT64_MAX wrap (two's complement), which is
// also how the binary format stores them. Equality is deep; an integer never equals a real.
class PropertyListValue {
public:
    using Array = std::vector<PropertyListValue>;
    using Dictionary = std::map<std::string, PropertyListValue>;
    enum class Type { boolean, integer, real, string, data, date, array, dictionary };

    PropertyListValue() : storage_(false) {}
    PropertyListValue(bool value) : storage_(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool>) PropertyListValue(T value) : storage_(static_cast<std::int64_t>(value)) {}
    template <std::floating_point T>
    PropertyListValue(T value) : storage_(static_cast<double>(value)) {}
    PropertyListValue(const char* value) : storage_(std::string(value)) {}
    PropertyListValue(std::string_view value) : storage_(std::string(value)) {}
    PropertyListValue(std::string value) : storage_(std::move(value)) {}
    PropertyListValue(Data value) : storage_(std::move(value)) {}
    PropertyListValue(Date value) : storage_(value) {}
    PropertyListValue(Array value) : storage_(std::move(value)) {}
    PropertyListValue(Dictionary value) : storage_(std::move(value)) {}

    Type type() const { return static_cast<Type>(storage_.index()); }
    bool isBoolean() const { return type() == Type::boolean; }
    bool isInteger() const { return type() == Type::integer; }
    bool isReal() const { return type() == Type::real; }
    bool isString() const { return type() == Type::string; }
    bool isData() const { return type() == Type::data; }
    bool isDate() const { return type() == Type::date; }
    bool isArray() const { return type() == Type::array; }
    bool isDictionary() const { return type() == Type::dictionary; }

    // The value if it has exactly this type (no conversions).
    std::optional<bool> boolean() const;
    std::optional<std::int64_t> integer() const;
    std::optional<double> real() const;
    std::optional<Date> date() const;
    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const Data* data() const { return std::get_if<Data>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }
    std::string* string() { return std::get_if<std::string>(&storage_); }
    Data* data() { return std::get_if<Data>(&storage_); }
    Array* array() { return std::get_if<Array>(&storage_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&storage_); }

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(storage_);
    }
    template <class T>
    const T* getIf() const {
        return std::get_if<T>(&storage_);
    }
    // Throws std::bad_variant_access if the value has another type.
    template <class T>
    const T& get() const {
        return std::get<T>(storage_);
    }
    template <class T>
    T& get() {
        return std::get<T>(storage_);
    }

    bool operator==(const PropertyListValue& other) const;

private:
    // Alternative order matches Type.
    std::variant<bool, std::int64_t, double, std::string, Data, Date, Array, Dictionary> storage_;
};

}  // namespace velunto

#include "platform/foundation/PropertyListValue.h"

namespace velunto {

std::optional<bool> PropertyListValue::boolean() const {
    if (const bool* value = std::get_if<bool>(&storage_))
        return *value;
    return std::nullopt;
}

std::optional<std::int64_t> PropertyListValue::integer() const {
    if (const std::int64_t* value = std::get_if<std::int64_t>(&storage_))
        return *value;
    return std::nullopt;
}

std::optional<double> PropertyListValue::real() const {
    if (const double* value = std::get_if<double>(&storage_))
        return *value;
    return std::nullopt;
}

std::optional<Date> PropertyListValue::date() const {
    if (const Date* value = std::get_if<Date>(&storage_))
        return *value;
    return std::nullopt;
}

bool PropertyListValue::operator==(const PropertyListValue& other) const {
    return storage_ == other.storage_;
}

}  // namespace velunto

#pragma once

// What a binary round trip (binaryData, then propertyList) must keep of a decoded property list, for the fuzz
// targets that store decoded values again. The encoder's documented losses are allowed and nothing else: strings
// that are not plain text (valid UTF-8 without NUL) come back as some plain text, dates come back to the
// microsecond or so (with the sign of a date in the last second before the reference date possibly lost), or
// clamped into the storable range when they lie outside it.

#include "platform/foundation/PropertyListSerialization.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

namespace velunto::fuzzing {

// Deep equality in which every NaN equals every other NaN.
inline bool samePropertyList(const PropertyListValue& a, const PropertyListValue& b) {
    if (a.type() != b.type())
        return false;
    switch (a.type()) {
        case PropertyListValue::Type::real: {
            const double x = *a.real();
            const double y = *b.real();
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case PropertyListValue::Type::date: {
            const double x = a.date()->timeIntervalSinceReferenceDate;
            const double y = b.date()->timeIntervalSinceReferenceDate;
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case PropertyListValue::Type::array: {
            const auto& x = a.get<PropertyListValue::Array>();
            const auto& y = b.get<PropertyListValue::Array>();
            if (x.size() != y.size())
                return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!samePropertyList(x[i], y[i]))
                    return false;
            return true;
        }
        case PropertyListValue::Type::dictionary: {
            const auto& x = a.get<PropertyListValue::Dictionary>();
            const auto& y = b.get<PropertyListValue::Dictionary>();
            if (x.size() != y.size())
                return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !samePropertyList(i->second, j->second))
                    return false;
            return true;
        }
        default:
            return a == b;
    }
}

// Valid UTF-8 without NUL, which the encoder writes unchanged. The JSON library's strict UTF-8 check serves as
// an implementation independent of the encoder's own.
inline bool isPlainText(std::string_view text) {
    if (text.find('\0') != std::string_view::npos)
        return false;
    try {
        return !nlohmann::json(std::string(text)).dump().empty();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

inline bool isFaithfulDate(double before, double after) {
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    if (!std::isfinite(before) || before < lowest || before >= highest + 1)
        return after >= lowest && after < highest + 1;
    // Rounded to the microsecond when written; libplist keeps a double and truncates the microseconds it reads
    // back, which can cost one more.
    const double tolerance = 1.5e-6 + std::fabs(before) * 1e-15;
    if (std::fabs(after - before) <= tolerance)
        return true;
    return before > -1 && before < 0 && std::fabs(after + before) <= tolerance;
}

// Whether `after` is what a binary round trip may make of `before`.
inline bool isFaithfulRoundTrip(const PropertyListValue& before, const PropertyListValue& after) {
    if (before.type() != after.type())
        return false;
    switch (before.type()) {
        case PropertyListValue::Type::string:
            return isPlainText(before.get<std::string>()) ? before.get<std::string>() == after.get<std::string>()
                                                          : isPlainText(after.get<std::string>());
        case PropertyListValue::Type::date:
            return isFaithfulDate(before.date()->timeIntervalSinceReferenceDate,
                                  after.date()->timeIntervalSinceReferenceDate);
        case PropertyListValue::Type::array: {
            const auto& x = before.get<PropertyListValue::Array>();
            const auto& y = after.get<PropertyListValue::Array>();
            if (x.size() != y.size())
                return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!isFaithfulRoundTrip(x[i], y[i]))
                    return false;
            return true;
        }
        case PropertyListValue::Type::dictionary: {
            const auto& x = before.get<PropertyListValue::Dictionary>();
            const auto& y = after.get<PropertyListValue::Dictionary>();
            bool allPlain = true;
            for (const auto& [key, value] : x) {
                if (!isPlainText(key)) {
                    allPlain = false;
                    continue;
                }
                if (!y.contains(key))
                    return false;
            }
            for (const auto& [key, value] : y)
                if (!isPlainText(key))
                    return false;
            if (!allPlain)  // keys that became equal hold one of their values
                return y.size() <= x.size();
            if (x.size() != y.size())
                return false;
            for (const auto& [key, value] : x)
                if (!isFaithfulRoundTrip(value, y.at(key)))
                    return false;
            return true;
        }
        default:
            return samePropertyList(before, after);
    }
}

}  // namespace velunto::fuzzing

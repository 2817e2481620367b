#pragma once

#include <compare>

namespace velunto {

// A point in time as seconds since the reference date 2001-01-01 00:00:00 UTC.
struct Date {
    static constexpr double unixTimeOfReferenceDate = 978307200.0;

    double timeIntervalSinceReferenceDate = 0;

    static Date now();
    static Date fromUnixTime(double secondsSince1970);
    double timeIntervalSince1970() const;

    auto operator<=>(const Date&) const = default;
};

}  // namespace velunto

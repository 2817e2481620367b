#include "platform/foundation/Date.h"

#include <chrono>

namespace velunto {

Date Date::now() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return fromUnixTime(std::chrono::duration<double>(sinceEpoch).count());
}

Date Date::fromUnixTime(double secondsSince1970) {
    return Date{secondsSince1970 - unixTimeOfReferenceDate};
}

double Date::timeIntervalSince1970() const {
    return timeIntervalSinceReferenceDate + unixTimeOfReferenceDate;
}

}  // namespace velunto

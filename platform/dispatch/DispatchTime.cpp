#include "platform/dispatch/DispatchTime.h"

#include <algorithm>
#include <limits>

#include "platform/dispatch/HostClock.h"

namespace velunto {

namespace {
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMaxSigned = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}  // namespace

DispatchTime DispatchTime::now() {
    return {HostClock::nowNanoseconds()};
}

DispatchTime DispatchTime::distantFuture() {
    return {kMax};
}

DispatchTime DispatchTime::operator+(std::chrono::nanoseconds d) const {
    const std::uint64_t base = uptimeNanoseconds;
    if (base == kMax)
        return *this;
    const std::int64_t count = d.count();
    if (count >= 0) {
        const auto add = static_cast<std::uint64_t>(count);
        return {add > kMax - base ? kMax : base + add};
    }
    const std::uint64_t sub = static_cast<std::uint64_t>(-(count + 1)) + 1;  // -INT64_MIN safely
    return {sub > base ? 0 : base - sub};
}

std::chrono::nanoseconds DispatchTime::operator-(const DispatchTime& other) const {
    const std::uint64_t a = uptimeNanoseconds;
    const std::uint64_t b = other.uptimeNanoseconds;
    if (a >= b)
        return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(a - b, kMaxSigned)));
    return -std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(b - a, kMaxSigned)));
}

}  // namespace velunto

#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

namespace velunto {

// A point on the host clock in nanoseconds: CLOCK_MONOTONIC, or the virtual clock while a
// VirtualTime is installed.
struct DispatchTime {
    std::uint64_t uptimeNanoseconds = 0;

    static DispatchTime now();
    static DispatchTime distantFuture();

    // Saturates at 0 and at distantFuture; distantFuture stays distantFuture.
    DispatchTime operator+(std::chrono::nanoseconds d) const;
    // Signed distance from other to this.
    std::chrono::nanoseconds operator-(const DispatchTime& other) const;
    auto operator<=>(const DispatchTime&) const = default;
};

enum class DispatchQoS { background, utility, defaultQoS, userInitiated, userInteractive };
enum class DispatchTimeoutResult { success, timedOut };

}  // namespace velunto

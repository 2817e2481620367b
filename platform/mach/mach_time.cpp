#include "platform/mach/mach_time.h"

#include <atomic>
#include <ctime>
#include <limits>

namespace {

// The virtual time in nanoseconds, or kRealClock while the host clock is in use. A single word, so
// a reader never sees a half-installed virtual clock.
constexpr std::uint64_t kRealClock = std::numeric_limits<std::uint64_t>::max();
std::atomic<std::uint64_t> virtualTime{kRealClock};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

}  // namespace

extern "C" {

kern_return_t mach_timebase_info(mach_timebase_info_t info) {
    if (info == nullptr)
        return KERN_INVALID_ARGUMENT;
    info->numer = 1;
    info->denom = 1;
    return KERN_SUCCESS;
}

uint64_t mach_absolute_time(void) {
    const std::uint64_t now = virtualTime.load(std::memory_order_acquire);
    return now != kRealClock ? now : velunto_mach_monotonic_time();
}

void velunto_mach_set_virtual_time(uint64_t nanoseconds) {
    // The last representable instant is given up to mark the real clock.
    virtualTime.store(nanoseconds != kRealClock ? nanoseconds : kRealClock - 1, std::memory_order_release);
}

void velunto_mach_clear_virtual_time(void) {
    virtualTime.store(kRealClock, std::memory_order_release);
}

uint64_t velunto_mach_monotonic_time(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

}  // extern "C"

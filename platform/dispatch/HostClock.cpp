#include "platform/dispatch/HostClock.h"

#include "platform/mach/mach_time.h"

namespace velunto {

// Mach ticks are nanoseconds (time base 1/1).
std::uint64_t HostClock::nowNanoseconds() {
    return mach_absolute_time();
}

std::uint64_t HostClock::monotonicNanoseconds() {
    return velunto_mach_monotonic_time();
}

void HostClock::setVirtualNanoseconds(std::uint64_t nanoseconds) {
    velunto_mach_set_virtual_time(nanoseconds);
}

void HostClock::clearVirtual() {
    velunto_mach_clear_virtual_time();
}

}  // namespace velunto

#pragma once

#include <cstdint>

namespace velunto {

struct HostClock {
    // The virtual clock while a VirtualTime is installed, otherwise monotonicNanoseconds().
    // Lock-free and allocation-free.
    static std::uint64_t nowNanoseconds();
    // Always the real host clock (CLOCK_MONOTONIC).
    static std::uint64_t monotonicNanoseconds();

    // Used by the virtual-time scheduler.
    static void setVirtualNanoseconds(std::uint64_t nanoseconds);
    static void clearVirtual();
};

}  // namespace velunto

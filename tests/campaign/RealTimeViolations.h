#pragma once

#include <cstdint>

namespace velunto {

// Counts the locks taken and the allocations made while a thread is inside a real-time callback
// (RealTimeContext). Linking RealTimeViolations.cpp into a program interposes the pthread lock calls
// and replaces the global operator new (under AddressSanitizer, which owns allocation, it installs
// the sanitizer's allocation hook instead, which sees malloc too), so it catches both the
// application's own code and anything it calls into.
class RealTimeViolations {
public:
    static std::uint64_t locks();
    static std::uint64_t allocations();
    static void reset();
};

}  // namespace velunto

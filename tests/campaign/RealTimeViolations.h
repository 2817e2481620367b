#pragma once

#include <cstdint>

namespace velunto {

// Counts the locks taken and the allocations made while a thread is inside a real-time callback
// (RealTimeContext). Linking RealTimeViolations.cpp into a program replaces the global operator new
// and interposes the pthread lock calls, so it catches both the application's own code and anything
// it calls into.
class RealTimeViolations {
public:
    static std::uint64_t locks();
    static std::uint64_t allocations();
    static void reset();
};

}  // namespace velunto

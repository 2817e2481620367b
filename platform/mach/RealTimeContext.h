#pragma once

#include <cstdint>

namespace velunto {

// Marks where a thread runs code that must keep the real-time rules: the application's render and
// input callbacks and the audio server plug-in's I/O operations. The hosts that call them open a
// Scope around each call; a checker (a test's lock and allocation counters) asks isActive().
class RealTimeContext {
public:
    // Real-time: one thread-local counter up and down.
    class Scope {
    public:
        Scope() noexcept;
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
    };

    static bool isActive() noexcept;
    // Scopes entered so far on the calling thread (in virtual time every I/O cycle runs on it).
    static std::uint64_t entered() noexcept;
};

}  // namespace velunto

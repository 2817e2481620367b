#pragma once

#include <atomic>
#include <cstdint>

namespace velunto {

// Thins out a repeating log message: occurrences 1, 2, 4, 8, ... are let through, so a fault that
// repeats every frame costs a handful of lines, and the count in each line shows how often it happened.
class V4L2LogLimiter {
public:
    // Counts one occurrence; true if this one should be logged. *occurrence gets its number.
    bool admit(std::uint64_t* occurrence = nullptr) {
        const std::uint64_t n = count_.fetch_add(1, std::memory_order_relaxed) + 1;
        if (occurrence)
            *occurrence = n;
        return (n & (n - 1)) == 0;
    }
    std::uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    void reset() { count_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> count_{0};
};

}  // namespace velunto
